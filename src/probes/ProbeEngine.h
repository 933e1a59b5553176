#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

#include "il/ProbeInjector.h"
#include "platform/MetaData.h"
#include "platform/ProfilerInfo.h"

class FunctionInfo;
class FunctionMapper;
class LookupHelper;

// The trace engine that leaves the runtime's precompiled and optimised code alone: when a
// module loads it decides from metadata which of its methods are traced, asks the runtime to
// compile those again (re-JIT) and hands it their bodies with probes that call the agent. The
// runtime keeps everything else as it is.
class ProbeEngine {
public:
    // What the probe engine needs of the runtime, and never the flags that cost the whole process
    // its precompiled code or its optimisations.
    static constexpr uint32_t EventMask = COR_PRF_MONITOR_MODULE_LOADS | COR_PRF_MONITOR_EXCEPTIONS |
                                          COR_PRF_MONITOR_THREADS | COR_PRF_ENABLE_REJIT |
                                          COR_PRF_MONITOR_CACHE_SEARCHES;
    static_assert(EventMask == 0x00060244u, "probe engine event mask");
    // The first major release whose runtime has what the probes need (unmanaged calli without a
    // GC transition, re-JIT that feeds every tier).
    static constexpr unsigned MinimumMajorVersion = 6;

    // Readies capture for a monitored record before its first compilation.
    using MonitoredPreparation = std::function<void(FunctionInfo& record)>;

    ProbeEngine(ICorProfilerInfo4* info, FunctionMapper& mapper, LookupHelper& lookup, ProbeTargets targets,
                MonitoredPreparation prepare);
    ProbeEngine(const ProbeEngine&) = delete;
    ProbeEngine& operator=(const ProbeEngine&) = delete;

    // Whether the runtime is one the probes work on; the reason in `why` otherwise.
    static bool Supports(ICorProfilerInfo3* info, std::string& why);

    void ModuleLoaded(ModuleID moduleId);
    HRESULT GetReJITParameters(ModuleID moduleId, mdMethodDef methodId, ICorProfilerFunctionControl* control);
    void ReJITError(ModuleID moduleId, mdMethodDef methodId, HRESULT status);
    // The record of a traced frame the runtime names by its id (the exception callbacks do).
    FunctionInfo* RecordOfFrame(FunctionID functionId);
    // False for a precompiled body that has a traced method inlined: it must be compiled anew.
    bool MayUsePrecompiledCode(FunctionID functionId);

    size_t TargetCount();

private:
    struct Target {
        uint32_t recordId = 0;
        bool passValues = false;
    };
    struct ModuleState {
        ProbeModuleTokens tokens;
        bool prepared = false;
    };
    using Key = std::pair<ModuleID, mdMethodDef>;

    // The traced methods of a module, by the mapper's rules, as (token, record id).
    void ScanModule(ModuleID moduleId, IMetaDataImport* import, std::map<mdMethodDef, Target>& found);
    // What of a module carries an attribute that an attribute definition looks for.
    struct Attributed {
        std::set<mdTypeDef> types;          // the type itself: every method of it
        std::set<mdTypeDef> methodClasses;  // the types of the methods below
        std::set<mdMethodDef> methods;
    };
    void ScanClass(ModuleID moduleId, IMetaDataImport* import, mdTypeDef typeDef, const Attributed& attributed,
                   const std::map<std::string, std::set<mdToken>>& interfaceTokens,
                   std::map<mdMethodDef, Target>& found);
    // The module's tokens (type references and its own interfaces) for each interface that an
    // interface definition names.
    std::map<std::string, std::set<mdToken>> InterfaceTokens(IMetaDataImport* import);
    Attributed AttributedMembers(IMetaDataImport* import);
    // Whether the attribute made by this constructor is one the attribute definitions look for.
    bool IsDefinitionAttribute(IMetaDataImport* import, mdToken constructor);
    // Precompiled methods of the module with a traced method's body inlined: they are compiled
    // anew when first called, so that the traced method stays a call of its own.
    void NoteInliners(ModuleID moduleId, const std::map<mdMethodDef, Target>& found);

    ICorProfilerInfo4* info;
    FunctionMapper& mapper;
    LookupHelper& lookup;
    ProbeTargets targets;
    MonitoredPreparation prepare;
    std::vector<std::u16string> attributeNames;
    std::vector<std::string> interfaceNames;

    std::mutex lock;
    std::map<Key, Target> targetsByMethod;    // guarded by lock
    std::map<ModuleID, ModuleState> modules;  // guarded by lock
    std::set<Key> inliners;                   // guarded by lock
    std::atomic<bool> anyInliners{false};
    std::set<Key> failures;  // guarded by lock; each logged once
};
