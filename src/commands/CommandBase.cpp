#include "commands/CommandBase.h"

#include <sys/time.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "commands/CallClock.h"
#include "commands/PayloadWriter.h"

CommandBase::CommandBase(uint64_t firstId, uint64_t secondId, Calls::CallType type)
    : callType(type), processId(firstId), threadId(secondId), timestamp(CurrentTimestamp()) {}

CommandBase::~CommandBase() = default;

int64_t CommandBase::CurrentTimestamp() { return CallClock::NowMicroseconds(); }

uint8_t* CommandBase::GetDefaultPayload() {
    const int16_t length = GetPayloadLength();
    // A length below the header size means a body overflowed the 16-bit field.
    if (length < static_cast<int16_t>(CommandHeaderLength)) throw std::length_error("command length out of range");

    auto* payload = new uint8_t[static_cast<size_t>(length)];
    WriteHeaderAt(payload, length, callType, processId, threadId, timestamp);
    return payload;
}

uint8_t* CommandBase::PayloadFromWrite() {
    const int16_t length = GetPayloadLength();
    if (length < static_cast<int16_t>(CommandHeaderLength)) throw std::length_error("command length out of range");
    std::unique_ptr<uint8_t[]> payload(new uint8_t[static_cast<size_t>(length)]);
    WritePayload(payload.get());
    return payload.release();
}

void CommandBase::WritePayload(uint8_t* target) {
    std::unique_ptr<uint8_t[]> payload(GetPayload());
    std::memcpy(target, payload.get(), static_cast<size_t>(GetPayloadLength()));
}
