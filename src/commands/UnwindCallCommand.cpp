#include "commands/UnwindCallCommand.h"

#include "commands/PayloadWriter.h"

UnwindCallCommand::UnwindCallCommand(uint64_t pid, uint64_t tid, uint64_t function)
    : CommandBase(pid, tid, Calls::UnwindCall), functionId(function) {}

uint8_t* UnwindCallCommand::GetPayload() { return PayloadFromWrite(); }

// Written in place: it is sent from the hook thread, into its buffer.
void UnwindCallCommand::WritePayload(uint8_t* target) {
    WriteHeaderAt(target, static_cast<int16_t>(Length), callType, processId, threadId, timestamp);
    PayloadWriter writer(target, Length, CommandHeaderLength);
    writer.WriteU32(static_cast<uint32_t>(functionId));
}
