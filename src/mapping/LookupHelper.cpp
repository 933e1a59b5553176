#include "mapping/LookupHelper.h"

LookupHelper* g_Lookup = nullptr;
