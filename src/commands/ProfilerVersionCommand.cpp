#include "commands/ProfilerVersionCommand.h"

#include <cstring>
#include <memory>

#include "commands/PayloadWriter.h"
#include "environment/Logger.h"

ProfilerVersionCommand::ProfilerVersionCommand(uint64_t pid)
    : CommandBase(pid, 0, Calls::ProfilerVersion),
      version(ProfilerVersionText),
      versionLength(static_cast<int16_t>(std::strlen(ProfilerVersionText))) {}

uint8_t* ProfilerVersionCommand::GetPayload() {
    std::unique_ptr<uint8_t[]> payload(GetDefaultPayload());
    PayloadWriter writer(payload.get(), static_cast<size_t>(GetPayloadLength()), CommandHeaderLength);
    writer.WriteI16(versionLength);
    writer.WriteBytes(version, static_cast<size_t>(versionLength));
    return payload.release();
}
