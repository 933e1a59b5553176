#pragma once

#include "commands/HeaderOnlyCommand.h"

// Tells the collector to discard the thread's current trace.
class DiscardTraceCommand : public HeaderOnlyCommand {
public:
    DiscardTraceCommand(uint64_t pid, uint64_t tid);
};
