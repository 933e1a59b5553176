#include "mapping/FunctionMapper.h"

#include <array>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>

#include "environment/Logger.h"
#include "environment/SystemContext.h"
#include "environment/profiler_pal.h"
#include "mapping/BuiltInLists.h"
#include "mapping/LookupHelper.h"
#include "mapping/TraceRules.h"
#include "mapping/UserOverridesFile.h"
#include "threads/ThreadExecutionTracker.h"

FunctionMapper* g_Mapper = nullptr;

namespace {

// A user list entry is a prefix; an empty one matches every name.
bool StartsWithAnyEntry(std::string_view text, const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
        if (StartsWith(text, entry)) return true;
    }
    return false;
}

bool MethodMatches(const MonitoredFunctionDefinition* definition, const std::string& methodName) {
    const std::string& wanted = definition->GetDefinitionMethodName();
    return wanted == methodName || wanted == "*";
}

// Names from the metadata, as 8-bit text.
struct FunctionNames {
    std::string plainClass;
    std::string fullClass;
    std::string method;
};

using NameBuffer = std::array<char16_t, LookupHelper::NameBufferLength>;

}  // namespace

FunctionMapper::FunctionMapper() = default;

FunctionMapper::FunctionMapper(LookupHelper* lookup, SequenceSource nextSequenceNo)
    : lookupHelper(lookup), sequenceSource(std::move(nextSequenceNo)) {}

FunctionMapper::~FunctionMapper() {
    Clear();
    for (auto& slot : recordBlocks) delete[] slot.load(std::memory_order_relaxed);
    for (MonitoredAttributeDefinition* definition : attributeFunctions) delete definition;
    attributeFunctions.clear();
}

LookupHelper* FunctionMapper::Lookup() const { return lookupHelper != nullptr ? lookupHelper : g_Lookup; }

uint64_t FunctionMapper::NextSequenceNo() {
    if (sequenceSource) return sequenceSource();
    if (SystemContext* context = g_Context) return context->GetNextFunctionMapSequenceNo();
    return fallbackSequenceNo.fetch_add(1) + 1;
}

uint64_t FunctionMapper::UntracedClientId(FunctionID functionId) {
    const uint64_t id = functionId >= 1 && functionId <= UntracedIdOffset ? functionId + UntracedIdOffset : functionId;
    return id & 0xFFFFFFFFu;
}

std::pair<uint64_t, bool> FunctionMapper::Map(FunctionID functionId) noexcept {
    try {
        return MapFunction(functionId);
    } catch (const std::exception& error) {
        QX_LOG(LogLevel::Error, "Map", "Function %lu left without hooks: %s", static_cast<unsigned long>(functionId),
               error.what());
    } catch (...) {
        QX_LOG(LogLevel::Error, "Map", "Function %lu left without hooks: unknown error",
               static_cast<unsigned long>(functionId));
    }
    return {UntracedClientId(functionId), false};
}

// A function asked for again (re-JIT, or a thread that lost the race to map it) keeps its
// record's id: any other answer would detach its calls from the record.
std::pair<uint64_t, bool> FunctionMapper::AnswerForMapped(const FunctionInfo* record) {
    bool disabled = false;
    if (LookupHelper* lookup = Lookup()) {
        const auto threadId = static_cast<uint64_t>(SystemContext::GetProfilingThreadId());
        if (ThreadExecutionTracker* tracker = lookup->GetThreadExecutionTracker(threadId))
            disabled = tracker->IsDisabled(record->GetFunctionID());
    }
    return {record->GetFunctionID(), !disabled};
}

