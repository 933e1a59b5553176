#include "commands/ExceptionRaisedCommand.h"

#include "commands/PayloadWriter.h"

ExceptionRaisedCommand::ExceptionRaisedCommand(uint64_t pid, uint64_t tid, uint64_t exceptionObject)
    : CommandBase(pid, tid, Calls::ExceptionRaised), exceptionObjectId(exceptionObject) {}

uint8_t* ExceptionRaisedCommand::GetPayload() { return PayloadFromWrite(); }

// Written in place: it is sent from the hook thread, into its buffer.
void ExceptionRaisedCommand::WritePayload(uint8_t* target) {
    WriteHeaderAt(target, static_cast<int16_t>(Length), callType, processId, threadId, timestamp);
    PayloadWriter writer(target, Length, CommandHeaderLength);
    writer.WriteU64(exceptionObjectId);
}
