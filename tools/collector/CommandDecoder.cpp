#include "CommandDecoder.h"

#include "ByteReader.h"
#include "TextUtil.h"
#include "WireFormat.h"

namespace QuorixCollect {

namespace {

DecodeResult Bad(const char* what)
{
    return DecodeResult{DecodeStatus::BadBody, what};
}

bool ReadText16(ByteReader& r, std::string& out)
{
    int16_t n = 0;
    const uint8_t* p = nullptr;
    if (!r.ReadI16(n) || n < 0 || !r.ReadBytes(static_cast<size_t>(n), p)) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
    return true;
}

bool ReadText8(ByteReader& r, std::string& out)
{
    uint8_t n = 0;
    const uint8_t* p = nullptr;
    if (!r.ReadU8(n) || !r.ReadBytes(n, p)) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(p), n);
    return true;
}

// SQL text block: marker 1, u16 byte length, UTF-16LE units.
bool ReadSqlBlock(ByteReader& r, std::string& out)
{
    uint8_t marker = 0;
    uint16_t n = 0;
    const uint8_t* p = nullptr;
    if (!r.ReadU8(marker) || marker != 1 || !r.ReadU16(n) || (n & 1) != 0 || !r.ReadBytes(n, p)) {
        return false;
    }
    out = Utf16LeToUtf8(p, n);
    return true;
}

DecodeResult DecodeBody(ByteReader& r, DecodedCommand& c)
{
    switch (static_cast<CommandType>(c.type)) {
    case CommandType::BeginCall: {
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
    case CommandType::EndCall: {
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
        for (auto& text : c.texts) {
            if (!ReadSqlBlock(r, text)) {
                return Bad("SQL text block malformed");
            }
        }
        if (!r.ReadU64(c.longValue)) {
            return Bad("SQL number does not fit");
        }
        return {};
    case CommandType::HttpRequestInformation:
        if (!ReadText16(r, c.texts[0]) || !ReadText8(r, c.texts[1]) || !r.ReadU16(c.shortValue) ||
            !r.ReadU64(c.longValue)) {
            return Bad("HTTP request fields do not fit");
        }
        return {};
    }
    return DecodeResult{DecodeStatus::UnknownType, {}};
}

} // namespace

const char* DecodeStatusText(DecodeStatus status)
{
    switch (status) {
    case DecodeStatus::Ok: return "ok";
    case DecodeStatus::Truncated: return "truncated";
    case DecodeStatus::BadLength: return "bad length field";
    case DecodeStatus::LengthMismatch: return "length mismatch";
    case DecodeStatus::UnknownType: return "unknown type";
    case DecodeStatus::BadBody: return "bad body";
    }
    return "?";
}

DecodeResult DecodeCommand(const uint8_t* data, size_t size, DecodedCommand& out)
{
    out = DecodedCommand{};
    ByteReader header(data, size);
    int16_t length = 0;
    if (!header.ReadI16(length) || !header.ReadU8(out.type) || !header.ReadU32(out.pid) ||
        !header.ReadU32(out.tid) || !header.ReadI64(out.ts)) {
        return DecodeResult{DecodeStatus::Truncated, "shorter than the 19-byte header"};
    }
    if (length < static_cast<int16_t>(HeaderSize)) {
        return DecodeResult{DecodeStatus::BadLength, "length field " + std::to_string(length)};
    }
    out.length = static_cast<uint16_t>(length);
    if (static_cast<size_t>(length) > size) {
        return DecodeResult{DecodeStatus::Truncated,
                            std::to_string(size) + " of " + std::to_string(length) + " bytes"};
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

} // namespace QuorixCollect