std::pair<uint64_t, bool> FunctionMapper::MapFunction(FunctionID functionId) {
    const uint64_t lowBits = functionId & 0xFFFFFFFFu;

    if (const FunctionInfo* record = GetFunctionInfoByOriginalId(functionId)) return AnswerForMapped(record);

    LookupHelper* lookup = Lookup();
    if (lookup == nullptr) return {lowBits, false};

    NameBuffer enclosingBuffer{};
    NameBuffer classBuffer{};
    NameBuffer methodBuffer{};
    bool doNotProfile = false;
    ModuleID moduleId = 0;
    mdToken methodToken = 0;
    if (FAILED(lookup->GetMethodNameByFunctionId(functionId, enclosingBuffer.data(), classBuffer.data(),
                                                 methodBuffer.data(), &doNotProfile, &moduleId, &methodToken)))
        return {lowBits, false};
    enclosingBuffer.back() = u'\0';
    classBuffer.back() = u'\0';
    methodBuffer.back() = u'\0';

    FunctionNames names;
    try {
        const std::string enclosing = W2A(enclosingBuffer.data());
        names.plainClass = W2A(classBuffer.data());
        names.method = W2A(methodBuffer.data());
        names.fullClass = enclosing.empty() ? names.plainClass : enclosing + "+" + names.plainClass;
    } catch (const std::range_error& error) {
        QX_LOG(LogLevel::Warning, "Map", "Function %lu left without hooks: its name is not valid text (%s)",
               static_cast<unsigned long>(functionId), error.what());
        return {lowBits, false};
    }

    if (doNotProfile) {
        QX_LOG(LogLevel::Info, LogArea::Unprefixed, "Ignoring %s::%s due to DoNotProfileAttribute",
               names.plainClass.c_str(), names.method.c_str());
        return {lowBits, false};
    }

    // Taken before the attribute definitions suffix the method name: the lists compare the
    // name the metadata gives.
    const std::string qualifiedName = names.plainClass + "::" + names.method;
    MonitoredFunctionDefinition* attributeClone =
        ApplyAttributeDefinitions(functionId, *lookup, names.fullClass, names.method);
    const std::string& plainClass = names.plainClass;
    const std::string& method = names.method;
    MonitoredFunctionDefinition* interfaceDefinition = FindInterfaceDefinition(functionId, *lookup, method);

    // Everything the rules ask, gathered once; the rules themselves read no mapper state.
    FunctionFacts facts;
    facts.plainClass = plainClass;
    facts.fullClass = names.fullClass;
    facts.method = method;
    facts.qualifiedName = qualifiedName;
    facts.attributeMatched = attributeClone != nullptr;
    facts.interfaceDefinition = interfaceDefinition != nullptr;
    {
        std::lock_guard<std::mutex> lock(userListsLock);
        facts.userBlacklisted = StartsWithAnyEntry(qualifiedName, userBlacklist);
        facts.userWhitelisted = StartsWithAnyEntry(qualifiedName, userWhitelist);
    }
    {
        std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
        facts.monitoredDefinition = FindMonitoredDefinitionLocked(plainClass, method) != nullptr;
    }

    const TraceDecision decision = DecideTrace(facts);
    if (decision.system) {
        const uint64_t index = decision.systemIndex;
        QX_LOG(LogLevel::Info, LogArea::ProcessIdOnly, "Located system function %s : %ld", qualifiedName.c_str(),
               static_cast<long>(index));
    }

    if (!decision.traced) return {UntracedClientId(functionId), false};

    QX_LOG(LogLevel::Info, LogArea::ProcessIdOnly, "Mapping %s::%s", names.fullClass.c_str(), method.c_str());

    // The re-check and the insertion form one step, so that two threads mapping the same new
    // function end with one record and one id.
    FunctionInfo* record = nullptr;
    const FunctionInfo* existing = nullptr;
    {
        std::lock_guard<std::mutex> lock(functionsLock);
        auto found = functionsByOriginalId.find(functionId);
        if (found != functionsByOriginalId.end()) {
            existing = found->second;
        } else {
            const uint64_t mappedId = decision.system ? decision.systemIndex : NextSequenceNo();
            auto info = std::make_unique<FunctionInfo>(mappedId, functionId, names.fullClass, method);
            info->SetIsSystemFunction(decision.system);
            info->SetIsEntryPoint(decision.entryPoint);
            info->SetIsWhitelisted(decision.whitelisted);
            info->SetIsMonitored(decision.monitored || decision.interfaceMatch);
            info->SetModuleId(moduleId);
            info->SetMethodId(methodToken);
            ownedFunctions.insert(info.get());
            record = info.release();
            IndexLocked(record);
        }
    }
    if (existing != nullptr) return AnswerForMapped(existing);

    const uint64_t mappedId = record->GetFunctionID();
    if (decision.monitored) {
        std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
        monitoredFunctionIds.insert(mappedId);
        MonitoredFunctionDefinition* definition = FindMonitoredDefinitionLocked(plainClass, method);
        // A nested class carries its full name in the attribute clone, which the search by the
        // plain name does not find.
        if (definition == nullptr) definition = attributeClone;
        if (definition != nullptr) BindLocked(definition, mappedId, functionId);
    }
    if (decision.interfaceMatch) {
        std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
        monitoredFunctionIds.insert(mappedId);
        std::unique_ptr<MonitoredFunctionDefinition> clone(interfaceDefinition->Clone());
        clone->SetDefinitionClassName(plainClass);
        clone->SetMappedId(mappedId);
        clone->SetFunctionId(functionId);
        monitoredFunctions.push_back(clone.get());
        MonitoredFunctionDefinition* bound = clone.release();
        definitionsByBoundId.try_emplace(functionId, bound);
        if (mappedId != 0) definitionsByBoundId.try_emplace(mappedId, bound);
    }

    // The hooks take the definitions from the record: no lookup under a lock on every call.
    if (decision.monitored || decision.interfaceMatch) {
        std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
        auto bound = [this](uint64_t id) -> MonitoredFunctionDefinition* {
            if (id == 0) return nullptr;
            auto found = definitionsByBoundId.find(id);
            return found != definitionsByBoundId.end() ? found->second : nullptr;
        };
        MonitoredFunctionDefinition* leave = bound(functionId);
        record->SetDefinitions(leave != nullptr ? leave : bound(mappedId), leave);
    }

    QX_LOG(LogLevel::Verbose, LogArea::ProcessIdOnly, "Mapping %s::%s from %lu to %lu (%lu:%lu) [%lu:%lu]",
           names.fullClass.c_str(), method.c_str(), static_cast<unsigned long>(functionId),
           static_cast<unsigned long>(mappedId), static_cast<unsigned long>(record->GetFunctionID()),
           static_cast<unsigned long>(record->GetOriginalID()), static_cast<unsigned long>(record->GetModuleId()),
           static_cast<unsigned long>(record->GetMethodId()));
    return {mappedId, true};
}

