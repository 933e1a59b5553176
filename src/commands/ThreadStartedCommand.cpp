#include "commands/ThreadStartedCommand.h"

ThreadStartedCommand::ThreadStartedCommand(uint64_t pid, uint64_t tid)
    : HeaderOnlyCommand(pid, tid, Calls::ThreadStarted) {}
