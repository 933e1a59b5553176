#include "probes/ProbeEngine.h"

#include <array>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include "environment/ErrorBoundary.h"
#include "environment/Logger.h"
#include "environment/profiler_pal.h"
#include "il/ILRewriter.h"
#include "mapping/FunctionInfo.h"
#include "mapping/FunctionMapper.h"
#include "mapping/LookupHelper.h"
#include "mapping/MetaDataHandles.h"
#include "platform/InterfaceIds.h"

namespace {

constexpr ULONG NameCapacity = 1024;
constexpr ULONG EnumBatch = 64;
// Implementation flags of methods whose body is not IL of the module.
constexpr DWORD NotIL = 0x0003 /* code type */ | 0x1000 /* internal call */;

// A reference to a metadata interface, released at the end of the scope.
template <typename Interface>
class Held {
public:
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        if (pointer != nullptr) pointer->Release();
    }
    Interface* Get() const { return pointer; }
    void** Out() { return reinterpret_cast<void**>(&pointer); }
    IUnknown** OutUnknown() { return reinterpret_cast<IUnknown**>(&pointer); }

private:
    Interface* pointer = nullptr;
};

// Every token an enumerator hands out, in batches; bounded by the table's 24-bit row numbers.
template <typename Next>
void ForEachToken(IMetaDataImport* import, Next&& next, const std::function<void(mdToken)>& visit) {
    MetaDataEnum cursor(import);
    std::array<mdToken, EnumBatch> batch{};
    for (uint32_t rounds = 0; rounds < (1u << 24) / EnumBatch + 1; ++rounds) {
        ULONG count = 0;
        if (FAILED(next(cursor.Out(), batch.data(), EnumBatch, &count)) || count == 0) return;
        if (count > EnumBatch) count = EnumBatch;
        for (ULONG i = 0; i < count; ++i) visit(batch[i]);
    }
}

bool IsCoreLibrary(const char16_t* moduleName) {
    static constexpr char16_t Suffix[] = u"System.Private.CoreLib.dll";
    size_t length = 0;
    while (moduleName[length] != 0) ++length;
    constexpr size_t suffixLength = sizeof(Suffix) / sizeof(char16_t) - 1;
    if (length < suffixLength) return false;
    for (size_t i = 0; i < suffixLength; ++i)
        if (moduleName[length - suffixLength + i] != Suffix[i]) return false;
    return length == suffixLength || moduleName[length - suffixLength - 1] == u'/';
}

}  // namespace

ProbeEngine::ProbeEngine(ICorProfilerInfo4* infoValue, FunctionMapper& mapperValue, LookupHelper& lookupValue,
                         ProbeTargets targetsValue, MonitoredPreparation prepareValue)
    : info(infoValue),
      mapper(mapperValue),
      lookup(lookupValue),
      targets(targetsValue),
      prepare(std::move(prepareValue)),
      attributeNames(mapperValue.GetAttributeNames()) {
    for (const MonitoredFunctionDefinition* definition : mapperValue.GetInterfaceFunctions())
        interfaceNames.push_back(definition->GetDefinitionClassName());
}

bool ProbeEngine::Supports(ICorProfilerInfo3* info3, std::string& why) {
    if (info3 == nullptr) {
        why = "the runtime offers no re-JIT interface";
        return false;
    }
    USHORT instance = 0, major = 0, minor = 0, build = 0, qfe = 0;
    COR_PRF_RUNTIME_TYPE type{};
    ULONG length = 0;
    if (FAILED(info3->GetRuntimeInformation(&instance, &type, &major, &minor, &build, &qfe, 0, &length, nullptr))) {
        why = "the runtime does not say which release it is";
        return false;
    }
    // Releases before 5 report 4 here whatever they are.
    if (type != COR_PRF_CORE_CLR || major < MinimumMajorVersion) {
        why = "the runtime is release " + std::to_string(major) + "." + std::to_string(minor) + ", older than " +
              std::to_string(MinimumMajorVersion);
        return false;
    }
    return true;
}

