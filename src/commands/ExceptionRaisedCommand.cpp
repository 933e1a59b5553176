#include "commands/ExceptionRaisedCommand.h"

#include <memory>

#include "commands/PayloadWriter.h"

ExceptionRaisedCommand::ExceptionRaisedCommand(uint64_t pid, uint64_t tid, uint64_t exceptionObject)
    : CommandBase(pid, tid, Calls::ExceptionRaised), exceptionObjectId(exceptionObject) {}

uint8_t* ExceptionRaisedCommand::GetPayload() {
    std::unique_ptr<uint8_t[]> payload(GetDefaultPayload());
    PayloadWriter writer(payload.get(), Length, CommandHeaderLength);
    writer.WriteU64(exceptionObjectId);
    return payload.release();
}
