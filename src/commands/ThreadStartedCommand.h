#pragma once

#include "commands/HeaderOnlyCommand.h"

// A managed thread got its operating-system thread (the thread id is the OS id).
class ThreadStartedCommand : public HeaderOnlyCommand {
public:
    ThreadStartedCommand(uint64_t pid, uint64_t tid);
};
