#include "commands/ProcessEndedCommand.h"

ProcessEndedCommand::ProcessEndedCommand(uint64_t pid) : HeaderOnlyCommand(pid, 0, Calls::ProcessEnded) {}
