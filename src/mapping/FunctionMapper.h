#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <memory>
#include <optional>
#include <vector>

#include "environment/Configuration.h"
#include "mapping/FunctionInfo.h"
#include "mapping/MonitoredFunctionDefinition.h"
#include "mapping/TraceRules.h"
#include "platform/Export.h"
#include "platform/MetaDataTypes.h"
#include "platform/ProfilerTypes.h"

class LookupHelper;

// Decides once per function whether it is traced, and keeps the record of every traced
// function. Map runs on any runtime thread (slow path, once per function); the record,
// monitored and blacklist queries run on every hooked call: one hash lookup under a short lock.
// Locks are never nested.
class FunctionMapper {
public:
    // Hands out the next mapped id; called under the record lock, must not call back.
    using SequenceSource = std::function<uint64_t()>;

    struct ModuleMethodHash {
        size_t operator()(const std::pair<ModuleID, mdToken>& key) const noexcept {
            return static_cast<size_t>(key.first ^ static_cast<uint64_t>(key.second));
        }
    };

    // Client ids of untraced functions are moved above this bound, away from mapped ids; the
    // hooks return at once for a client id above it that is not the function's own id.
    static constexpr uint64_t UntracedIdOffset = 100000000;
    // The live blacklist is re-read every minute from a file that may keep changing.
    static constexpr size_t MaxLiveBlacklistEntries = 100000;
    // Mapped ids below this are found by FindRecord; the few above (none in practice) by a map.
    static constexpr size_t RecordTableBlockSize = 4096;
    static constexpr size_t RecordTableBlocks = 4096;

    // Metadata from g_Lookup and mapped ids from g_Context, both looked up when needed.
    FunctionMapper();
    // Fixed metadata source and id source (tests); null falls back to the globals.
    FunctionMapper(LookupHelper* lookup, SequenceSource nextSequenceNo);
    ~FunctionMapper();

    FunctionMapper(const FunctionMapper&) = delete;
    FunctionMapper& operator=(const FunctionMapper&) = delete;

    // Loads the catalogue of monitored framework methods for the host type.
    void Initialize(HostType hostType);
    // Reads the user overrides file once: user white and black lists, live entries.
    void UpdateBlacklistsWhitelistsOnStartup() noexcept;
    // Re-reads the live entries of the same file.
    void UpdateLiveBlacklists() noexcept;

    // (client id handed back to the hooks, whether to hook the function). Never throws: any
    // failure leaves the function without hooks.
    std::pair<uint64_t, bool> Map(FunctionID functionId) noexcept;
    // The same decision for a method definition of a loaded module, before any of its code runs
    // (the probe engine): the mapped id of its record when traced. Never throws.
    std::optional<uint64_t> MapDefinition(ModuleID moduleId, mdToken methodToken) noexcept;
    // Whether any method of a class could be traced, from what the rules ask of the class alone:
    // false means MapDefinition would decline every one of them, so a module's scan skips it.
    // `implements` answers whether the class declares an interface of that name, `attributed`
    // whether it or one of its methods carries the attribute of an attribute definition.
    bool MayTraceClass(std::string_view plainClass, const std::function<bool(const std::string&)>& implements,
                       bool attributed);
    // The attributes the attribute definitions look for.
    std::vector<std::u16string> GetAttributeNames() const;
    // Records the runtime's id of a compiled body of a record (one per instantiation), so that
    // the exception callbacks, which name frames by it, find the record.
    void AddRuntimeId(FunctionInfo* record, FunctionID functionId);

