#pragma once

#include "commands/HeaderOnlyCommand.h"

// The profiled process is ending.
class ProcessEndedCommand : public HeaderOnlyCommand {
public:
    explicit ProcessEndedCommand(uint64_t pid);
};
