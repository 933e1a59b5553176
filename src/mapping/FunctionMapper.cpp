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
    MethodSource source;
    source.functionId = functionId;
    GatheredFacts gathered;
    if (!GatherFacts(source, gathered)) return {lowBits, false};
    if (!gathered.decision.traced) return {UntracedClientId(functionId), false};
    const FunctionInfo* existing = nullptr;
    FunctionInfo* record = CreateRecord(source, gathered, existing);
    if (record == nullptr) return AnswerForMapped(existing);
    BindDefinitions(*record, source, gathered);
    LogMapped(*record, gathered);
    return {record->GetFunctionID(), true};
}

std::optional<uint64_t> FunctionMapper::MapDefinition(ModuleID moduleId, mdToken methodToken) noexcept {
    try {
        if (moduleId == 0 || methodToken == 0) return std::nullopt;
        if (const FunctionInfo* record = GetFunctionInfoByModuleAndMethod(moduleId, methodToken))
            return record->GetFunctionID();
        MethodSource source;
        source.moduleId = moduleId;
        source.methodToken = methodToken;
        GatheredFacts gathered;
        if (!GatherFacts(source, gathered) || !gathered.decision.traced) return std::nullopt;
        const FunctionInfo* existing = nullptr;
        FunctionInfo* record = CreateRecord(source, gathered, existing);
        if (record == nullptr) return existing->GetFunctionID();
        BindDefinitions(*record, source, gathered);
        LogMapped(*record, gathered);
        return record->GetFunctionID();
    } catch (const std::exception& error) {
        QX_LOG(LogLevel::Error, "Map", "Method %08x of module %lu left without probes: %s",
               static_cast<unsigned>(methodToken), static_cast<unsigned long>(moduleId), error.what());
    } catch (...) {
        QX_LOG(LogLevel::Error, "Map", "Method %08x of module %lu left without probes: unknown error",
               static_cast<unsigned>(methodToken), static_cast<unsigned long>(moduleId));
    }
    return std::nullopt;
}

bool FunctionMapper::GatherFacts(const MethodSource& source, GatheredFacts& gathered) {
    LookupHelper* lookup = Lookup();
    if (lookup == nullptr) return false;

    NameBuffer enclosingBuffer{};
    NameBuffer classBuffer{};
    NameBuffer methodBuffer{};
    bool doNotProfile = false;
    gathered.moduleId = source.moduleId;
    gathered.methodToken = source.methodToken;
    const HRESULT named =
        source.functionId != 0
            ? lookup->GetMethodNameByFunctionId(source.functionId, enclosingBuffer.data(), classBuffer.data(),
                                                methodBuffer.data(), &doNotProfile, &gathered.moduleId,
                                                &gathered.methodToken)
            : lookup->GetMethodNameByToken(source.moduleId, source.methodToken, enclosingBuffer.data(),
                                           classBuffer.data(), methodBuffer.data(), &doNotProfile);
    if (FAILED(named)) return false;
    enclosingBuffer.back() = u'\0';
    classBuffer.back() = u'\0';
    methodBuffer.back() = u'\0';

    FunctionNames& names = gathered.names;
    try {
        const std::string enclosing = W2A(enclosingBuffer.data());
        names.plainClass = W2A(classBuffer.data());
        names.method = W2A(methodBuffer.data());
        names.fullClass = enclosing.empty() ? names.plainClass : enclosing + "+" + names.plainClass;
    } catch (const std::range_error& error) {
        QX_LOG(LogLevel::Warning, "Map", "Function %lu left without hooks: its name is not valid text (%s)",
               static_cast<unsigned long>(source.functionId), error.what());
        return false;
    }

    if (doNotProfile) {
        QX_LOG(LogLevel::Info, LogArea::Unprefixed, "Ignoring %s::%s due to DoNotProfileAttribute",
               names.plainClass.c_str(), names.method.c_str());
        return false;
    }

    // Taken before the attribute definitions suffix the method name: the lists compare the
    // name the metadata gives.
    gathered.qualifiedName = names.plainClass + "::" + names.method;
    gathered.attributeClone = ApplyAttributeDefinitions(source, *lookup, names.fullClass, names.method);
    gathered.interfaceDefinition = FindInterfaceDefinition(source, *lookup, names.method);

    // Everything the rules ask, gathered once; the rules themselves read no mapper state.
    FunctionFacts facts;
    facts.plainClass = names.plainClass;
    facts.fullClass = names.fullClass;
    facts.method = names.method;
    facts.qualifiedName = gathered.qualifiedName;
    facts.attributeMatched = gathered.attributeClone != nullptr;
    facts.interfaceDefinition = gathered.interfaceDefinition != nullptr;
    {
        std::lock_guard<std::mutex> lock(userListsLock);
        facts.userBlacklisted = StartsWithAnyEntry(gathered.qualifiedName, userBlacklist);
        facts.userWhitelisted = StartsWithAnyEntry(gathered.qualifiedName, userWhitelist);
    }
    {
        std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
        facts.monitoredDefinition = FindMonitoredDefinitionLocked(names.plainClass, names.method) != nullptr;
    }

    gathered.decision = DecideTrace(facts);
    if (gathered.decision.system)
        QX_LOG(LogLevel::Info, LogArea::ProcessIdOnly, "Located system function %s : %ld",
               gathered.qualifiedName.c_str(), static_cast<long>(gathered.decision.systemIndex));
    return true;
}

