#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/MetaData.h"
#include "platform/ProfilerTypes.h"

// Writes the metadata the managed probes need: P/Invoke declarations of the agent's probe entry
// points and the two managed probe methods in the core library, references to the probes from
// other modules, and a reference to the managed helper assembly run by re-JIT.
class ManagedProbeBuilder {
public:
    ManagedProbeBuilder();

    // References the helper's Initialize, finds System.CompatibilitySwitches::InitializeSwitches
    // and asks for its re-JIT. Both out parameters are filled also when the re-JIT request fails;
    // the result is then that failure.
    HRESULT InjectManagedProfilerReference(ModuleID moduleId, IMetaDataAssemblyEmit* assemblyEmit,
                                           IMetaDataImport* import, IMetaDataEmit* emit, mdMethodDef* switchesMethod,
                                           mdMemberRef* helperInitialize);

    // Run on the core library module.
    HRESULT AddGlobalProbeFunctions(IMetaDataImport* import, IMetaDataEmit* emit, mdMethodDef* opExplicit,
                                    mdMethodDef* enterPInvoke, mdMethodDef* exitPInvoke, mdMethodDef* enterProbe,
                                    mdMethodDef* exitProbe);
    HRESULT AddPInvokeMethod(IMetaDataEmit* emit, mdTypeDef owner, const char16_t* name, mdModuleRef nativeModule,
                             mdMethodDef* method);
    HRESULT AddManagedHelperMethod(IMetaDataEmit* emit, mdTypeDef owner, const char16_t* name, ULONG codeRva,
                                   mdToken attributeConstructor, mdMethodDef* method);
    HRESULT GetSecuritySafeCriticalAttributeToken(IMetaDataImport* import, mdToken* constructor);

    // Run on a module that is to call the probes.
    HRESULT AddProbeMemberReferencesToModule(ModuleID moduleId, IMetaDataAssemblyImport* assemblyImport,
                                             IMetaDataAssemblyEmit* assemblyEmit, IMetaDataEmit* emit,
                                             IMetaDataImport* import, mdMemberRef* enterProbe, mdMemberRef* exitProbe);

    bool HasMscorlibReference(IMetaDataAssemblyImport* assemblyImport, const mdAssemblyRef* references, ULONG count,
                              mdAssemblyRef* found);
    // True when the suffix is shorter than the name and equal to its end, ignoring case.
    static bool ModuleNameEndsWith(const char16_t* name, const char16_t* suffix);

    // Case-insensitive comparison of 16-bit text (ASCII and Latin-1 letters fold); the host
    // runtime does not export one we could use. Null sorts before everything else.
    static int CompareIgnoreCase(const char16_t* left, const char16_t* right);

    // The managed probes take (module id, method token, probe number). The module id is a
    // pointer-sized runtime id, so it travels as 64 bits everywhere: in the definition, in the
    // references from other modules and at every call site.
    static constexpr COR_SIGNATURE ProbeSignature[] = {0x00, 0x03, 0x01, 0x0B, 0x09, 0x08};
    static constexpr COR_SIGNATURE PInvokeSignature[] = {0x00, 0x03, 0x01, 0x18, 0x09, 0x08};
    static constexpr COR_SIGNATURE OpExplicitSignature[] = {0x00, 0x01, 0x18, 0x0A};
    static constexpr COR_SIGNATURE ConstructorSignature[] = {0x20, 0x00, 0x01};
    static constexpr COR_SIGNATURE StaticVoidSignature[] = {0x00, 0x00, 0x01};

    static constexpr DWORD PInvokeMethodFlags = 0x2016;  // public static pinvokeimpl
    static constexpr DWORD PInvokeImplFlags = 0x80;      // preservesig
    static constexpr DWORD PInvokeMapFlags = 0x0301;     // no mangling, stdcall
    static constexpr DWORD ProbeMethodFlags = 0x16;      // public static
    static constexpr DWORD ProbeImplFlags = 0x8;         // noinlining

    static constexpr BYTE HelperPublicKeyToken[8] = {0x4d, 0x1e, 0x7b, 0x90, 0xc2, 0x35, 0xa8, 0xf6};
    static constexpr BYTE CoreLibPublicKeyToken[8] = {0xb7, 0x7a, 0x5c, 0x56, 0x19, 0x34, 0xe0, 0x89};
    static constexpr size_t LocaleBufferLength = 260;
    static constexpr ULONG AssemblyNameBufferLength = 512;
    static constexpr ULONG AssemblyRefBatch = 20;

    static constexpr const char16_t* HelperAssemblyName = u"QuorixManagedProfilerHelper";
    static constexpr const char16_t* NativeModuleName = u"QuorixProfilerr";
    static constexpr const char16_t* IntPtrTypeName = u"System.IntPtr";
    static constexpr const char16_t* OpExplicitName = u"op_Explicit";
    static constexpr const char16_t* SafeCriticalAttributeName = u"System.Security.SecuritySafeCriticalAttribute";
    static constexpr const char16_t* ConstructorName = u".ctor";
    static constexpr const char16_t* NetCoreLibName = u"System.Private.CoreLib";
    static constexpr const char16_t* MscorlibFileName = u"mscorlib.dll";
    static constexpr const char16_t* MscorlibSuffix = u"mscorlib";

private:
    const char16_t* exceptionTypeName;
    const char16_t* switchesTypeName;
    const char16_t* switchesMethodName;
    const char16_t* enterProbeName;
    const char16_t* exitProbeName;
    const char16_t* enterEntryPointName;
    const char16_t* exitEntryPointName;
    const char16_t* helperTypeName;
    const char16_t* helperMethodName;
};
