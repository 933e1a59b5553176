#include "il/ManagedProbeBuilder.h"

#include <dlfcn.h>

#include "environment/Logger.h"
#include "environment/SystemContext.h"
#include "mapping/LookupHelper.h"

namespace {

// The AssemblyRef table is indexed by 24-bit rows; more batches than that can only come from a
// broken enumerator, and the loop must still end.
constexpr ULONG MaxAssemblyRefBatches = (0x00FFFFFFu / ManagedProbeBuilder::AssemblyRefBatch) + 1;

char16_t FoldCase(char16_t unit) {
    if (unit >= u'A' && unit <= u'Z') return static_cast<char16_t>(unit + 0x20);
    // Latin-1 capitals, except the multiplication sign.
    if (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7) return static_cast<char16_t>(unit + 0x20);
    return unit;
}

size_t Length(const char16_t* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

// An assembly reference's name as it is spelled by the core library: "mscorlib" at its end.
bool NamesCoreLibrary(const char16_t* name) {
    const size_t length = Length(name);
    constexpr size_t suffixLength = 8;
    return length > 7 && ManagedProbeBuilder::CompareIgnoreCase(name + length - suffixLength,
                                                                ManagedProbeBuilder::MscorlibSuffix) == 0;
}

// Version and culture of an assembly reference; an empty locale is the culture-neutral one.
struct AssemblyReferenceRecord {
    AssemblyReferenceRecord(USHORT major, USHORT minor, USHORT build, USHORT revision) {
        metadata.usMajorVersion = major;
        metadata.usMinorVersion = minor;
        metadata.usBuildNumber = build;
        metadata.usRevisionNumber = revision;
        metadata.szLocale = locale;
        metadata.cbLocale = 0;
        metadata.rProcessor = nullptr;
        metadata.ulProcessor = 0;
        metadata.rOS = nullptr;
        metadata.ulOS = 0;
    }
    AssemblyReferenceRecord(const AssemblyReferenceRecord&) = delete;
    AssemblyReferenceRecord& operator=(const AssemblyReferenceRecord&) = delete;

    char16_t locale[ManagedProbeBuilder::LocaleBufferLength] = {};
    ASSEMBLYMETADATA metadata{};
};

void SetToken(mdToken* out, mdToken value) {
    if (out != nullptr) *out = value;
}

}  // namespace

ManagedProbeBuilder::ManagedProbeBuilder()
    : exceptionTypeName(u"System.AccessViolationException"),
      switchesTypeName(u"System.CompatibilitySwitches"),
      switchesMethodName(u"InitializeSwitches"),
      enterProbeName(u"QuorixProfilerEnterProbe32"),
      exitProbeName(u"QuorixProfilerExitProbe32"),
      enterEntryPointName(u"ManagedProbeEnterFunction"),
      exitEntryPointName(u"ManagedProbeExitFunction"),
      helperTypeName(u"QuorixManagedProfilerHelper.ProfilerManager"),
      helperMethodName(u"Initialize") {}

namespace {

using HostCompare = int (*)(const char16_t*, const char16_t*);

// A host runtime that exports its own case-insensitive comparison of 16-bit text is asked for it
// by name at run time; today's runtime exports none, and a link-time import would keep the
// library from loading at all.
HostCompare FindHostCompare() {
    static const HostCompare found = reinterpret_cast<HostCompare>(dlsym(RTLD_DEFAULT, "_wcsicmp"));
    return found;
}

}  // namespace

int ManagedProbeBuilder::CompareIgnoreCase(const char16_t* left, const char16_t* right) {
    if (left == nullptr || right == nullptr) return (left == nullptr ? 0 : 1) - (right == nullptr ? 0 : 1);
    if (HostCompare hostCompare = FindHostCompare()) return hostCompare(left, right);
    for (;; ++left, ++right) {
        const int a = FoldCase(*left);
        const int b = FoldCase(*right);
        if (a != b || a == 0) return a - b;
    }
}

bool ManagedProbeBuilder::ModuleNameEndsWith(const char16_t* name, const char16_t* suffix) {
    if (name == nullptr || suffix == nullptr) return false;
    const size_t nameLength = Length(name);
    const size_t suffixLength = Length(suffix);
    if (suffixLength >= nameLength) return false;
    return CompareIgnoreCase(name + nameLength - suffixLength, suffix) == 0;
}

HRESULT ManagedProbeBuilder::InjectManagedProfilerReference(ModuleID moduleId, IMetaDataAssemblyEmit* assemblyEmit,
                                                            IMetaDataImport* import, IMetaDataEmit* emit,
                                                            mdMethodDef* switchesMethod,
                                                            mdMemberRef* helperInitialize) {
    if (assemblyEmit == nullptr || import == nullptr || emit == nullptr) return E_POINTER;

    AssemblyReferenceRecord record(1, 0, 0, 0);
    mdAssemblyRef helperAssembly = mdAssemblyRefNil;
    HRESULT hr = assemblyEmit->DefineAssemblyRef(HelperPublicKeyToken, sizeof(HelperPublicKeyToken), HelperAssemblyName,
                                                 &record.metadata, nullptr, 0, 0, &helperAssembly);
    if (FAILED(hr)) {
        QX_LOG(LogLevel::Debug, "InjectManagedProfilerReference", "Failed to add reference");
        return hr;
    }
    QX_LOG(LogLevel::Debug, "InjectManagedProfilerReference", "Successfully added reference (%lu)",
           static_cast<unsigned long>(helperAssembly));

    mdTypeRef helperType = mdTypeRefNil;
    hr = emit->DefineTypeRefByName(helperAssembly, helperTypeName, &helperType);
    if (FAILED(hr)) {
        QX_LOG(LogLevel::Debug, "InjectManagedProfilerReference", "Failed to add type reference");
        return hr;
    }

    mdMemberRef initialize = mdMemberRefNil;
    hr = emit->DefineMemberRef(helperType, helperMethodName, StaticVoidSignature, sizeof(StaticVoidSignature),
                               &initialize);
    if (FAILED(hr)) {
        QX_LOG(LogLevel::Debug, "InjectManagedProfilerReference", "Failed to add member reference");
        return hr;
    }

    mdTypeDef switchesType = mdTypeDefNil;
    hr = import->FindTypeDefByName(switchesTypeName, mdTokenNil, &switchesType);
    if (FAILED(hr)) {
        QX_LOG(LogLevel::Debug, "InjectManagedProfilerReference", "Failed to find CompatibilitySwitches type");
        return hr;
    }

    mdMethodDef initializeSwitches = mdMethodDefNil;
    hr = import->FindMethod(switchesType, switchesMethodName, StaticVoidSignature, sizeof(StaticVoidSignature),
                            &initializeSwitches);
    if (FAILED(hr)) {
        QX_LOG(LogLevel::Debug, "InjectManagedProfilerReference", "Failed to find CompatibilitySwitches method def");
        return hr;
    }

    QX_LOG(LogLevel::Debug, "InjectManagedProfilerReference", "Requesting ReJIT of injection method");
    SystemContext* context = g_Context;
    ICorProfilerInfo4* info = context != nullptr ? context->GetProfiler4Info() : nullptr;
    ModuleID modules[1] = {moduleId};
    mdMethodDef methods[1] = {initializeSwitches};
    const HRESULT rejit = info != nullptr ? info->RequestReJIT(1, modules, methods) : E_FAIL;
    if (FAILED(rejit)) {
        QX_LOG(LogLevel::Debug, "InjectManagedProfilerReference", "RequestReJIT() failed - returned %lu",
               static_cast<unsigned long>(static_cast<uint32_t>(rejit)));
    }

    SetToken(switchesMethod, initializeSwitches);
    SetToken(helperInitialize, initialize);
    return rejit;
}

HRESULT ManagedProbeBuilder::AddGlobalProbeFunctions(IMetaDataImport* import, IMetaDataEmit* emit,
                                                     mdMethodDef* opExplicit, mdMethodDef* enterPInvoke,
                                                     mdMethodDef* exitPInvoke, mdMethodDef* enterProbe,
                                                     mdMethodDef* exitProbe) {
    if (import == nullptr || emit == nullptr) return E_POINTER;

    mdTypeDef intPtrType = mdTypeDefNil;
    HRESULT hr = import->FindTypeDefByName(IntPtrTypeName, mdTokenNil, &intPtrType);
    if (FAILED(hr)) return hr;
    mdMethodDef explicitOperator = mdMethodDefNil;
    hr = import->FindMethod(intPtrType, OpExplicitName, OpExplicitSignature, sizeof(OpExplicitSignature),
                            &explicitOperator);
    if (FAILED(hr)) return hr;
    SetToken(opExplicit, explicitOperator);

    mdTypeDef exceptionType = mdTypeDefNil;
    hr = import->FindTypeDefByName(exceptionTypeName, mdTokenNil, &exceptionType);
    if (FAILED(hr)) return hr;
    mdMethodDef exceptionConstructor = mdMethodDefNil;
    hr = import->FindMethod(exceptionType, ConstructorName, ConstructorSignature, sizeof(ConstructorSignature),
                            &exceptionConstructor);
    if (FAILED(hr)) return hr;
    // The probes borrow the constructor's body until their own bodies are installed.
    ULONG constructorRva = 0;
    hr = import->GetMethodProps(exceptionConstructor, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                &constructorRva, nullptr);
    if (FAILED(hr)) return hr;

    QX_LOG(LogLevel::Debug, "AddGlobalProbeFunctions", "Creating PInvoke methods");
    mdModuleRef nativeModule = mdModuleRefNil;
    hr = emit->DefineModuleRef(NativeModuleName, &nativeModule);
    if (FAILED(hr)) return hr;

    // A probe body calling a P/Invoke method that does not exist would be invalid code, so a
    // failure here ends the operation like any other.
    hr = AddPInvokeMethod(emit, exceptionType, enterEntryPointName, nativeModule, enterPInvoke);
    if (FAILED(hr)) return hr;
    hr = AddPInvokeMethod(emit, exceptionType, exitEntryPointName, nativeModule, exitPInvoke);
    if (FAILED(hr)) return hr;

    mdToken attributeConstructor = mdTokenNil;
    hr = GetSecuritySafeCriticalAttributeToken(import, &attributeConstructor);
    if (FAILED(hr)) return hr;

    QX_LOG(LogLevel::Debug, "AddGlobalProbeFunctions", "Creating managed probe methods");
    const HRESULT enter =
        AddManagedHelperMethod(emit, exceptionType, enterProbeName, constructorRva, attributeConstructor, enterProbe);
    const HRESULT exit =
        AddManagedHelperMethod(emit, exceptionType, exitProbeName, constructorRva, attributeConstructor, exitProbe);
    return FAILED(exit) ? exit : enter;
}

HRESULT ManagedProbeBuilder::AddPInvokeMethod(IMetaDataEmit* emit, mdTypeDef owner, const char16_t* name,
                                              mdModuleRef nativeModule, mdMethodDef* method) {
    if (emit == nullptr || name == nullptr) return E_POINTER;
    mdMethodDef defined = mdMethodDefNil;
    HRESULT hr = emit->DefineMethod(owner, name, PInvokeMethodFlags, PInvokeSignature, sizeof(PInvokeSignature), 0,
                                    PInvokeImplFlags, &defined);
    if (FAILED(hr)) return hr;
    SetToken(method, defined);
    return emit->DefinePinvokeMap(defined, PInvokeMapFlags, name, nativeModule);
}

HRESULT ManagedProbeBuilder::AddManagedHelperMethod(IMetaDataEmit* emit, mdTypeDef owner, const char16_t* name,
                                                    ULONG codeRva, mdToken attributeConstructor, mdMethodDef* method) {
    if (emit == nullptr || name == nullptr) return E_POINTER;
    mdMethodDef defined = mdMethodDefNil;
    HRESULT hr = emit->DefineMethod(owner, name, ProbeMethodFlags, ProbeSignature, sizeof(ProbeSignature), codeRva,
                                    ProbeImplFlags, &defined);
    if (FAILED(hr)) return hr;
    SetToken(method, defined);
    mdCustomAttribute attribute = mdTokenNil;
    return emit->DefineCustomAttribute(defined, attributeConstructor, nullptr, 0, &attribute);
}

HRESULT ManagedProbeBuilder::GetSecuritySafeCriticalAttributeToken(IMetaDataImport* import, mdToken* constructor) {
    if (import == nullptr) return E_POINTER;
    mdTypeDef attributeType = mdTypeDefNil;
    HRESULT hr = import->FindTypeDefByName(SafeCriticalAttributeName, mdTokenNil, &attributeType);
    if (FAILED(hr)) return hr;
    mdToken found = mdTokenNil;
    hr = import->FindMember(attributeType, ConstructorName, ConstructorSignature, sizeof(ConstructorSignature), &found);
    if (FAILED(hr)) return hr;
    SetToken(constructor, found);
    return hr;
}

HRESULT ManagedProbeBuilder::AddProbeMemberReferencesToModule(ModuleID, IMetaDataAssemblyImport* assemblyImport,
                                                              IMetaDataAssemblyEmit* assemblyEmit, IMetaDataEmit* emit,
                                                              IMetaDataImport*, mdMemberRef* enterProbe,
                                                              mdMemberRef* exitProbe) {
    if (assemblyImport == nullptr || assemblyEmit == nullptr || emit == nullptr) return E_POINTER;

    mdAssemblyRef coreLibrary = mdAssemblyRefNil;
    bool found = false;
    HCORENUM enumerator = nullptr;
    mdAssemblyRef batch[AssemblyRefBatch];
    for (ULONG round = 0; !found && round < MaxAssemblyRefBatches; ++round) {
        ULONG count = 0;
        const HRESULT hr = assemblyImport->EnumAssemblyRefs(&enumerator, batch, AssemblyRefBatch, &count);
        if (hr != S_OK || count == 0) break;
        if (count > AssemblyRefBatch) count = AssemblyRefBatch;
        found = HasMscorlibReference(assemblyImport, batch, count, &coreLibrary);
    }
    if (enumerator != nullptr) assemblyImport->CloseEnum(enumerator);

    if (!found) {
        QX_LOG(LogLevel::Debug, "AddProbeMemberReferencesToModule",
               "No mscorlib / System.Private.CoreLib reference found, "
               "trying to add one");
        LookupHelper* lookup = g_Lookup;
        const char16_t* name = lookup != nullptr && lookup->HasNetCoreLib() ? NetCoreLibName : MscorlibFileName;
        AssemblyReferenceRecord record(4, 0, 0, 0);
        const HRESULT hr = assemblyEmit->DefineAssemblyRef(CoreLibPublicKeyToken, sizeof(CoreLibPublicKeyToken), name,
                                                           &record.metadata, nullptr, 0, 0, &coreLibrary);
        if (FAILED(hr)) {
            QX_LOG(LogLevel::Debug, "AddProbeMemberReferencesToModule", "Failed to add reference to mscorlib");
            return hr;
        }
        QX_LOG(LogLevel::Debug, "AddProbeMemberReferencesToModule", "Added reference to mscorlib successfully");
    }

    mdTypeRef exceptionType = mdTypeRefNil;
    HRESULT hr = emit->DefineTypeRefByName(coreLibrary, exceptionTypeName, &exceptionType);
    if (FAILED(hr)) return hr;
    hr = emit->DefineMemberRef(exceptionType, enterProbeName, ProbeSignature, sizeof(ProbeSignature), enterProbe);
    if (FAILED(hr)) return hr;
    return emit->DefineMemberRef(exceptionType, exitProbeName, ProbeSignature, sizeof(ProbeSignature), exitProbe);
}

bool ManagedProbeBuilder::HasMscorlibReference(IMetaDataAssemblyImport* assemblyImport, const mdAssemblyRef* references,
                                               ULONG count, mdAssemblyRef* found) {
    if (assemblyImport == nullptr || references == nullptr) return false;
    for (ULONG i = 0; i < count; ++i) {
        char16_t name[AssemblyNameBufferLength] = {};
        ULONG nameLength = 0;
        const HRESULT hr =
            assemblyImport->GetAssemblyRefProps(references[i], nullptr, nullptr, name, AssemblyNameBufferLength,
                                                &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (FAILED(hr)) return false;
        // The reported length is not trusted: the text ends inside the buffer in every case.
        name[AssemblyNameBufferLength - 1] = 0;
        if (NamesCoreLibrary(name)) {
            SetToken(found, references[i]);
            return true;
        }
    }
    return false;
}