// The re-check and the insertion form one step, so that two threads mapping the same new
// function end with one record and one id; null, with `existing` set, when another came first.
FunctionInfo* FunctionMapper::CreateRecord(const MethodSource& source, const GatheredFacts& gathered,
                                           const FunctionInfo*& existing) {
    const FunctionNames& names = gathered.names;
    const TraceDecision& decision = gathered.decision;
    QX_LOG(LogLevel::Info, LogArea::ProcessIdOnly, "Mapping %s::%s", names.fullClass.c_str(), names.method.c_str());
    std::lock_guard<std::mutex> lock(functionsLock);
    if (source.functionId != 0) {
        auto found = functionsByOriginalId.find(source.functionId);
        if (found != functionsByOriginalId.end()) existing = found->second;
    } else {
        auto found = functionsByModuleMethod.find({source.moduleId, source.methodToken});
        if (found != functionsByModuleMethod.end()) existing = found->second;
    }
    if (existing != nullptr) return nullptr;
    const uint64_t mappedId = decision.system ? decision.systemIndex : NextSequenceNo();
    auto info = std::make_unique<FunctionInfo>(mappedId, source.functionId, names.fullClass, names.method);
    info->SetIsSystemFunction(decision.system);
    info->SetIsEntryPoint(decision.entryPoint);
    info->SetIsWhitelisted(decision.whitelisted);
    info->SetIsMonitored(decision.monitored || decision.interfaceMatch);
    info->SetModuleId(gathered.moduleId);
    info->SetMethodId(gathered.methodToken);
    ownedFunctions.insert(info.get());
    FunctionInfo* record = info.release();
    IndexLocked(record);
    return record;
}

