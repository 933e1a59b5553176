#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/ValueRecord.h"

namespace QuorixCollect {

// A command after decoding; only the fields of its type are meaningful.
struct DecodedCommand {
    uint16_t length = 0;
    uint8_t type = 0;
    uint32_t pid = 0;
    uint32_t tid = 0;
    int64_t ts = 0;

    // BeginCall, EndCall, MethodInfo, UnwindCall
    uint32_t functionId = 0;
    // BeginCall
    uint64_t instanceId = 0;
    std::vector<ValueRecord> args;
    // EndCall
    bool tailCall = false;
    bool hasReturnValue = false;
    ValueRecord returnValue;
    // MethodInfo
    std::string className;
    std::string methodName;
    // ExceptionRaised, ExceptionDetails
    uint64_t exceptionId = 0;
    // ProcessFrequency
    uint64_t frequency = 0;
    // ProcessType
    std::string runtime;
    std::string host;
    std::string apiKey;
    // ProfilerVersion
    std::string version;
    // DeliveryStatistics: messages the agent handed over, and those it gave up by reason
    struct Delivery {
        bool final = false;
        uint64_t sent = 0;
        uint64_t queueFull = 0;
        uint64_t sendFailed = 0;
        uint64_t pipeFull = 0;
    } delivery;
    // SqlInformation (texts[0..3]), HttpRequestInformation (texts[0..1]) and ExceptionDetails
    // (texts[0] the exception's type, texts[1] its message, shortValue its flags)
    std::string texts[4];
    uint16_t shortValue = 0;
    uint64_t longValue = 0;

    // Value records inside the command that could not be decoded (the command itself is sound).
    uint32_t badValueRecords = 0;

    // Back to the state of a fresh object, keeping the capacity of its strings and lists so
    // that decoding into the same object again does not allocate.
    void Reset();
    // Set when a full decode may have left fields behind that Reset must clear.
    bool dirty = false;
};

enum class DecodeStatus {
    Ok,
    Truncated,       // fewer bytes than a header, or than the length field announces
    BadLength,       // the length field is below the header size (or negative)
    LengthMismatch,  // more bytes than the length field announces
    UnknownType,
    BadBody,  // the body does not have the layout of its type
};

const char* DecodeStatusText(DecodeStatus status);

// Bits of an ExceptionDetails command's flags (its shortValue once decoded).
enum ExceptionDetailsFlags : uint16_t {
    ExceptionMessageNull = 1,  // the exception has no message (texts[1] is empty)
    ExceptionMessageCut = 2,   // texts[1] is the start of the message
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::Ok;
    std::string detail;  // for BadBody: what did not fit
};

// Decodes exactly one command occupying all of `size` bytes (one datagram, or one message that
// the stream reassembler cut out).
DecodeResult DecodeCommand(const uint8_t* data, size_t size, DecodedCommand& out);

// The same for the two commands that make up nearly all traffic, a begin-call without
// arguments and an end-call without return value; false (and `out` untouched) for anything
// else, which then takes DecodeCommand.
bool DecodePlainCall(const uint8_t* data, size_t size, DecodedCommand& out);

}  // namespace QuorixCollect
