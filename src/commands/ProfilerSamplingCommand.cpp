#include "commands/ProfilerSamplingCommand.h"

ProfilerSamplingCommand::ProfilerSamplingCommand(uint64_t pid, uint64_t tid)
    : HeaderOnlyCommand(pid, tid, Calls::ProfilerSampling) {}