MonitoredFunctionDefinition* FunctionMapper::ApplyAttributeDefinitions(FunctionID functionId, LookupHelper& lookup,
                                                                       const std::string& fullClass,
                                                                       std::string& method) {
    MonitoredFunctionDefinition* attributeClone = nullptr;
    for (MonitoredAttributeDefinition* attribute : attributeFunctions) {
        bool found = false;
        lookup.GetCustomAttributeByFunctionId(functionId, attribute->GetAttributeNameText().c_str(), &found);
        if (!found) continue;
        MonitoredFunctionDefinition* clone = attribute->Clone();
        method += ":[" + attribute->GetDisplayName() + "]";
        clone->SetDefinitionClassName(fullClass);
        clone->SetDefinitionMethodName(method);
        {
            std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
            try {
                monitoredFunctions.push_back(clone);
            } catch (...) {
                delete clone;
                throw;
            }
        }
        attributeClone = clone;
    }
    return attributeClone;
}

MonitoredFunctionDefinition* FunctionMapper::FindInterfaceDefinition(FunctionID functionId, LookupHelper& lookup,
                                                                     const std::string& method) {
    for (size_t index = 0;; ++index) {
        MonitoredFunctionDefinition* candidate = nullptr;
        {
            std::lock_guard<std::mutex> lock(interfaceFunctionsLock);
            if (index >= interfaceFunctions.size()) return nullptr;
            candidate = interfaceFunctions[index];
        }
        // The method test is free, the interface query walks metadata: test the method first.
        if (!MethodMatches(candidate, method)) continue;
        bool found = false;
        if (FAILED(
                lookup.GetImplementedInterfacesFunctionId(functionId, candidate->GetDefinitionClassName(), &found)) ||
            !found)
            continue;
        return candidate;
    }
}

