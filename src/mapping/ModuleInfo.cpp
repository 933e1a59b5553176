#include "mapping/ModuleInfo.h"

#include <utility>

ModuleInfo::ModuleInfo(ModuleID moduleIdValue, std::string nameValue)
    : moduleId(moduleIdValue), name(std::move(nameValue)) {}