void ProbeEngine::ModuleLoaded(ModuleID moduleId) {
    LPCBYTE base = nullptr;
    std::array<char16_t, 1024> name{};
    ULONG nameLength = 0;
    AssemblyID assembly = 0;
    DWORD flags = 0;
    if (FAILED(info->GetModuleInfo2(moduleId, &base, static_cast<ULONG>(name.size()), &nameLength, name.data(),
                                    &assembly, &flags)))
        return;
    name.back() = 0;
    if ((flags & COR_PRF_MODULE_RESOURCE) != 0) return;
    if ((flags & (COR_PRF_MODULE_DYNAMIC | COR_PRF_MODULE_COLLECTIBLE)) != 0) {
        QX_LOG(LogLevel::Info, "Probes", "Module %s is %s: its methods are not traced", W2A(name.data()).c_str(),
               (flags & COR_PRF_MODULE_DYNAMIC) != 0 ? "dynamic" : "collectible");
        return;
    }
    // Read only for the scan: a module's metadata opened for writing is converted first, which
    // only modules with traced methods need.
    Held<IMetaDataImport> import;
    if (FAILED(info->GetModuleMetaData(moduleId, ofRead, &IID_IMetaDataImport, import.OutUnknown())) ||
        import.Get() == nullptr)
        return;
    lookup.RememberModuleImport(moduleId, import.Get());

    std::map<mdMethodDef, Target> found;
    const auto scanStart = std::chrono::steady_clock::now();
    timespec cpuStart{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
    ScanModule(moduleId, import.Get(), found);
    timespec cpuEnd{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
    const long long scanMicros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - scanStart).count();
    const long long cpuMicros =
        (cpuEnd.tv_sec - cpuStart.tv_sec) * 1000000LL + (cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1000;
    QX_LOG(LogLevel::Verbose, "Probes", "Module %s scanned in %lld us (%lld us of processor time): %zu traced methods",
           W2A(name.data()).c_str(), scanMicros, cpuMicros, found.size());
    if (found.empty()) return;

    Held<IMetaDataEmit> emit;
    Held<IMetaDataAssemblyImport> assemblyImport;
    Held<IMetaDataAssemblyEmit> assemblyEmit;
    Held<IMetaDataImport> writable;
    ProbeModuleTokens tokens;
    HRESULT hr = info->GetModuleMetaData(moduleId, ofRead | ofWrite, &IID_IMetaDataImport, writable.OutUnknown());
    if (SUCCEEDED(hr) && writable.Get() == nullptr) hr = E_FAIL;
    if (SUCCEEDED(hr)) hr = writable.Get()->QueryInterface(&IID_IMetaDataEmit, emit.Out());
    if (SUCCEEDED(hr)) hr = writable.Get()->QueryInterface(&IID_IMetaDataAssemblyImport, assemblyImport.Out());
    if (SUCCEEDED(hr)) hr = writable.Get()->QueryInterface(&IID_IMetaDataAssemblyEmit, assemblyEmit.Out());
    if (SUCCEEDED(hr))
        hr = ProbeInjector::PrepareModule(writable.Get(), emit.Get(), assemblyImport.Get(), assemblyEmit.Get(),
                                          IsCoreLibrary(name.data()), tokens);
    if (FAILED(hr)) {
        QX_LOG(LogLevel::Warning, "Probes",
               "Module %s: the probes' metadata could not be added (0x%08x); its %zu traced methods are not traced",
               W2A(name.data()).c_str(), static_cast<unsigned>(hr), found.size());
        return;
    }

    std::vector<ModuleID> moduleIds;
    std::vector<mdMethodDef> methodIds;
    {
        std::lock_guard<std::mutex> guard(lock);
        ModuleState& state = modules[moduleId];
        state.tokens = tokens;
        state.prepared = true;
        for (const auto& [method, target] : found) {
            targetsByMethod[{moduleId, method}] = target;
            moduleIds.push_back(moduleId);
            methodIds.push_back(method);
        }
    }
    NoteInliners(moduleId, found);
    // Asked for here, on the loading thread, before any code of the module can run: the first
    // call of every traced method already runs its probes.
    hr = info->RequestReJIT(static_cast<ULONG>(methodIds.size()), moduleIds.data(), methodIds.data());
    if (FAILED(hr))
        QX_LOG(LogLevel::Warning, "Probes", "Module %s: re-JIT of %zu traced methods refused (0x%08x)",
               W2A(name.data()).c_str(), methodIds.size(), static_cast<unsigned>(hr));
    else
        QX_LOG(LogLevel::Info, "Probes", "Module %s: %zu traced methods get probes", W2A(name.data()).c_str(),
               methodIds.size());
}

std::map<std::string, std::set<mdToken>> ProbeEngine::InterfaceTokens(IMetaDataImport* import) {
    std::map<std::string, std::set<mdToken>> tokens;
    for (const std::string& name : interfaceNames) tokens[name];
    if (tokens.empty()) return tokens;
    auto note = [&](mdToken token, const char16_t* text) {
        std::string narrow;
        if (!NarrowName(text, narrow)) return;
        auto entry = tokens.find(narrow);
        if (entry != tokens.end()) entry->second.insert(token);
    };
    ForEachToken(
        import,
        [import](HCORENUM* cursor, mdToken* refs, ULONG max, ULONG* count) {
            return import->EnumTypeRefs(cursor, refs, max, count);
        },
        [&](mdToken ref) {
            std::array<char16_t, NameCapacity> text{};
            ULONG length = 0;
            mdToken scope = 0;
            if (FAILED(import->GetTypeRefProps(ref, &scope, text.data(), NameCapacity, &length))) return;
            text.back() = 0;
            note(ref, text.data());
        });
    // An interface the module defines itself is found by its name.
    for (auto& [name, found] : tokens) {
        const std::u16string text(name.begin(), name.end());
        mdTypeDef def = 0;
        if (import->FindTypeDefByName(reinterpret_cast<LPCWSTR>(text.c_str()), mdTokenNil, &def) == S_OK &&
            TypeFromToken(def) == mdtTypeDef)
            found.insert(def);
    }
    return tokens;
}

void ProbeEngine::ScanModule(ModuleID moduleId, IMetaDataImport* import, std::map<mdMethodDef, Target>& found) {
    const Attributed attributed = AttributedMembers(import);
    const std::map<std::string, std::set<mdToken>> interfaces = InterfaceTokens(import);
    ForEachToken(
        import,
        [import](HCORENUM* cursor, mdToken* tokens, ULONG max, ULONG* count) {
            return import->EnumTypeDefs(cursor, tokens, max, count);
        },
        [&](mdToken typeDef) { ScanClass(moduleId, import, typeDef, attributed, interfaces, found); });
}

bool ProbeEngine::IsDefinitionAttribute(IMetaDataImport* import, mdToken constructor) {
    mdToken type = 0;
    if (TypeFromToken(constructor) == mdtMethodDef) {
        if (FAILED(import->GetMethodProps(constructor, &type, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr)))
            return false;
    } else if (TypeFromToken(constructor) == mdtMemberRef) {
        if (FAILED(import->GetMemberRefProps(constructor, &type, nullptr, 0, nullptr, nullptr, nullptr))) return false;
    } else {
        return false;
    }
    std::array<char16_t, NameCapacity> name{};
    ULONG length = 0;
    DWORD flags = 0;
    mdToken scope = 0;
    HRESULT hr = E_FAIL;
    if (TypeFromToken(type) == mdtTypeDef)
        hr = import->GetTypeDefProps(type, name.data(), NameCapacity, &length, &flags, nullptr);
    else if (TypeFromToken(type) == mdtTypeRef)
        hr = import->GetTypeRefProps(type, &scope, name.data(), NameCapacity, &length);
    if (FAILED(hr)) return false;
    name.back() = 0;
    for (const std::u16string& attribute : attributeNames)
        if (attribute == name.data()) return true;
    return false;
}

ProbeEngine::Attributed ProbeEngine::AttributedMembers(IMetaDataImport* import) {
    Attributed attributed;
    if (attributeNames.empty()) return attributed;
    // One pass over the module's attributes, each kind of attribute named once: far cheaper than
    // asking for each attribute on each method.
    std::map<mdToken, bool> wanted;
    ForEachToken(
        import,
        [import](HCORENUM* cursor, mdToken* tokens, ULONG max, ULONG* count) {
            return import->EnumCustomAttributes(cursor, 0, 0, tokens, max, count);
        },
        [&](mdToken attribute) {
            mdToken owner = 0, constructor = 0;
            const void* blob = nullptr;
            ULONG size = 0;
            if (FAILED(import->GetCustomAttributeProps(attribute, &owner, &constructor, &blob, &size))) return;
            auto [entry, added] = wanted.try_emplace(constructor, false);
            if (added) entry->second = IsDefinitionAttribute(import, constructor);
            if (!entry->second) return;
            if (TypeFromToken(owner) == mdtTypeDef) {
                attributed.types.insert(owner);
                return;
            }
            mdTypeDef owningClass = 0;
            if (TypeFromToken(owner) != mdtMethodDef ||
                FAILED(import->GetMethodProps(owner, &owningClass, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr)))
                return;
            attributed.methodClasses.insert(owningClass);
            attributed.methods.insert(owner);
        });
    return attributed;
}

namespace {

// Whether a class declares an interface the interface definitions name: the module's tokens for
// those interfaces are found once, so a class is asked about its interfaces only when the module
// refers to one of them at all.
class DeclaredInterfaces {
public:
    DeclaredInterfaces(IMetaDataImport* importValue, mdTypeDef typeValue,
                       const std::map<std::string, std::set<mdToken>>& tokensValue)
        : import(importValue), type(typeValue), tokens(tokensValue) {}

    bool Has(const std::string& interfaceName) {
        auto wanted = tokens.find(interfaceName);
        if (wanted == tokens.end() || wanted->second.empty()) return false;
        if (!read) Read();
        for (mdToken token : declared)
            if (wanted->second.count(token) != 0) return true;
        return false;
    }

private:
    void Read() {
        read = true;
        IMetaDataImport* metadata = import;
        const mdTypeDef owner = type;
        ForEachToken(
            metadata,
            [metadata, owner](HCORENUM* cursor, mdToken* impls, ULONG max, ULONG* count) {
                return metadata->EnumInterfaceImpls(cursor, owner, impls, max, count);
            },
            [&](mdToken impl) {
                mdTypeDef implementer = 0;
                mdToken iface = 0;
                if (SUCCEEDED(metadata->GetInterfaceImplProps(impl, &implementer, &iface))) declared.push_back(iface);
            });
    }

    IMetaDataImport* import;
    mdTypeDef type;
    const std::map<std::string, std::set<mdToken>>& tokens;
    bool read = false;
    std::vector<mdToken> declared;
};

}  // namespace

void ProbeEngine::ScanClass(ModuleID moduleId, IMetaDataImport* import, mdTypeDef typeDef, const Attributed& attributed,
                            const std::map<std::string, std::set<mdToken>>& interfaceTokens,
                            std::map<mdMethodDef, Target>& found) {
    std::array<char16_t, NameCapacity> name{};
    ULONG length = 0;
    DWORD flags = 0;
    mdToken extends = 0;
    if (FAILED(import->GetTypeDefProps(typeDef, name.data(), NameCapacity, &length, &flags, &extends))) return;
    name.back() = 0;
    std::string plainClass;
    if (!NarrowName(name.data(), plainClass)) return;
    DeclaredInterfaces interfaces(import, typeDef, interfaceTokens);
    // A class that only some methods' attributes admit has no other method the rules could trace.
    const bool wholeClass =
        attributed.types.count(typeDef) != 0 ||
        mapper.MayTraceClass(
            plainClass, [&](const std::string& interfaceName) { return interfaces.Has(interfaceName); }, false);
    if (!wholeClass && attributed.methodClasses.count(typeDef) == 0) return;

    ForEachToken(
        import,
        [import, typeDef](HCORENUM* cursor, mdToken* tokens, ULONG max, ULONG* count) {
            return import->EnumMethods(cursor, typeDef, tokens, max, count);
        },
        [&](mdToken method) {
            mdTypeDef owner = 0;
            DWORD attributes = 0, implementation = 0;
            ULONG rva = 0, nameLength = 0, signatureLength = 0;
            PCCOR_SIGNATURE signature = nullptr;
            if (FAILED(import->GetMethodProps(method, &owner, nullptr, 0, &nameLength, &attributes, &signature,
                                              &signatureLength, &rva, &implementation)))
                return;
            // Only bodies of IL can carry probes.
            if (rva == 0 || (implementation & NotIL) != 0 || (attributes & (mdAbstract | mdPinvokeImpl)) != 0) return;
            if (!wholeClass && attributed.methods.count(method) == 0) return;
            const std::optional<uint64_t> id = mapper.MapDefinition(moduleId, method);
            if (!id || *id > UINT32_MAX) return;
            FunctionInfo* record = mapper.FindRecord(*id);
            if (record == nullptr) record = mapper.GetFunctionInfoForTrackedFunction(*id);
            Target target;
            target.recordId = static_cast<uint32_t>(*id);
            target.passValues = record != nullptr && record->GetIsMonitored();
            found[method] = target;
        });
}

HRESULT ProbeEngine::GetReJITParameters(ModuleID moduleId, mdMethodDef methodId, ICorProfilerFunctionControl* control) {
    Target target;
    ProbeModuleTokens tokens;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto found = targetsByMethod.find({moduleId, methodId});
        auto module = modules.find(moduleId);
        if (found == targetsByMethod.end() || module == modules.end() || !module->second.prepared) return S_OK;
        target = found->second;
        tokens = module->second.tokens;
    }
    ILRewriter body(info, control, moduleId, methodId);
    HRESULT hr = body.Initialize();
    if (SUCCEEDED(hr)) hr = body.Import();
    ProbeRequest request;
    request.recordId = target.recordId;
    request.passValues = target.passValues;
    if (SUCCEEDED(hr) && target.passValues) {
        mdTypeDef owner = 0;
        ULONG nameLength = 0, rva = 0;
        DWORD attributes = 0, implementation = 0;
        hr = body.GetMetaDataImport()->GetMethodProps(methodId, &owner, nullptr, 0, &nameLength, &attributes,
                                                      &request.signature, &request.signatureLength, &rva,
                                                      &implementation);
    }
    if (SUCCEEDED(hr) && target.passValues && prepare)
        if (FunctionInfo* record = mapper.GetFunctionInfoByModuleAndMethod(moduleId, methodId)) prepare(*record);
    if (SUCCEEDED(hr)) hr = ProbeInjector::Inject(body, tokens, targets, request);
    if (SUCCEEDED(hr)) hr = body.Export();
    if (FAILED(hr)) ReJITError(moduleId, methodId, hr);
    return S_OK;
}

FunctionInfo* ProbeEngine::RecordOfFrame(FunctionID functionId) {
    if (FunctionInfo* known = mapper.GetFunctionInfoByOriginalId(functionId)) return known;
    ClassID classId = 0;
    ModuleID moduleId = 0;
    mdToken token = 0;
    if (FAILED(info->GetFunctionInfo(functionId, &classId, &moduleId, &token))) return nullptr;
    FunctionInfo* record = mapper.GetFunctionInfoByModuleAndMethod(moduleId, token);
    // Each compiled body (an instantiation) is asked for once.
    if (record != nullptr) mapper.AddRuntimeId(record, functionId);
    return record;
}

void ProbeEngine::ReJITError(ModuleID moduleId, mdMethodDef methodId, HRESULT status) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!failures.insert({moduleId, methodId}).second) return;
    }
    const FunctionInfo* record = mapper.GetFunctionInfoByModuleAndMethod(moduleId, methodId);
    QX_LOG(LogLevel::Info, "Probes", "%s is not traced: its body could not get probes (0x%08x)",
           record != nullptr ? record->GetName().c_str() : "A method", static_cast<unsigned>(status));
}