MonitoredFunctionDefinition* FunctionMapper::FindMonitoredDefinitionLocked(const std::string& className,
                                                                           const std::string& methodName) const {
    for (MonitoredFunctionDefinition* definition : monitoredFunctions) {
        if (definition->GetDefinitionClassName() == className && MethodMatches(definition, methodName))
            return definition;
    }
    return nullptr;
}

void FunctionMapper::BindLocked(MonitoredFunctionDefinition* definition, uint64_t mappedId, FunctionID functionId) {
    // A system function's mapped id is 0, so the runtime id tells a bound definition too.
    if (definition->GetMappedId() != 0 || definition->GetFunctionId() != 0) {
        std::unique_ptr<MonitoredFunctionDefinition> clone(definition->Clone());
        monitoredFunctions.push_back(clone.get());
        definition = clone.release();
    }
    definition->SetMappedId(mappedId);
    definition->SetFunctionId(functionId);
    definitionsByBoundId.try_emplace(functionId, definition);
    if (mappedId != 0) definitionsByBoundId.try_emplace(mappedId, definition);
}

void FunctionMapper::AddFunctionInfo(FunctionInfo* info) {
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(functionsLock);
    ownedFunctions.insert(info);
    IndexLocked(info);
}

void FunctionMapper::IndexLocked(FunctionInfo* record) {
    const uint64_t mappedId = record->GetFunctionID();
    functionsByMappedId[mappedId] = record;
    functionsByOriginalId[record->GetOriginalID()] = record;
    functionsByModuleMethod[{record->GetModuleId(), record->GetMethodId()}] = record;
    if (mappedId >= RecordTableBlocks * RecordTableBlockSize) return;
    std::atomic<std::atomic<FunctionInfo*>*>& slot = recordBlocks[mappedId / RecordTableBlockSize];
    std::atomic<FunctionInfo*>* block = slot.load(std::memory_order_relaxed);
    if (block == nullptr) {
        block = new std::atomic<FunctionInfo*>[RecordTableBlockSize]();
        slot.store(block, std::memory_order_release);
    }
    block[mappedId % RecordTableBlockSize].store(record, std::memory_order_release);
}

void FunctionMapper::ClearRecordTableLocked() {
    // Blocks stay (a hook may still be reading one); their entries go.
    for (auto& slot : recordBlocks) {
        std::atomic<FunctionInfo*>* block = slot.load(std::memory_order_relaxed);
        if (block == nullptr) continue;
        for (size_t i = 0; i < RecordTableBlockSize; ++i) block[i].store(nullptr, std::memory_order_relaxed);
    }
}

FunctionInfo* FunctionMapper::GetFunctionInfoByOriginalId(FunctionID functionId) {
    if (functionId == 0) return nullptr;
    std::lock_guard<std::mutex> lock(functionsLock);
    auto found = functionsByOriginalId.find(functionId);
    return found != functionsByOriginalId.end() ? found->second : nullptr;
}

FunctionInfo* FunctionMapper::GetFunctionInfoForTrackedFunction(uint64_t mappedId) {
    if (mappedId < RecordTableBlocks * RecordTableBlockSize) return FindRecord(mappedId);
    std::lock_guard<std::mutex> lock(functionsLock);
    auto found = functionsByMappedId.find(mappedId);
    return found != functionsByMappedId.end() ? found->second : nullptr;
}

FunctionInfo* FunctionMapper::GetFunctionInfoByModuleAndMethod(ModuleID moduleId, mdToken methodToken) {
    if (moduleId == 0 || methodToken == 0) return nullptr;
    std::lock_guard<std::mutex> lock(functionsLock);
    auto found = functionsByModuleMethod.find({moduleId, methodToken});
    return found != functionsByModuleMethod.end() ? found->second : nullptr;
}

