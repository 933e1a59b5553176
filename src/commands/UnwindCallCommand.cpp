#include "commands/UnwindCallCommand.h"

#include <memory>

#include "commands/PayloadWriter.h"

UnwindCallCommand::UnwindCallCommand(uint64_t pid, uint64_t tid, uint64_t function)
    : CommandBase(pid, tid, Calls::UnwindCall), functionId(function) {}

uint8_t* UnwindCallCommand::GetPayload() {
    std::unique_ptr<uint8_t[]> payload(GetDefaultPayload());
    PayloadWriter writer(payload.get(), Length, CommandHeaderLength);
    writer.WriteU32(static_cast<uint32_t>(functionId));
    return payload.release();
}
