#include "mapping/LookupHelper.h"

#include <exception>
#include <limits>

#include "environment/ErrorBoundary.h"
#include "environment/Logger.h"
#include "environment/SystemContext.h"
#include "environment/profiler_pal.h"
#include "mapping/MetaDataHandles.h"
#include "mapping/ModuleInfo.h"
#include "platform/InterfaceIds.h"
#include "platform/MetaData.h"
#include "threads/ThreadExecutionTracker.h"

LookupHelper* g_Lookup = nullptr;

namespace {

constexpr const char16_t* DoNotProfileAttributeName = u"Corvanine.Quorix4Net.Attributes.DoNotProfileAttribute";
constexpr ULONG NameCapacity = static_cast<ULONG>(LookupHelper::NameBufferLength);
constexpr ULONG InterfaceBatchSize = 10;
// A type has at most one interface row per table row (24-bit row numbers); an enumerator that
// never reports its end must not keep a runtime thread forever.
constexpr uint64_t MaxInterfaceBatches = (uint64_t{1} << 24) / InterfaceBatchSize + 1;
// What the flags hold when the runtime did not write them.
constexpr DWORD UnwrittenFlags = 0xCCCCCCCCu;

// The runtime may fill a buffer to the last unit without a terminator.
void Terminate(char16_t* buffer) {
    if (buffer != nullptr) buffer[LookupHelper::NameBufferLength - 1] = u'\0';
}

// The metadata import of one function, with the function's method token.
class FunctionImport {
public:
    HRESULT Open(ICorProfilerInfo* info, FunctionID functionId) {
        if (info == nullptr) return E_FAIL;
        HRESULT hr = info->GetTokenAndMetaDataFromFunction(functionId, &IID_IMetaDataImport, import.Out(), &token);
        if (FAILED(hr)) return hr;
        return import.Get() == nullptr ? E_FAIL : hr;
    }

    IMetaDataImport* Get() const { return import.Get(); }
    mdToken Token() const { return token; }

private:
    MetaDataImportRef import;
    mdToken token = 0;
};

// A query that throws answers E_FAIL.
template <class Body>
HRESULT Guarded(LogArea operation, Body&& body) noexcept {
    HRESULT result = E_FAIL;
    RunGuarded(operation, [&] { result = body(); });
    return result;
}

}  // namespace

LookupHelper::LookupHelper(ICorProfilerInfo* infoValue) : info(infoValue) {}

LookupHelper::~LookupHelper() = default;

ICorProfilerInfo* LookupHelper::Info() const {
    if (info != nullptr) return info;
    SystemContext* context = g_Context;
    return context != nullptr ? context->GetProfilerInfo() : nullptr;
}