void FunctionMapper::BindDefinitions(FunctionInfo& record, const MethodSource& source, const GatheredFacts& gathered) {
    const TraceDecision& decision = gathered.decision;
    if (!decision.monitored && !decision.interfaceMatch) return;
    const FunctionID functionId = source.functionId;
    const uint64_t mappedId = record.GetFunctionID();
    const std::string& plainClass = gathered.names.plainClass;
    std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
    monitoredFunctionIds.insert(mappedId);
    if (decision.monitored) {
        MonitoredFunctionDefinition* definition = FindMonitoredDefinitionLocked(plainClass, gathered.names.method);
        // A nested class carries its full name in the attribute clone, which the search by the
        // plain name does not find.
        if (definition == nullptr) definition = gathered.attributeClone;
        if (definition != nullptr) BindLocked(definition, mappedId, functionId);
    }
    if (decision.interfaceMatch) {
        std::unique_ptr<MonitoredFunctionDefinition> clone(gathered.interfaceDefinition->Clone());
        clone->SetDefinitionClassName(plainClass);
        clone->SetMappedId(mappedId);
        clone->SetFunctionId(functionId);
        monitoredFunctions.push_back(clone.get());
        MonitoredFunctionDefinition* bound = clone.release();
        if (functionId != 0) definitionsByBoundId.try_emplace(functionId, bound);
        if (mappedId != 0) definitionsByBoundId.try_emplace(mappedId, bound);
    }

    // The hooks take the definitions from the record: no lookup under a lock on every call.
    auto bound = [this](uint64_t id) -> MonitoredFunctionDefinition* {
        if (id == 0) return nullptr;
        auto found = definitionsByBoundId.find(id);
        return found != definitionsByBoundId.end() ? found->second : nullptr;
    };
    // Without a runtime id (a definition mapped when its module loaded) the mapped id serves both.
    MonitoredFunctionDefinition* leave = functionId != 0 ? bound(functionId) : bound(mappedId);
    record.SetDefinitions(leave != nullptr ? leave : bound(mappedId), leave);
}

void FunctionMapper::LogMapped(const FunctionInfo& record, const GatheredFacts& gathered) {
    QX_LOG(LogLevel::Verbose, LogArea::ProcessIdOnly, "Mapping %s::%s from %lu to %lu (%lu:%lu) [%lu:%lu]",
           gathered.names.fullClass.c_str(), gathered.names.method.c_str(),
           static_cast<unsigned long>(record.GetOriginalID()), static_cast<unsigned long>(record.GetFunctionID()),
           static_cast<unsigned long>(record.GetFunctionID()), static_cast<unsigned long>(record.GetOriginalID()),
           static_cast<unsigned long>(record.GetModuleId()), static_cast<unsigned long>(record.GetMethodId()));
}

