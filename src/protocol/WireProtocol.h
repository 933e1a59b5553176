#pragma once

// The numbers of the wire protocol, for the agent that writes commands and the collector that
// reads them: the header's layout, the command types and the types of captured values. Header
// only, with nothing but the standard library, so that both sides build it as they are.

#include <cstddef>
#include <cstdint>

namespace WireProtocol {

// Every command starts with: int16 total length, u8 type, u32 pid, u32 tid, i64 time stamp (µs),
// all little-endian.
constexpr size_t LengthOffset = 0;
constexpr size_t TypeOffset = 2;
constexpr size_t PidOffset = 3;
constexpr size_t TidOffset = 7;
constexpr size_t TimestampOffset = 11;
constexpr size_t HeaderSize = 19;
// The length field is signed 16-bit, so nothing longer can be framed.
constexpr size_t MaxCommandLength = 32767;

enum class CommandType : uint8_t {
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
    // Sent only when the user asks for it: collectors that do not know it would stumble on it.
    DeliveryStatistics = 20,
    // The same for what a thrown exception says about itself, after its ExceptionRaised.
    ExceptionDetails = 21,
    SqlInformation = 100,
    HttpRequestInformation = 101,
    ProfilerVersion = 104,
};

// Kinds of captured values inside call commands.
enum class ValueType : uint8_t {
    Unknown = 0,
    Void = 1,
    Boolean = 2,
    Byte = 3,
    Int16 = 4,
    UInt16 = 5,
    Int32 = 6,
    UInt32 = 7,
    Int64 = 8,
    UInt64 = 9,
    Single = 10,
    Double = 11,
    String = 12,
    Struct = 13,
    Object = 14,
    Array = 15,
    EmptyString = 16,
    NullString = 17,
    NullObject = 18,
    LongString = 19,
};

constexpr int32_t Number(CommandType type) { return static_cast<int32_t>(type); }
constexpr int32_t Number(ValueType type) { return static_cast<int32_t>(type); }

}  // namespace WireProtocol