void ProbeEngine::NoteInliners(ModuleID moduleId, const std::map<mdMethodDef, Target>& found) {
    Held<ICorProfilerInfo6> info6;
    if (FAILED(info->QueryInterface(&IID_ICorProfilerInfo6, info6.Out())) || info6.Get() == nullptr) return;
    std::vector<Key> keys;
    bool incomplete = false;
    for (const auto& entry : found) {
        Held<ICorProfilerMethodEnum> methods;
        BOOL partial = 0;
        if (FAILED(info6.Get()->EnumNgenModuleMethodsInliningThisMethod(
                moduleId, moduleId, entry.first, &partial,
                reinterpret_cast<ICorProfilerMethodEnum**>(methods.Out()))) ||
            methods.Get() == nullptr)
            continue;
        incomplete = incomplete || partial != 0;
        std::array<COR_PRF_METHOD, EnumBatch> batch{};
        for (uint32_t rounds = 0; rounds < (1u << 24) / EnumBatch + 1; ++rounds) {
            ULONG count = 0;
            if (FAILED(methods.Get()->Next(EnumBatch, batch.data(), &count)) || count == 0) break;
            for (ULONG i = 0; i < count && i < EnumBatch; ++i) keys.emplace_back(batch[i].moduleId, batch[i].methodId);
        }
    }
    if (incomplete)
        QX_LOG(LogLevel::Info, "Probes",
               "Module %lu: the runtime knows only part of where its traced methods are inlined",
               static_cast<unsigned long>(moduleId));
    QX_LOG(LogLevel::Verbose, "Probes", "Module %lu: %zu precompiled methods have traced methods inlined",
           static_cast<unsigned long>(moduleId), keys.size());
    if (keys.empty()) return;
    std::lock_guard<std::mutex> guard(lock);
    inliners.insert(keys.begin(), keys.end());
    anyInliners.store(true, std::memory_order_release);
}

bool ProbeEngine::MayUsePrecompiledCode(FunctionID functionId) {
    if (!anyInliners.load(std::memory_order_acquire)) return true;
    ClassID classId = 0;
    ModuleID moduleId = 0;
    mdToken token = 0;
    if (FAILED(info->GetFunctionInfo(functionId, &classId, &moduleId, &token))) return true;
    std::lock_guard<std::mutex> guard(lock);
    return inliners.count({moduleId, token}) == 0;
}

size_t ProbeEngine::TargetCount() {
    std::lock_guard<std::mutex> guard(lock);
    return targetsByMethod.size();
}