    void AddFunctionInfo(FunctionInfo* info);
    FunctionInfo* GetFunctionInfoByOriginalId(FunctionID functionId);
    FunctionInfo* GetFunctionInfoForTrackedFunction(uint64_t mappedId);
    // The record of a mapped id without taking a lock: what the hooks use on every call.
    FunctionInfo* FindRecord(uint64_t mappedId) const noexcept {
        if (mappedId >= RecordTableBlocks * RecordTableBlockSize) return nullptr;
        const std::atomic<FunctionInfo*>* block =
            recordBlocks[mappedId / RecordTableBlockSize].load(std::memory_order_acquire);
        return block != nullptr ? block[mappedId % RecordTableBlockSize].load(std::memory_order_acquire) : nullptr;
    }
    FunctionInfo* GetFunctionInfoByModuleAndMethod(ModuleID moduleId, mdToken methodToken);
    bool IsMonitored(uint64_t mappedId);
    // The definition bound to a runtime FunctionID or to a mapped id.
    MonitoredFunctionDefinition* GetMonitoredFunctionDefinition(uint64_t id);
    // On every call: without live entries (the usual case) the answer costs one load.
    bool IsBlacklisted(const FunctionInfo* info) {
        return info != nullptr && liveBlacklistSize.load(std::memory_order_acquire) != 0 && IsListedLive(info);
    }
    void Clear();

    void AddMonitoredFunction(const std::string& className, const std::string& methodName,
                              const std::string& argumentName, InspectionType type, int genericArgumentCount,
                              PropertySpec* spec);
    void AddMonitoredFunction(const std::string& className, const std::string& methodName,
                              const std::string& argumentName, InspectionType type, PropertySpec* spec);
    void AddMonitoredFunction(const std::string& className, const std::string& methodName,
                              const std::string& argumentName, PropertySpec* spec);
    void AddMonitoredFunction(const std::string& className, const std::string& methodName,
                              const std::string& argumentName);
    void AddMonitoredInterfaceFunction(const std::string& interfaceName, const std::string& methodName,
                                       const std::string& argumentName, InspectionType type, PropertySpec* spec);
    void AddMonitoredAttributeFunction(const std::wstring& attributeName, const std::string& argumentName,
                                       InspectionType type, PropertySpec* spec);
    static void FixupDefinition(MonitoredFunctionDefinition* definition, const std::string& argumentName,
                                InspectionType type, PropertySpec* spec);

    // Whether the JIT must keep this callee a separate call. Uses no mapper state.
    static bool PreventInlining(std::string_view className, std::string_view methodName);

    // Copies, for diagnostics and tests.
    std::vector<std::string> GetUserWhitelist();
    std::vector<std::string> GetUserBlacklist();
    std::unordered_set<std::string> GetLiveBlacklist();
    std::vector<MonitoredFunctionDefinition*> GetMonitoredFunctions();
    std::vector<MonitoredFunctionDefinition*> GetInterfaceFunctions();
    std::vector<MonitoredAttributeDefinition*> GetAttributeFunctions();
    size_t GetFunctionCount();

    static uint64_t UntracedClientId(FunctionID functionId);

private:
    // Where a function's facts come from: the runtime's id, or a method definition of a module.
    struct MethodSource {
        FunctionID functionId = 0;
        ModuleID moduleId = 0;
        mdToken methodToken = 0;
    };
    // Names from the metadata, as 8-bit text.
    struct FunctionNames {
        std::string plainClass;
        std::string fullClass;
        std::string method;
    };
    struct GatheredFacts {
        FunctionNames names;
        std::string qualifiedName;
        MonitoredFunctionDefinition* attributeClone = nullptr;
        MonitoredFunctionDefinition* interfaceDefinition = nullptr;
        TraceDecision decision;
        ModuleID moduleId = 0;
        mdToken methodToken = 0;
    };

