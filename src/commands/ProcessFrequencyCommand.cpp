#include "commands/ProcessFrequencyCommand.h"

#include "commands/PayloadWriter.h"

ProcessFrequencyCommand::ProcessFrequencyCommand(uint64_t pid, uint64_t ticksPerSecond)
    : CommandBase(pid, 0, Calls::ProcessFrequency), frequency(ticksPerSecond) {}

uint8_t* ProcessFrequencyCommand::GetPayload() { return PayloadFromWrite(); }

// Written in place: a hook thread sends it at every entry point, into its buffer.
void ProcessFrequencyCommand::WritePayload(uint8_t* target) {
    WriteHeaderAt(target, 27, callType, processId, threadId, timestamp);
    PayloadWriter writer(target, 27, CommandHeaderLength);
    // Only the low half travels; the upper four bytes are always zero on the wire.
    writer.WriteU32(static_cast<uint32_t>(frequency));
    writer.WriteU32(0);
}
