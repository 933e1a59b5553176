#include "wire/CommandDecoder.h"

#include <cstring>

#include "wire/ByteReader.h"
#include "text/TextEncoding.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

DecodeResult Bad(const char* what) { return DecodeResult{DecodeStatus::BadBody, what}; }

bool ReadText16(ByteReader& r, std::string& out) {
    int16_t n = 0;
    const uint8_t* p = nullptr;
    if (!r.ReadI16(n) || n < 0 || !r.ReadBytes(static_cast<size_t>(n), p)) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
    return true;
}

bool ReadText8(ByteReader& r, std::string& out) {
    uint8_t n = 0;
    const uint8_t* p = nullptr;
    if (!r.ReadU8(n) || !r.ReadBytes(n, p)) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(p), n);
    return true;
}

// SQL text block: marker 1, u16 byte length, UTF-16LE units.
bool ReadSqlBlock(ByteReader& r, std::string& out) {
    uint8_t marker = 0;
    uint16_t n = 0;
    const uint8_t* p = nullptr;
    if (!r.ReadU8(marker) || marker != 1 || !r.ReadU16(n) || (n & 1) != 0 || !r.ReadBytes(n, p)) {
        return false;
    }
    out = Utf16LeToUtf8(p, n);
    return true;
}

DecodeResult DecodeBeginCall(ByteReader& r, DecodedCommand& c) {
    uint8_t count = 0;
    if (!r.ReadU32(c.functionId) || !r.ReadU64(c.instanceId) || !r.ReadU8(count)) {
        return Bad("begin-call body shorter than 13 bytes");
    }
    while (r.Remaining() > 0) {
        ValueRecord arg;
        if (DecodeValueRecord(r, arg, c.badValueRecords) == RecordStatus::DoesNotFit) {
            return Bad("argument record runs past the command");
        }
        c.args.push_back(std::move(arg));
    }
    if ((c.args.size() & 0xFF) != count) {
        return Bad("argument count does not match the records present");
    }
    return {};
}

DecodeResult DecodeEndCall(ByteReader& r, DecodedCommand& c) {
    uint8_t flag = 0;
    if (!r.ReadU32(c.functionId) || !r.ReadU8(flag) || flag > 1) {
        return Bad("end-call body malformed");
    }
    c.tailCall = flag == 1;
    if (r.Remaining() == 2 && r.Current()[0] == 0 && r.Current()[1] == 0) {
        r.Skip(2);
        return {};
    }
    c.hasReturnValue = true;
    if (DecodeValueRecord(r, c.returnValue, c.badValueRecords) == RecordStatus::DoesNotFit) {
        return Bad("return value record does not fit");
    }
    return {};
}

DecodeResult DecodeDelivery(ByteReader& r, DecodedCommand& c) {
    uint8_t flags = 0;
    if (!r.ReadU8(flags) || !r.ReadU64(c.delivery.sent) || !r.ReadU64(c.delivery.queueFull) ||
        !r.ReadU64(c.delivery.sendFailed) || !r.ReadU64(c.delivery.pipeFull)) {
        return Bad("delivery statistics shorter than 33 bytes");
    }
    c.delivery.final = (flags & 1) != 0;
    return {};
}

DecodeResult DecodeSqlInformation(ByteReader& r, DecodedCommand& c) {
    for (auto& text : c.texts) {
        if (!ReadSqlBlock(r, text)) {
            return Bad("SQL text block malformed");
        }
    }
    if (!r.ReadU64(c.longValue)) {
        return Bad("SQL number does not fit");
    }
    return {};
}

// u16 byte count, then UTF-8 bytes (checked where they are shown).
bool ReadUtf8Block(ByteReader& r, std::string& out) {
    uint16_t n = 0;
    const uint8_t* p = nullptr;
    if (!r.ReadU16(n) || !r.ReadBytes(n, p)) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(p), n);
    return true;
}

DecodeResult DecodeExceptionDetails(ByteReader& r, DecodedCommand& c) {
    uint8_t flags = 0;
    if (!r.ReadU64(c.exceptionId) || !ReadUtf8Block(r, c.texts[0]) || !ReadUtf8Block(r, c.texts[1]) ||
        !r.ReadU8(flags)) {
        return Bad("exception details do not fit");
    }
    // Unknown bits are kept: a later agent may say more.
    c.shortValue = flags;
    if ((flags & ExceptionMessageNull) != 0 && !c.texts[1].empty()) {
        return Bad("exception details carry a message said to be null");
    }
    return {};
}

