#include "commands/DiscardTraceCommand.h"

DiscardTraceCommand::DiscardTraceCommand(uint64_t pid, uint64_t tid)
    : HeaderOnlyCommand(pid, tid, Calls::DiscardTrace) {}