bool FunctionMapper::IsMonitored(uint64_t mappedId) {
    std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
    return monitoredFunctionIds.count(mappedId) != 0;
}

MonitoredFunctionDefinition* FunctionMapper::GetMonitoredFunctionDefinition(uint64_t id) {
    if (id == 0) return nullptr;
    std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
    auto found = definitionsByBoundId.find(id);
    return found != definitionsByBoundId.end() ? found->second : nullptr;
}

bool FunctionMapper::IsListedLive(const FunctionInfo* info) {
    // Each record remembers its answer for the current content of the list, so the lock is
    // taken once per record and list change, not on every call.
    const uint64_t known = (liveBlacklistVersion.load(std::memory_order_acquire) + 1) << 1;
    auto& state = const_cast<FunctionInfo*>(info)->BlacklistState();
    const uint64_t cached = state.load(std::memory_order_relaxed);
    if ((cached & ~uint64_t{1}) == known) return (cached & 1) != 0;
    uint64_t version;
    bool listed;
    {
        std::lock_guard<std::mutex> lock(liveBlacklistLock);
        version = liveBlacklistVersion.load(std::memory_order_relaxed);
        listed = liveBlacklist.count(info->GetName()) != 0;
    }
    state.store(((version + 1) << 1) | (listed ? 1 : 0), std::memory_order_relaxed);
    return listed;
}

void FunctionMapper::Clear() {
    {
        std::lock_guard<std::mutex> lock(functionsLock);
        ClearRecordTableLocked();
        for (FunctionInfo* info : ownedFunctions) delete info;
        ownedFunctions.clear();
        functionsByMappedId.clear();
        functionsByOriginalId.clear();
        functionsByModuleMethod.clear();
    }
    {
        std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
        for (MonitoredFunctionDefinition* definition : monitoredFunctions) delete definition;
        monitoredFunctions.clear();
        definitionsByBoundId.clear();
    }
    {
        std::lock_guard<std::mutex> lock(interfaceFunctionsLock);
        for (MonitoredFunctionDefinition* definition : interfaceFunctions) delete definition;
        interfaceFunctions.clear();
    }
    std::lock_guard<std::mutex> lock(userListsLock);
    userBlacklist.clear();
    userWhitelist.clear();
}

void FunctionMapper::AddMonitoredFunction(const std::string& className, const std::string& methodName,
                                          const std::string& argumentName, InspectionType type,
                                          int genericArgumentCount, PropertySpec* spec) {
    MonitoredFunctionDefinition* definition = nullptr;
    {
        std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
        for (MonitoredFunctionDefinition* candidate : monitoredFunctions) {
            if (candidate->GetDefinitionClassName() == className &&
                candidate->GetDefinitionMethodName() == methodName) {
                definition = candidate;
                break;
            }
        }
        if (definition == nullptr) {
            auto created = std::make_unique<MonitoredFunctionDefinition>(className, methodName);
            monitoredFunctions.push_back(created.get());
            definition = created.release();
        }
    }
    definition->SetGenericArgumentCount(genericArgumentCount);
    FixupDefinition(definition, argumentName, type, spec);
}

void FunctionMapper::AddMonitoredFunction(const std::string& className, const std::string& methodName,
                                          const std::string& argumentName, InspectionType type, PropertySpec* spec) {
    AddMonitoredFunction(className, methodName, argumentName, type, 0, spec);
}

void FunctionMapper::AddMonitoredFunction(const std::string& className, const std::string& methodName,
                                          const std::string& argumentName, PropertySpec* spec) {
    const bool path = argumentName == InspectionConstants::ReturnValueArgumentName || spec != nullptr;
    AddMonitoredFunction(className, methodName, argumentName,
                         path ? InspectionType::PropertyPath : InspectionType::Value, 0, spec);
}

void FunctionMapper::AddMonitoredFunction(const std::string& className, const std::string& methodName,
                                          const std::string& argumentName) {
    if (argumentName == InspectionConstants::ReturnValueArgumentName) return;
    AddMonitoredFunction(className, methodName, argumentName, InspectionType::Value, 0, nullptr);
}

