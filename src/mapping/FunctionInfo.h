#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/MetaDataTypes.h"
#include "platform/ProfilerTypes.h"

// The record of one traced function. Completed by the mapper before it is published, then
// only read (by the hooks, without a lock).
class MonitoredFunctionDefinition;

class FunctionInfo {
public:
    FunctionInfo(uint64_t mappedId, FunctionID runtimeId, std::string classText, std::string methodText);
    virtual ~FunctionInfo() = default;

    FunctionInfo(const FunctionInfo&) = delete;
    FunctionInfo& operator=(const FunctionInfo&) = delete;

    // The mapped id: what the runtime hands back to the hooks and what every command carries.
    uint64_t GetFunctionID() const { return functionId; }
    FunctionID GetOriginalID() const { return originalId; }
    const std::string& GetFunctionClassName() const { return className; }
    const std::string& GetFunctionMethodName() const { return methodName; }
    // Full class name, "::", method name: what live blacklist entries are compared with.
    const std::string& GetName() const { return name; }

    ModuleID GetModuleId() const { return moduleId; }
    void SetModuleId(ModuleID value) { moduleId = value; }
    mdMethodDef GetMethodId() const { return methodId; }
    void SetMethodId(mdMethodDef value) { methodId = value; }
    bool GetIsEntryPoint() const { return isEntryPoint; }
    void SetIsEntryPoint(bool value) { isEntryPoint = value; }
    bool GetIsSystemFunction() const { return isSystemFunction; }
    void SetIsSystemFunction(bool value) { isSystemFunction = value; }
    // Whether values of the function are captured; known when the record is made, so the hooks
    // need no lookup under the mapper's lock for it.
    bool GetIsMonitored() const { return isMonitored; }
    void SetIsMonitored(bool value) { isMonitored = value; }
    bool GetWhitelisted() const { return isWhitelisted; }
    void SetIsWhitelisted(bool value) { isWhitelisted = value; }

    // The definitions that capture values of this function, found when it is mapped: the enter
    // hook's (bound to the runtime id, else to the mapped id) and the leave hook's (runtime id only).
    MonitoredFunctionDefinition* GetEnterDefinition() const { return enterDefinition; }
    MonitoredFunctionDefinition* GetLeaveDefinition() const { return leaveDefinition; }
    void SetDefinitions(MonitoredFunctionDefinition* enter, MonitoredFunctionDefinition* leave) {
        enterDefinition = enter;
        leaveDefinition = leave;
    }

    // Whether the record was found in the live blacklist, as known for one version of that list:
    // (version + 1) << 1 | listed, 0 when not known. Written by any hook, without a lock.
    std::atomic<uint64_t>& BlacklistState() { return blacklistState; }

private:
    uint64_t functionId;
    FunctionID originalId;
    std::string className;
    std::string methodName;
    std::string name;
    ModuleID moduleId = 0;
    mdMethodDef methodId = 0;
    bool isEntryPoint = false;
    bool isSystemFunction = false;
    bool isMonitored = false;
    bool isWhitelisted = false;
    MonitoredFunctionDefinition* enterDefinition = nullptr;
    MonitoredFunctionDefinition* leaveDefinition = nullptr;
    std::atomic<uint64_t> blacklistState{0};
};
