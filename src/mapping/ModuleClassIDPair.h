#pragma once

#include "platform/ProfilerTypes.h"

// The class resolved for one step of a capture path, cached on the step. Keyed by the module
// that asked, because the same type name can resolve to different classes per module.
struct ModuleClassIDPair {
    ModuleClassIDPair(ModuleID module, ClassID klass, ModuleID requestingModule)
        : classId(klass), moduleId(module), requestingModuleId(requestingModule) {}

    ClassID classId;
    ModuleID moduleId;
    ModuleID requestingModuleId;
};
