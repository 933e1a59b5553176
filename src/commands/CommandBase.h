#pragma once

#include <cstdint>
#include <cstring>

#include "protocol/WireProtocol.h"

namespace Calls {
// Command type numbers (one byte on the wire), as the protocol header declares them.
enum CallType : int32_t {
    BeginCall = WireProtocol::Number(WireProtocol::CommandType::BeginCall),
    EndCall = WireProtocol::Number(WireProtocol::CommandType::EndCall),
    MethodInfo = WireProtocol::Number(WireProtocol::CommandType::MethodInfo),
    ExceptionRaised = WireProtocol::Number(WireProtocol::CommandType::ExceptionRaised),
    UnwindCall = WireProtocol::Number(WireProtocol::CommandType::UnwindCall),
    ThreadStarted = WireProtocol::Number(WireProtocol::CommandType::ThreadStarted),
    ThreadEnded = WireProtocol::Number(WireProtocol::CommandType::ThreadEnded),
    ProcessStarted = WireProtocol::Number(WireProtocol::CommandType::ProcessStarted),
    ProcessEnded = WireProtocol::Number(WireProtocol::CommandType::ProcessEnded),
    ProcessFrequency = WireProtocol::Number(WireProtocol::CommandType::ProcessFrequency),
    ProcessType = WireProtocol::Number(WireProtocol::CommandType::ProcessType),
    DiscardTrace = WireProtocol::Number(WireProtocol::CommandType::DiscardTrace),
    ProfilerSampling = WireProtocol::Number(WireProtocol::CommandType::ProfilerSampling),
    DeliveryStatistics = WireProtocol::Number(WireProtocol::CommandType::DeliveryStatistics),
    ExceptionDetails = WireProtocol::Number(WireProtocol::CommandType::ExceptionDetails),
    SqlInformation = WireProtocol::Number(WireProtocol::CommandType::SqlInformation),
    HttpRequestInformation = WireProtocol::Number(WireProtocol::CommandType::HttpRequestInformation),
    ProfilerVersion = WireProtocol::Number(WireProtocol::CommandType::ProfilerVersion),
};
}  // namespace Calls

// A message for the collector: the 19-byte header (length, type, process id, thread id,
// time stamp) followed by a body of the derived class.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "headers are written in place, little-endian");

class CommandBase {
public:
    CommandBase(uint64_t firstId, uint64_t secondId, Calls::CallType type);
    virtual ~CommandBase();

    CommandBase(const CommandBase&) = delete;
    CommandBase& operator=(const CommandBase&) = delete;

    // A new[] array of exactly GetPayloadLength bytes, owned by the caller.
    virtual uint8_t* GetPayload() = 0;
    // Total length, header included; always within 19..32767 for a well-formed command.
    virtual int16_t GetPayloadLength() = 0;

    // Writes exactly GetPayloadLength bytes at `target`: what GetPayload returns, without the
    // allocation (commands on the call path write straight into their thread's buffer).
    virtual void WritePayload(uint8_t* target);

    // Allocates the payload and writes the header; the body is left to the caller.
    uint8_t* GetDefaultPayload();
    // GetPayload of a command that writes itself with WritePayload.
    uint8_t* PayloadFromWrite();

    // The 19-byte header, little-endian: length, type, process id, thread id (low 32 bits each), time.
    static void WriteHeaderAt(uint8_t* target, int16_t length, Calls::CallType type, uint64_t pid, uint64_t tid,
                              int64_t timestamp) {
        const auto size = static_cast<uint16_t>(length);
        const auto process = static_cast<uint32_t>(pid);
        const auto thread = static_cast<uint32_t>(tid);
        std::memcpy(target + WireProtocol::LengthOffset, &size, 2);
        target[WireProtocol::TypeOffset] = static_cast<uint8_t>(type);
        std::memcpy(target + WireProtocol::PidOffset, &process, 4);
        std::memcpy(target + WireProtocol::TidOffset, &thread, 4);
        std::memcpy(target + WireProtocol::TimestampOffset, &timestamp, 8);
    }

    Calls::CallType GetCallType() const { return callType; }
    uint64_t GetProcessId() const { return processId; }
    uint64_t GetThreadId() const { return threadId; }
    int64_t GetTimestamp() const { return timestamp; }

    // Microseconds since the Unix epoch (see CallClock).
    static int64_t CurrentTimestamp();

protected:
    Calls::CallType callType;
    uint64_t processId;
    uint64_t threadId;
    int64_t timestamp;
};
