#include "commands/CommandBase.h"

#include <sys/time.h>

#include <memory>
#include <stdexcept>

#include "commands/PayloadWriter.h"

CommandBase::CommandBase(uint64_t firstId, uint64_t secondId, Calls::CallType type)
    : callType(type), processId(firstId), threadId(secondId), timestamp(CurrentTimestamp()) {}

CommandBase::~CommandBase() = default;

int64_t CommandBase::CurrentTimestamp() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(static_cast<double>(now.tv_sec) * 1000.0 * 1000.0) + now.tv_usec;
}

uint8_t* CommandBase::GetDefaultPayload() {
    const int16_t length = GetPayloadLength();
    // A length below the header size means a body overflowed the 16-bit field.
    if (length < static_cast<int16_t>(CommandHeaderLength)) throw std::length_error("command length out of range");

    std::unique_ptr<uint8_t[]> payload(new uint8_t[static_cast<size_t>(length)]);
    PayloadWriter writer(payload.get(), static_cast<size_t>(length));
    writer.WriteI16(length);
    writer.WriteU8(static_cast<uint8_t>(callType));
    writer.WriteU32(static_cast<uint32_t>(processId));
    writer.WriteU32(static_cast<uint32_t>(threadId));
    writer.WriteI64(timestamp);
    return payload.release();
}
