#pragma once

#include <string>

#include "platform/ProfilerTypes.h"

// What the lookups remember about a loaded module.
class ModuleInfo {
public:
    ModuleInfo(ModuleID moduleId, std::string name);
    virtual ~ModuleInfo() = default;

    ModuleID GetModuleId() const { return moduleId; }
    const std::string& GetName() const { return name; }

private:
    ModuleID moduleId;
    std::string name;
};