void FunctionMapper::AddMonitoredInterfaceFunction(const std::string& interfaceName, const std::string& methodName,
                                                   const std::string& argumentName, InspectionType type,
                                                   PropertySpec* spec) {
    MonitoredFunctionDefinition* definition = nullptr;
    {
        std::lock_guard<std::mutex> lock(interfaceFunctionsLock);
        for (MonitoredFunctionDefinition* candidate : interfaceFunctions) {
            if (candidate->GetDefinitionClassName() == interfaceName &&
                candidate->GetDefinitionMethodName() == methodName) {
                definition = candidate;
                break;
            }
        }
        if (definition == nullptr) {
            auto created = std::make_unique<MonitoredFunctionDefinition>(interfaceName, methodName);
            interfaceFunctions.push_back(created.get());
            definition = created.release();
        }
    }
    FixupDefinition(definition, argumentName, type, spec);
}

void FunctionMapper::AddMonitoredAttributeFunction(const std::wstring& attributeName, const std::string& argumentName,
                                                   InspectionType type, PropertySpec* spec) {
    MonitoredAttributeDefinition* definition = nullptr;
    for (MonitoredAttributeDefinition* candidate : attributeFunctions) {
        if (candidate->GetAttributeName() == attributeName) {
            definition = candidate;
            break;
        }
    }
    if (definition == nullptr) {
        auto created = std::make_unique<MonitoredAttributeDefinition>(attributeName);
        attributeFunctions.push_back(created.get());
        definition = created.release();
    }
    FixupDefinition(definition, argumentName, type, spec);
}

void FunctionMapper::FixupDefinition(MonitoredFunctionDefinition* definition, const std::string& argumentName,
                                     InspectionType type, PropertySpec* spec) {
    if (definition == nullptr) return;
    const bool returnValue = argumentName == InspectionConstants::ReturnValueArgumentName;
    const bool thisPtr = argumentName == InspectionConstants::ThisPtrArgumentName;
    if (returnValue && spec != nullptr) {
        definition->AddTrackedReturnValueSpec(spec);
    } else if (thisPtr && spec != nullptr) {
        definition->AddTrackedThisPtrValueSpec(spec);
    } else if (returnValue || thisPtr) {
        definition->AddTrackedArgument(argumentName, type, nullptr);
    } else {
        definition->AddTrackedArgument(argumentName, type, spec);
    }
}

bool FunctionMapper::PreventInlining(std::string_view className, std::string_view methodName) {
    for (std::string_view entry : BuiltInLists::_preventMethodInlining) {
        if (entry.size() == className.size() + 2 + methodName.size() && StartsWith(entry, className) &&
            entry.substr(className.size(), 2) == "::" && entry.substr(className.size() + 2) == methodName)
            return true;
    }
    return false;
}

std::vector<std::string> FunctionMapper::GetUserWhitelist() {
    std::lock_guard<std::mutex> lock(userListsLock);
    return userWhitelist;
}

std::vector<std::string> FunctionMapper::GetUserBlacklist() {
    std::lock_guard<std::mutex> lock(userListsLock);
    return userBlacklist;
}

std::unordered_set<std::string> FunctionMapper::GetLiveBlacklist() {
    std::lock_guard<std::mutex> lock(liveBlacklistLock);
    return liveBlacklist;
}

std::vector<MonitoredFunctionDefinition*> FunctionMapper::GetMonitoredFunctions() {
    std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
    return monitoredFunctions;
}

std::vector<MonitoredFunctionDefinition*> FunctionMapper::GetInterfaceFunctions() {
    std::lock_guard<std::mutex> lock(interfaceFunctionsLock);
    return interfaceFunctions;
}

std::vector<MonitoredAttributeDefinition*> FunctionMapper::GetAttributeFunctions() { return attributeFunctions; }

size_t FunctionMapper::GetFunctionCount() {
    std::lock_guard<std::mutex> lock(functionsLock);
    return ownedFunctions.size();
}

