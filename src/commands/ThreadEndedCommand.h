#pragma once

#include "commands/HeaderOnlyCommand.h"

// A managed thread has ended.
class ThreadEndedCommand : public HeaderOnlyCommand {
public:
    ThreadEndedCommand(uint64_t pid, uint64_t tid);
};
