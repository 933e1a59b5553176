#include "commands/ProcessStartedCommand.h"

ProcessStartedCommand::ProcessStartedCommand(uint64_t pid) : HeaderOnlyCommand(pid, 0, Calls::ProcessStarted) {}
