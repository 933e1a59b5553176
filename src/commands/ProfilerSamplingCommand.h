#pragma once

#include "commands/HeaderOnlyCommand.h"

// Sampling marker for a thread.
class ProfilerSamplingCommand : public HeaderOnlyCommand {
public:
    ProfilerSamplingCommand(uint64_t pid, uint64_t tid);
};
