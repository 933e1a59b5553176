#pragma once

#include <cstdint>

namespace Calls {
// Command type numbers; one byte on the wire.
enum CallType : int32_t {
    BeginCall = 1,
    EndCall = 2,
    MethodInfo = 3,
    ExceptionRaised = 4,
    UnwindCall = 5,
    ThreadStarted = 7,
    ThreadEnded = 8,
    ProcessStarted = 9,
    ProcessEnded = 10,
    ProcessFrequency = 11,
    ProcessType = 12,
    DiscardTrace = 13,
    ProfilerSampling = 14,
    SqlInformation = 100,
    HttpRequestInformation = 101,
    ProfilerVersion = 104,
};
}  // namespace Calls

// A message for the collector: the 19-byte header (length, type, process id, thread id,
// time stamp) followed by a body of the derived class.
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

    // Allocates the payload and writes the header; the body is left to the caller.
    uint8_t* GetDefaultPayload();

    Calls::CallType GetCallType() const { return callType; }
    uint64_t GetProcessId() const { return processId; }
    uint64_t GetThreadId() const { return threadId; }
    int64_t GetTimestamp() const { return timestamp; }

    // Microseconds since the Unix epoch, from the wall clock.
    static int64_t CurrentTimestamp();

protected:
    Calls::CallType callType;
    uint64_t processId;
    uint64_t threadId;
    int64_t timestamp;
};