std::vector<std::string> FunctionMapper::AddLiveEntries(const std::vector<std::string>& entries, size_t& dropped) {
    std::vector<std::string> added;
    dropped = 0;
    {
        // Usually nothing changed since the last read: find out without copying the set.
        std::lock_guard<std::mutex> lock(liveBlacklistLock);
        bool anyNew = false;
        for (const std::string& entry : entries) {
            if (liveBlacklist.count(entry) == 0) {
                anyNew = true;
                break;
            }
        }
        if (!anyNew) return added;
    }
    std::unordered_set<std::string> next;
    {
        std::lock_guard<std::mutex> lock(liveBlacklistLock);
        next = liveBlacklist;
    }
    for (const std::string& entry : entries) {
        if (next.count(entry) != 0) continue;
        if (next.size() >= MaxLiveBlacklistEntries) {
            ++dropped;
            continue;
        }
        next.insert(entry);
        added.push_back(entry);
    }
    {
        std::lock_guard<std::mutex> lock(liveBlacklistLock);
        liveBlacklist.swap(next);
        liveBlacklistVersion.fetch_add(1, std::memory_order_release);
        liveBlacklistSize.store(liveBlacklist.size(), std::memory_order_release);
    }
    // The previous set is freed here, outside the lock the hooks take.
    return added;
}

namespace {

// The log lines about what the bounded reading left out.
void ReportIgnored(LogArea area, const char* path, const UserOverridesFile::Contents& contents) {
    if (contents.truncated)
        QX_LOG(LogLevel::Warning, area, "Only the first %zu bytes of %s are read; the rest is ignored",
               UserOverridesFile::MaxFileBytes, path);
    if (contents.longLinesSkipped != 0)
        QX_LOG(LogLevel::Warning, area, "Ignored %zu lines of %s longer than %zu bytes", contents.longLinesSkipped,
               path, UserOverridesFile::MaxLineBytes);
    if (contents.readFailed)
        QX_LOG(LogLevel::Warning, area, "Reading %s failed part way (errno %d); the lines before are used", path,
               contents.error);
}

}  // namespace

void FunctionMapper::UpdateBlacklistsWhitelistsOnStartup() noexcept {
    try {
        std::lock_guard<std::mutex> update(liveBlacklistUpdateLock);
        const char* path = g_Configuration != nullptr ? g_Configuration->userOverridesFile : nullptr;
        userOverridesEnvironmentValueRaw = path;
        if (path == nullptr) {
            QX_LOG(LogLevel::Warning, "Init",
                   "'MORVEL_USER_OVERRIDES_FILE' has not been set, unable to parse whitelist/blacklist "
                   "overrides");
            return;
        }
        userOverridesPath = path;
        userOverridesPathSet = true;
        QX_LOG(LogLevel::Info, "Init", "Attempting parse of user overrides file: %s", path);
        const UserOverridesFile::Contents contents = UserOverridesFile::Read(path);
        if (contents.status == UserOverridesFile::Status::OpenFailed) {
            QX_LOG(LogLevel::Info, "Init", "Failed to open user overrides file: %s", path);
            return;
        }
        if (contents.status == UserOverridesFile::Status::NotRegularFile) {
            QX_LOG(LogLevel::Warning, "Init", "User overrides file is not a regular file, ignored: %s", path);
            return;
        }
        ReportIgnored("Init", path, contents);

        std::vector<std::string> whitelist;
        std::vector<std::string> blacklist;
        std::vector<std::string> live;
        for (const std::string& line : contents.lines) {
            if (line.size() < 4) {
                QX_LOG(LogLevel::Info, "Init", "Skipping user defined blacklist entry due to length restriction: %s",
                       line.c_str());
            } else if (line[0] == '+') {
                whitelist.push_back(line.substr(1));
                QX_LOG(LogLevel::Info, "Init", "Applying user defined whitelist entry: %s", whitelist.back().c_str());
            } else if (line[0] == '-') {
                blacklist.push_back(line.substr(1));
                QX_LOG(LogLevel::Info, "Init", "Applying user defined blacklist entry: %s", blacklist.back().c_str());
            } else if (line[0] == 'L') {
                if (line[1] != '-') continue;
                live.push_back(line.substr(2));
                QX_LOG(LogLevel::Info, "Init", "Applying live blacklist entry: %s", live.back().c_str());
            } else {
                blacklist.push_back(line);
                QX_LOG(LogLevel::Info, "Init", "Applying user defined blacklist entry: %s", line.c_str());
            }
        }

        size_t whitelistSize = 0;
        size_t blacklistSize = 0;
        {
            std::lock_guard<std::mutex> lock(userListsLock);
            userWhitelist.insert(userWhitelist.end(), whitelist.begin(), whitelist.end());
            userBlacklist.insert(userBlacklist.end(), blacklist.begin(), blacklist.end());
            whitelistSize = userWhitelist.size();
            blacklistSize = userBlacklist.size();
        }
        size_t dropped = 0;
        AddLiveEntries(live, dropped);
        if (dropped != 0)
            QX_LOG(LogLevel::Warning, "Init", "The 'live' blacklist is full (%zu entries); %zu entries ignored",
                   MaxLiveBlacklistEntries, dropped);
        QX_LOG(LogLevel::Info, "Init",
               "After parsing the user defined overrides file, there are %i whitelist, %i blacklist "
               "entries (user), %i blacklist entries (live)",
               static_cast<int>(whitelistSize), static_cast<int>(blacklistSize),
               static_cast<int>(liveBlacklistSize.load()));
    } catch (const std::exception& error) {
        QX_LOG(LogLevel::Error, "Init", "Unable to apply the user overrides file: %s", error.what());
    } catch (...) {
        QX_LOG(LogLevel::Error, "Init", "Unable to apply the user overrides file");
    }
}

