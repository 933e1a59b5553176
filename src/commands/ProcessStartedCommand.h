#pragma once

#include "commands/HeaderOnlyCommand.h"

// The profiled process has started.
class ProcessStartedCommand : public HeaderOnlyCommand {
public:
    explicit ProcessStartedCommand(uint64_t pid);
};
