#pragma once

#include <cstddef>
#include <cstdint>

namespace QuorixCollect {

// Every command starts with: int16 total length, u8 type, u32 pid, u32 tid, i64 time stamp (µs).
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
    DeliveryStatistics = 20,
    SqlInformation = 100,
    HttpRequestInformation = 101,
    ProfilerVersion = 104,
};

// Name of a command type, or nullptr when the number is not part of the protocol.
const char* CommandTypeName(uint8_t type);

// Inline because the stream framer asks for every command.
inline bool IsKnownCommandType(uint8_t type) {
    // Types 1-5, 7-14 and 20 as bits, then the three information commands.
    if (type < 64) {
        return ((0x107FBEull >> type) & 1) != 0;
    }
    return type == 100 || type == 101 || type == 104;
}

// All known type numbers in ascending order (for stable summaries).
const uint8_t* KnownCommandTypes(size_t& count);

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

// Short type text ("int", "string", ...); "unknown" outside the table.
const char* ValueTypeName(uint8_t type);

// Fixed payload width of a scalar value type, 0 for everything else.
size_t ScalarWidth(uint8_t type);

}  // namespace QuorixCollect
