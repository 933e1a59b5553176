#include "profiler/ProfilerImpl.h"

// The probe entry points compiled into this library report to the agent's profiler object,
// which this test library does not have: there is none, and the calls go nowhere.
ProfilerImpl* g_ProfilerImpl = nullptr;

void ProfilerImpl::ProbeEnterFunction(ModuleID, uint32_t, int32_t) {}

void ProfilerImpl::ProbeExitFunction(ModuleID, uint32_t, int32_t) {}
