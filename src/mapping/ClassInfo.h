#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/MetaDataTypes.h"
#include "platform/ProfilerTypes.h"

// Record of a loaded class. Nothing registers classes yet, so the class lookups answer null.
class ClassInfo {
public:
    ClassInfo(ClassID klass, ModuleID module, mdTypeDef token, std::string className)
        : classId(klass), moduleId(module), typeDef(token), name(std::move(className)) {}
    virtual ~ClassInfo() = default;

    ClassID GetClassId() const { return classId; }
    ModuleID GetModuleId() const { return moduleId; }
    mdTypeDef GetTypeDef() const { return typeDef; }
    const std::string& GetName() const { return name; }

private:
    ClassID classId;
    ModuleID moduleId;
    mdTypeDef typeDef;
    std::string name;
};
