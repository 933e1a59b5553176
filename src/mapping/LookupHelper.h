#pragma once

#include "platform/Export.h"

// Reads names and attributes of functions through the runtime's metadata interfaces.
class LookupHelper {
public:
    LookupHelper() = default;
};

extern QX_EXPORT LookupHelper* g_Lookup;