void FunctionMapper::UpdateLiveBlacklists() noexcept {
    try {
        std::lock_guard<std::mutex> update(liveBlacklistUpdateLock);
        if (!userOverridesPathSet) {
            QX_LOG(LogLevel::Warning, "LiveBlacklists",
                   "'MORVEL_USER_OVERRIDES_FILE' has not been set, unable to update 'live' "
                   "blacklists");
            return;
        }
        const char* path = userOverridesPath.c_str();
        QX_LOG(LogLevel::Info, "LiveBlacklists", "Attempting parse 'live' blacklists file: %s", path);
        const UserOverridesFile::Contents contents = UserOverridesFile::Read(path);
        if (contents.status == UserOverridesFile::Status::OpenFailed) {
            QX_LOG(LogLevel::Info, "LiveBlacklists", "Failed to open 'live' blacklists file: %s", path);
            return;
        }
        if (contents.status == UserOverridesFile::Status::NotRegularFile) {
            QX_LOG(LogLevel::Warning, "LiveBlacklists", "'live' blacklists file is not a regular file, ignored: %s",
                   path);
            return;
        }
        ReportIgnored("LiveBlacklists", path, contents);

        std::vector<std::string> live;
        for (const std::string& line : contents.lines) {
            if (line.size() >= 2 && line[0] == 'L' && line[1] == '-') live.push_back(line.substr(2));
        }
        size_t dropped = 0;
        for (const std::string& entry : AddLiveEntries(live, dropped))
            QX_LOG(LogLevel::Info, "LiveBlacklists", "Applying 'live' blacklist entry: %s", entry.c_str());
        if (dropped != 0)
            QX_LOG(LogLevel::Warning, "LiveBlacklists",
                   "The 'live' blacklist is full (%zu entries); %zu entries ignored", MaxLiveBlacklistEntries, dropped);
        QX_LOG(LogLevel::Info, "LiveBlacklists",
               "After parsing the 'live' blacklists file, there are %i 'live' blacklist entries",
               static_cast<int>(liveBlacklistSize.load()));
    } catch (const std::exception& error) {
        QX_LOG(LogLevel::Error, "LiveBlacklists", "Unable to update the 'live' blacklists: %s", error.what());
    } catch (...) {
        QX_LOG(LogLevel::Error, "LiveBlacklists", "Unable to update the 'live' blacklists");
    }
}