MonitoredFunctionDefinition* FunctionMapper::ApplyAttributeDefinitions(const MethodSource& source, LookupHelper& lookup,
                                                                       const std::string& fullClass,
                                                                       std::string& method) {
    MonitoredFunctionDefinition* attributeClone = nullptr;
    const std::string namedMethod = method;
    for (MonitoredAttributeDefinition* attribute : attributeFunctions) {
        bool found = false;
        const char16_t* name = attribute->GetAttributeNameText().c_str();
        if (source.functionId != 0)
            lookup.GetCustomAttributeByFunctionId(source.functionId, name, &found);
        else
            lookup.GetCustomAttributeByToken(source.moduleId, source.methodToken, name, &found);
        if (!found) continue;
        // A method the catalogue names keeps what its own entry captures (an async override's
        // `this` paths), the attribute adding what that entry leaves out.
        MonitoredFunctionDefinition* named = nullptr;
        {
            std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
            named = FindMonitoredDefinitionLocked(fullClass, namedMethod);
        }
        MonitoredFunctionDefinition* clone = named != nullptr ? named->Clone() : attribute->Clone();
        if (named != nullptr) clone->AddEntriesOf(*attribute);
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

MonitoredFunctionDefinition* FunctionMapper::FindInterfaceDefinition(const MethodSource& source, LookupHelper& lookup,
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
        const std::string& name = candidate->GetDefinitionClassName();
        const HRESULT hr =
            source.functionId != 0
                ? lookup.GetImplementedInterfacesFunctionId(source.functionId, name, &found)
                : lookup.GetImplementedInterfacesByToken(source.moduleId, source.methodToken, name, &found);
        if (FAILED(hr) || !found) continue;
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
    if (functionId != 0) definitionsByBoundId.try_emplace(functionId, definition);
    if (mappedId != 0) definitionsByBoundId.try_emplace(mappedId, definition);
}

bool FunctionMapper::MayTraceClass(std::string_view plainClass,
                                   const std::function<bool(const std::string&)>& implements, bool attributed) {
    if (attributed || ClassMayBeTraced(plainClass)) return true;
    const std::string scope = std::string(plainClass) + "::";
    // A prefix entry matches some method of the class when one of the two starts the other.
    auto prefixCouldMatch = [&](std::string_view entry) {
        return !entry.empty() && (StartsWith(scope, entry) || StartsWith(entry, scope));
    };
    {
        std::lock_guard<std::mutex> lock(userListsLock);
        for (const std::string& entry : userWhitelist)
            if (prefixCouldMatch(entry)) return true;
    }
    {
        // Every clone made later names a class that the attribute or interface condition admits
        // already, so the classes of the catalogue's own definitions are enough.
        std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
        if (monitoredClassNames.count(std::string(plainClass)) != 0) return true;
    }
    std::vector<std::string> interfaces;
    {
        std::lock_guard<std::mutex> lock(interfaceFunctionsLock);
        for (const MonitoredFunctionDefinition* definition : interfaceFunctions)
            interfaces.push_back(definition->GetDefinitionClassName());
    }
    for (const std::string& name : interfaces)
        if (implements(name)) return true;
    return false;
}

std::vector<std::u16string> FunctionMapper::GetAttributeNames() const {
    std::vector<std::u16string> names;
    for (const MonitoredAttributeDefinition* definition : attributeFunctions)
        names.push_back(definition->GetAttributeNameText());
    return names;
}

void FunctionMapper::AddRuntimeId(FunctionInfo* record, FunctionID functionId) {
    if (record == nullptr || functionId == 0) return;
    std::lock_guard<std::mutex> lock(functionsLock);
    functionsByOriginalId.try_emplace(functionId, record);
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
    if (record->GetOriginalID() != 0) functionsByOriginalId[record->GetOriginalID()] = record;
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
        monitoredClassNames.clear();
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

namespace {

// The definition of that key in the list, made and appended when there is none yet.
template <typename Definition, typename Matches, typename Make>
Definition* FindOrCreate(std::vector<Definition*>& list, Matches&& matches, Make&& make) {
    for (Definition* candidate : list) {
        if (matches(*candidate)) return candidate;
    }
    std::unique_ptr<Definition> created = make();
    list.push_back(created.get());
    return created.release();
}

}  // namespace

void FunctionMapper::AddMonitoredFunction(const std::string& className, const std::string& methodName,
                                          const std::string& argumentName, InspectionType type,
                                          int genericArgumentCount, PropertySpec* spec) {
    MonitoredFunctionDefinition* definition = nullptr;
    {
        std::lock_guard<std::mutex> lock(monitoredFunctionsLock);
        definition = FindOrCreate(
            monitoredFunctions,
            [&](const MonitoredFunctionDefinition& candidate) {
                return candidate.GetDefinitionClassName() == className &&
                       candidate.GetDefinitionMethodName() == methodName;
            },
            [&] { return std::make_unique<MonitoredFunctionDefinition>(className, methodName); });
        monitoredClassNames.insert(className);
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
        definition = FindOrCreate(
            interfaceFunctions,
            [&](const MonitoredFunctionDefinition& candidate) {
                return candidate.GetDefinitionClassName() == interfaceName &&
                       candidate.GetDefinitionMethodName() == methodName;
            },
            [&] { return std::make_unique<MonitoredFunctionDefinition>(interfaceName, methodName); });
    }
    FixupDefinition(definition, argumentName, type, spec);
}

void FunctionMapper::AddMonitoredAttributeFunction(const std::wstring& attributeName, const std::string& argumentName,
                                                   InspectionType type, PropertySpec* spec) {
    MonitoredAttributeDefinition* definition = FindOrCreate(
        attributeFunctions,
        [&](const MonitoredAttributeDefinition& candidate) { return candidate.GetAttributeName() == attributeName; },
        [&] { return std::make_unique<MonitoredAttributeDefinition>(attributeName); });
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
