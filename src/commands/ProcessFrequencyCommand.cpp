#include "commands/ProcessFrequencyCommand.h"

#include <memory>

#include "commands/PayloadWriter.h"

ProcessFrequencyCommand::ProcessFrequencyCommand(uint64_t pid, uint64_t ticksPerSecond)
    : CommandBase(pid, 0, Calls::ProcessFrequency), frequency(ticksPerSecond) {}

uint8_t* ProcessFrequencyCommand::GetPayload() {
    std::unique_ptr<uint8_t[]> payload(GetDefaultPayload());
    PayloadWriter writer(payload.get(), 27, CommandHeaderLength);
    // Only the low half travels; the upper four bytes are always zero on the wire.
    writer.WriteU32(static_cast<uint32_t>(frequency));
    writer.WriteU32(0);
    return payload.release();
}