DecodeResult DecodeBody(ByteReader& r, DecodedCommand& c) {
    switch (static_cast<CommandType>(c.type)) {
        case CommandType::BeginCall:
            return DecodeBeginCall(r, c);
        case CommandType::EndCall:
            return DecodeEndCall(r, c);
        case CommandType::MethodInfo:
            if (!r.ReadU32(c.functionId) || !ReadText16(r, c.className) || !ReadText16(r, c.methodName)) {
                return Bad("method-info names do not fit");
            }
            return {};
        case CommandType::ExceptionRaised:
            if (!r.ReadU64(c.exceptionId)) {
                return Bad("exception body shorter than 8 bytes");
            }
            return {};
        case CommandType::UnwindCall:
            if (!r.ReadU32(c.functionId)) {
                return Bad("unwind body shorter than 4 bytes");
            }
            return {};
        case CommandType::ThreadStarted:
        case CommandType::ThreadEnded:
        case CommandType::ProcessStarted:
        case CommandType::ProcessEnded:
        case CommandType::DiscardTrace:
        case CommandType::ProfilerSampling:
            return {};
        case CommandType::DeliveryStatistics:
            return DecodeDelivery(r, c);
        case CommandType::ExceptionDetails:
            return DecodeExceptionDetails(r, c);
        case CommandType::ProcessFrequency:
            if (!r.ReadU64(c.frequency)) {
                return Bad("frequency body shorter than 8 bytes");
            }
            return {};
        case CommandType::ProcessType:
            if (!ReadText16(r, c.runtime) || !ReadText16(r, c.host)) {
                return Bad("process-type texts do not fit");
            }
            // The API key is only present when the agent has one.
            if (r.Remaining() > 0 && !ReadText16(r, c.apiKey)) {
                return Bad("process-type API key does not fit");
            }
            return {};
        case CommandType::ProfilerVersion:
            if (!ReadText16(r, c.version)) {
                return Bad("version text does not fit");
            }
            return {};
        case CommandType::SqlInformation:
            return DecodeSqlInformation(r, c);
        case CommandType::HttpRequestInformation:
            if (!ReadText16(r, c.texts[0]) || !ReadText8(r, c.texts[1]) || !r.ReadU16(c.shortValue) ||
                !r.ReadU64(c.longValue)) {
                return Bad("HTTP request fields do not fit");
            }
            return {};
    }
    return DecodeResult{DecodeStatus::UnknownType, {}};
}

}  // namespace

const char* DecodeStatusText(DecodeStatus status) {
    switch (status) {
        case DecodeStatus::Ok:
            return "ok";
        case DecodeStatus::Truncated:
            return "truncated";
        case DecodeStatus::BadLength:
            return "bad length field";
        case DecodeStatus::LengthMismatch:
            return "length mismatch";
        case DecodeStatus::UnknownType:
            return "unknown type";
        case DecodeStatus::BadBody:
            return "bad body";
    }
    return "?";
}

void DecodedCommand::Reset() {
    length = 0;
    type = 0;
    pid = 0;
    tid = 0;
    ts = 0;
    functionId = 0;
    instanceId = 0;
    args.clear();
    tailCall = false;
    if (hasReturnValue) {
        returnValue = ValueRecord{};
        hasReturnValue = false;
    }
    className.clear();
    methodName.clear();
    exceptionId = 0;
    frequency = 0;
    delivery = Delivery{};
    runtime.clear();
    host.clear();
    apiKey.clear();
    version.clear();
    for (auto& t : texts) {
        t.clear();
    }
    shortValue = 0;
    longValue = 0;
    badValueRecords = 0;
    dirty = false;
}

namespace {

template <typename T>
T LoadLe(const uint8_t* p) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire is little-endian, so is this host");
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

constexpr size_t PlainBeginSize = HeaderSize + 4 + 8 + 1;
constexpr size_t PlainEndSize = HeaderSize + 4 + 1 + 2;

}  // namespace

bool DecodePlainCall(const uint8_t* data, size_t size, DecodedCommand& out) {
    if (size == PlainBeginSize) {
        if (data[0] != PlainBeginSize || data[1] != 0 || data[2] != static_cast<uint8_t>(CommandType::BeginCall) ||
            data[31] != 0) {
            return false;
        }
        if (out.dirty) {
            out.Reset();
        }
        out.instanceId = LoadLe<uint64_t>(data + 23);
        out.tailCall = false;
    } else if (size == PlainEndSize) {
        if (data[0] != PlainEndSize || data[1] != 0 || data[2] != static_cast<uint8_t>(CommandType::EndCall) ||
            data[23] > 1 || data[24] != 0 || data[25] != 0) {
            return false;
        }
        if (out.dirty) {
            out.Reset();
        }
        out.instanceId = 0;
        out.tailCall = data[23] == 1;
    } else {
        return false;
    }
    out.length = static_cast<uint16_t>(size);
    out.type = data[WireProtocol::TypeOffset];
    out.pid = LoadLe<uint32_t>(data + WireProtocol::PidOffset);
    out.tid = LoadLe<uint32_t>(data + WireProtocol::TidOffset);
    out.ts = LoadLe<int64_t>(data + WireProtocol::TimestampOffset);
    out.functionId = LoadLe<uint32_t>(data + HeaderSize);
    return true;
}

DecodeResult DecodeCommand(const uint8_t* data, size_t size, DecodedCommand& out) {
    out.Reset();
    out.dirty = true;
    ByteReader header(data, size);
    int16_t length = 0;
    if (!header.ReadI16(length) || !header.ReadU8(out.type) || !header.ReadU32(out.pid) || !header.ReadU32(out.tid) ||
        !header.ReadI64(out.ts)) {
        return DecodeResult{DecodeStatus::Truncated, "shorter than the 19-byte header"};
    }
    if (length < static_cast<int16_t>(HeaderSize)) {
        return DecodeResult{DecodeStatus::BadLength, "length field " + std::to_string(length)};
    }
    out.length = static_cast<uint16_t>(length);
    if (static_cast<size_t>(length) > size) {
        return DecodeResult{DecodeStatus::Truncated, std::to_string(size) + " of " + std::to_string(length) + " bytes"};
    }
    if (static_cast<size_t>(length) < size) {
        return DecodeResult{DecodeStatus::LengthMismatch,
                            std::to_string(size) + " bytes for length field " + std::to_string(length)};
    }
    if (!IsKnownCommandType(out.type)) {
        return DecodeResult{DecodeStatus::UnknownType, "type " + std::to_string(out.type)};
    }
    ByteReader body(data + HeaderSize, size - HeaderSize);
    DecodeResult result = DecodeBody(body, out);
    if (result.status == DecodeStatus::Ok && body.Remaining() != 0) {
        result = Bad("trailing bytes after the body");
    }
    return result;
}

}  // namespace QuorixCollect