    std::pair<uint64_t, bool> MapFunction(FunctionID functionId);
    // False when the function cannot be traced whatever the rules say (no metadata, a name that
    // is not text, the DoNotProfile attribute).
    bool GatherFacts(const MethodSource& source, GatheredFacts& gathered);
    FunctionInfo* CreateRecord(const MethodSource& source, const GatheredFacts& gathered,
                               const FunctionInfo*& existing);
    void BindDefinitions(FunctionInfo& record, const MethodSource& source, const GatheredFacts& gathered);
    static void LogMapped(const FunctionInfo& record, const GatheredFacts& gathered);
    // Each attribute definition the function carries adds its suffix to method and its clone,
    // named after the full class and that method, to the catalogue. Returns the last clone: the
    // binding falls back on it for a nested class, whose clone the search by the plain class
    // name does not find.
    MonitoredFunctionDefinition* ApplyAttributeDefinitions(const MethodSource& source, LookupHelper& lookup,
                                                           const std::string& fullClass, std::string& method);
    // The first interface definition for this method whose interface the function's class implements.
    MonitoredFunctionDefinition* FindInterfaceDefinition(const MethodSource& source, LookupHelper& lookup,
                                                         const std::string& method);
    std::pair<uint64_t, bool> AnswerForMapped(const FunctionInfo* record);
    bool IsListedLive(const FunctionInfo* info);
    // Call with functionsLock held.
    void IndexLocked(FunctionInfo* record);
    void ClearRecordTableLocked();
    LookupHelper* Lookup() const;
    uint64_t NextSequenceNo();
    // First definition for the class and method (or "*"); call with monitoredFunctionsLock held.
    MonitoredFunctionDefinition* FindMonitoredDefinitionLocked(const std::string& className,
                                                               const std::string& methodName) const;
    // Call with monitoredFunctionsLock held.
    void BindLocked(MonitoredFunctionDefinition* definition, uint64_t mappedId, FunctionID functionId);
    // Adds entries to the live blacklist by replacing the whole set; returns the entries new to it.
    std::vector<std::string> AddLiveEntries(const std::vector<std::string>& entries, size_t& dropped);

    std::vector<MonitoredFunctionDefinition*> monitoredFunctions;
    // The classes the catalogue's definitions name; under monitoredFunctionsLock.
    std::unordered_set<std::string> monitoredClassNames;
    std::unordered_set<uint64_t> monitoredFunctionIds;
    std::vector<MonitoredFunctionDefinition*> interfaceFunctions;
    std::vector<MonitoredAttributeDefinition*> attributeFunctions;
    // Every step of the catalogue's property chains; definitions and their clones only point
    // into them, so they go with the mapper (which the agent never destroys).
    std::vector<std::unique_ptr<PropertySpec>> catalogueSpecs;
    std::mutex monitoredFunctionsLock;
    std::mutex interfaceFunctionsLock;
    std::vector<std::string> userBlacklist;
    std::vector<std::string> userWhitelist;
    std::unordered_set<std::string> liveBlacklist;
    std::mutex liveBlacklistLock;
    std::unordered_map<uint64_t, FunctionInfo*> functionsByMappedId;
    std::unordered_map<FunctionID, FunctionInfo*> functionsByOriginalId;
    std::unordered_map<std::pair<ModuleID, mdToken>, FunctionInfo*, ModuleMethodHash> functionsByModuleMethod;
    std::mutex functionsLock;

    // Records by mapped id for the hooks: blocks made on demand under functionsLock, read
    // without it. Blocks live as long as the mapper.
    std::atomic<std::atomic<FunctionInfo*>*> recordBlocks[RecordTableBlocks] = {};
    // Changes with every new content of the live blacklist, so records can keep their answer.
    std::atomic<uint64_t> liveBlacklistVersion{0};
    // Every record once (a replaced index entry must not lose or double-free its record).
    std::unordered_set<FunctionInfo*> ownedFunctions;
    // Bound runtime and mapped ids → first definition bound to them; under monitoredFunctionsLock.
    std::unordered_map<uint64_t, MonitoredFunctionDefinition*> definitionsByBoundId;
    // The user lists are written by the start-up parse only; Map reads them under this lock.
    std::mutex userListsLock;
    // Lets the hooks skip the lock while no live entry exists (the usual case).
    std::atomic<size_t> liveBlacklistSize{0};
    // Serialises the writers of the live blacklist (start-up parse, refresh); no hook takes it.
    std::mutex liveBlacklistUpdateLock;
    // Copy of the overrides path taken by the start-up parse: the environment may change later.
    std::string userOverridesPath;
    bool userOverridesPathSet = false;

    LookupHelper* lookupHelper = nullptr;
    SequenceSource sequenceSource;
    // Ids when neither a source nor the system context exists.
    std::atomic<uint64_t> fallbackSequenceNo{100};
};

extern QX_EXPORT FunctionMapper* g_Mapper;
