#include "commands/ThreadEndedCommand.h"

ThreadEndedCommand::ThreadEndedCommand(uint64_t pid, uint64_t tid) : HeaderOnlyCommand(pid, tid, Calls::ThreadEnded) {}