namespace {

HRESULT MethodNames(IMetaDataImport* metadata, mdToken token, char16_t* enclosingName, char16_t* className,
                    char16_t* methodName, bool* doNotProfile) {
    mdTypeDef typeDef = mdTypeDefNil;
    ULONG length = 0;
    HRESULT hr = metadata->GetMethodProps(token, &typeDef, methodName, NameCapacity, &length, nullptr, nullptr, nullptr,
                                          nullptr, nullptr);
    Terminate(methodName);
    if (metadata->GetCustomAttributeByName(token, DoNotProfileAttributeName, nullptr, nullptr) == S_OK &&
        doNotProfile != nullptr) {
        *doNotProfile = true;
    }
    if (FAILED(hr)) return hr;

    DWORD flags = 0;
    hr = metadata->GetTypeDefProps(typeDef, className, NameCapacity, &length, &flags, nullptr);
    Terminate(className);
    if (FAILED(hr)) return hr;

    // Only one level: a type nested two deep reports the middle type's bare name.
    if (IsTdNested(flags)) {
        mdTypeDef enclosing = mdTypeDefNil;
        hr = metadata->GetNestedClassProps(typeDef, &enclosing);
        if (SUCCEEDED(hr)) {
            DWORD enclosingFlags = 0;
            hr = metadata->GetTypeDefProps(enclosing, enclosingName, NameCapacity, &length, &enclosingFlags, nullptr);
            Terminate(enclosingName);
        }
    }
    if (metadata->GetCustomAttributeByName(typeDef, DoNotProfileAttributeName, nullptr, nullptr) == S_OK &&
        doNotProfile != nullptr) {
        *doNotProfile = true;
    }
    return hr;
}

HRESULT ImplementsInterface(IMetaDataImport* metadata, mdToken token, const std::string& interfaceName, bool* found) {
    mdTypeDef typeDef = mdTypeDefNil;
    HRESULT hr =
        metadata->GetMethodProps(token, &typeDef, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (FAILED(hr)) return hr;

    char16_t name[LookupHelper::NameBufferLength] = {};
    ULONG length = 0;
    DWORD flags = 0;
    const HRESULT classResult = metadata->GetTypeDefProps(typeDef, name, NameCapacity, &length, &flags, nullptr);
    if (FAILED(classResult)) return classResult;

    MetaDataEnum interfaces(metadata);
    mdInterfaceImpl impls[InterfaceBatchSize] = {};
    std::string narrowed;
    for (uint64_t batch = 0; batch < MaxInterfaceBatches; ++batch) {
        ULONG count = 0;
        if (FAILED(metadata->EnumInterfaceImpls(interfaces.Out(), typeDef, impls, InterfaceBatchSize, &count)) ||
            count == 0) {
            break;
        }
        if (count > InterfaceBatchSize) count = InterfaceBatchSize;
        for (ULONG i = 0; i < count; ++i) {
            mdTypeDef implementer = mdTypeDefNil;
            mdToken iface = mdTokenNil;
            if (FAILED(metadata->GetInterfaceImplProps(impls[i], &implementer, &iface))) continue;

            // The table byte decides which query can read the token: asking for a type
            // definition with a reference token would read an unrelated row of the same number.
            name[0] = u'\0';
            length = 0;
            bool named = false;
            if (TypeFromToken(iface) == mdtTypeDef) {
                flags = UnwrittenFlags;
                named = SUCCEEDED(metadata->GetTypeDefProps(iface, name, NameCapacity, &length, &flags, nullptr)) &&
                        length >= 1 && length <= NameCapacity && flags != UnwrittenFlags;
            } else if (TypeFromToken(iface) == mdtTypeRef) {
                mdToken scope = mdTokenNil;
                named = SUCCEEDED(metadata->GetTypeRefProps(iface, &scope, name, NameCapacity, &length)) &&
                        length >= 1 && length <= NameCapacity;
            }
            if (!named) continue;
            Terminate(name);
            if (NarrowName(name, narrowed) && narrowed == interfaceName && found != nullptr) *found = true;
        }
    }
    return classResult;
}

HRESULT HasAttribute(IMetaDataImport* metadata, mdToken token, const char16_t* attributeName, bool* found) {
    HRESULT hr = metadata->GetCustomAttributeByName(token, attributeName, nullptr, nullptr);
    if (hr == S_OK && found != nullptr) *found = true;

    mdTypeDef typeDef = mdTypeDefNil;
    hr = metadata->GetMethodProps(token, &typeDef, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (FAILED(hr)) return hr;

    hr = metadata->GetCustomAttributeByName(typeDef, attributeName, nullptr, nullptr);
    if (hr == S_OK && found != nullptr) *found = true;
    return hr;
}

// A kept module import, released at the end of the query.
class KeptImport {
public:
    explicit KeptImport(IMetaDataImport* value) : import(value) {}
    ~KeptImport() {
        if (import != nullptr) import->Release();
    }
    KeptImport(const KeptImport&) = delete;
    KeptImport& operator=(const KeptImport&) = delete;
    IMetaDataImport* Get() const { return import; }

private:
    IMetaDataImport* import;
};

}  // namespace

HRESULT LookupHelper::GetMethodNameByFunctionId(FunctionID functionId, char16_t* enclosingName, char16_t* className,
                                                char16_t* methodName, bool* doNotProfile, ModuleID* moduleId,
                                                mdToken* methodToken) {
    return Guarded("GetMethodNameByFunctionId", [&]() -> HRESULT {
        if (enclosingName == nullptr || className == nullptr || methodName == nullptr) return E_POINTER;
        ICorProfilerInfo* profilerInfo = Info();
        FunctionImport import;
        HRESULT hr = import.Open(profilerInfo, functionId);
        if (FAILED(hr)) return hr;

        ClassID classId = 0;
        ModuleID module = 0;
        mdToken token = import.Token();
        if (FAILED(profilerInfo->GetFunctionInfo(functionId, &classId, &module, &token))) {
            module = 0;
            token = import.Token();
        }
        if (moduleId != nullptr) *moduleId = module;
        if (methodToken != nullptr) *methodToken = token;
        return MethodNames(import.Get(), token, enclosingName, className, methodName, doNotProfile);
    });
}

HRESULT LookupHelper::GetImplementedInterfacesFunctionId(FunctionID functionId, const std::string& interfaceName,
                                                         bool* found) {
    return Guarded("GetImplementedInterfacesFunctionId", [&]() -> HRESULT {
        FunctionImport import;
        HRESULT hr = import.Open(Info(), functionId);
        if (FAILED(hr)) return hr;
        return ImplementsInterface(import.Get(), import.Token(), interfaceName, found);
    });
}

HRESULT LookupHelper::GetCustomAttributeByFunctionId(FunctionID functionId, const char16_t* attributeName,
                                                     bool* found) {
    return Guarded("GetCustomAttributeByFunctionId", [&]() -> HRESULT {
        if (attributeName == nullptr) return E_POINTER;
        FunctionImport import;
        HRESULT hr = import.Open(Info(), functionId);
        if (FAILED(hr)) return hr;
        return HasAttribute(import.Get(), import.Token(), attributeName, found);
    });
}

HRESULT LookupHelper::GetMethodNameByToken(ModuleID moduleId, mdToken methodToken, char16_t* enclosingName,
                                           char16_t* className, char16_t* methodName, bool* doNotProfile) {
    return Guarded("GetMethodNameByToken", [&]() -> HRESULT {
        if (enclosingName == nullptr || className == nullptr || methodName == nullptr) return E_POINTER;
        KeptImport import(ModuleImport(moduleId));
        if (import.Get() == nullptr) return E_FAIL;
        return MethodNames(import.Get(), methodToken, enclosingName, className, methodName, doNotProfile);
    });
}

HRESULT LookupHelper::GetImplementedInterfacesByToken(ModuleID moduleId, mdToken methodToken,
                                                      const std::string& interfaceName, bool* found) {
    return Guarded("GetImplementedInterfacesByToken", [&]() -> HRESULT {
        KeptImport import(ModuleImport(moduleId));
        if (import.Get() == nullptr) return E_FAIL;
        return ImplementsInterface(import.Get(), methodToken, interfaceName, found);
    });
}

HRESULT LookupHelper::GetCustomAttributeByToken(ModuleID moduleId, mdToken methodToken, const char16_t* attributeName,
                                                bool* found) {
    return Guarded("GetCustomAttributeByToken", [&]() -> HRESULT {
        if (attributeName == nullptr) return E_POINTER;
        KeptImport import(ModuleImport(moduleId));
        if (import.Get() == nullptr) return E_FAIL;
        return HasAttribute(import.Get(), methodToken, attributeName, found);
    });
}

void LookupHelper::RememberModuleImport(ModuleID moduleId, IMetaDataImport* import) {
    if (import == nullptr) return;
    RunGuarded("RememberModuleImport", [&] {
        std::lock_guard<std::mutex> lock(registriesLock);
        auto [entry, added] = moduleImports.try_emplace(moduleId, import);
        if (!added) return;
        import->AddRef();
    });
}

IMetaDataImport* LookupHelper::ModuleImport(ModuleID moduleId) {
    {
        std::lock_guard<std::mutex> lock(registriesLock);
        auto found = moduleImports.find(moduleId);
        if (found != moduleImports.end()) {
            found->second->AddRef();
            return found->second;
        }
    }
    ICorProfilerInfo* profilerInfo = Info();
    IUnknown* unknown = nullptr;
    if (profilerInfo == nullptr ||
        FAILED(profilerInfo->GetModuleMetaData(moduleId, ofRead, &IID_IMetaDataImport, &unknown)) || unknown == nullptr)
        return nullptr;
    return static_cast<IMetaDataImport*>(unknown);
}

void LookupHelper::RegisterModule(ModuleInfo* module) {
    if (module == nullptr) return;
    RunGuarded("RegisterModule", [&] {
        std::lock_guard<std::mutex> lock(registriesLock);
        modules.emplace(module->GetModuleId(), module);
        moduleIds.push_back(module->GetModuleId());
    });
}

ModuleInfo* LookupHelper::GetModuleInfoById(ModuleID moduleId) {
    std::lock_guard<std::mutex> lock(registriesLock);
    auto found = modules.find(moduleId);
    return found != modules.end() ? found->second : nullptr;
}

std::vector<ModuleID> LookupHelper::GetModuleIds() {
    std::lock_guard<std::mutex> lock(registriesLock);
    return moduleIds;
}

ClassInfo* LookupHelper::GetClassInfoByTypeDef(ModuleID, mdTypeDef) { return nullptr; }

ClassInfo* LookupHelper::GetClassInfoByTypeRef(ModuleID, mdTypeRef) { return nullptr; }

// Ids are truncated pthread_self values, which the C library hands to new threads once old ones
// end: a new thread may inherit a finished thread's tracker, and the registry holds at most one
// tracker per id ever seen.
ThreadExecutionTracker* LookupHelper::GetThreadExecutionTracker(uint64_t threadId) {
    ThreadExecutionTracker* found = nullptr;
    RunGuarded("GetThreadExecutionTracker", [&] {
        std::lock_guard<std::mutex> lock(registriesLock);
        std::unique_ptr<ThreadExecutionTracker>& tracker = trackers[threadId];
        if (!tracker) tracker = std::make_unique<ThreadExecutionTracker>(threadId);
        found = tracker.get();
    });
    return found;
}

size_t LookupHelper::TrackerCount() {
    std::lock_guard<std::mutex> lock(registriesLock);
    return trackers.size();
}
