#include "commands/ExceptionDetailsCommand.h"

#include <algorithm>
#include <cstring>

#include "inspection/SecretMasker.h"
#include "inspection/ValueLimits.h"
#include "inspection/VariableInfo.h"

namespace {

// UTF-16 units to UTF-8 bytes within a budget of units and bytes, stopping at the first
// character that does not fit; writes at `out`, or only counts when it is null. A lone
// surrogate becomes U+FFFD, as the collector's decoding of UTF-16 does.
struct Utf8Sink {
    uint8_t* out;
    size_t unitLimit;
    size_t byteLimit;
    size_t units = 0;
    size_t bytes = 0;
    char16_t high = 0;  // a leading surrogate waiting for its partner
    bool full = false;

    void Copy(const char16_t* text, size_t count) {
        for (size_t i = 0; i < count && !full; ++i) Unit(text[i]);
    }
    void Mask() {
        Flush();
        for (size_t i = 0; i < SecretMasker::MaskLength && !full; ++i)
            Put(static_cast<uint8_t>(SecretMasker::Mask[i]), 1, 1);
    }
    void Flush() {
        if (high != 0 && !full) Put(0xFFFD, 1, 3);
        high = 0;
    }

private:
    void Unit(char16_t unit) {
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            Flush();
            high = unit;
            return;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (high == 0) return Put(0xFFFD, 1, 3);
            const uint32_t code = 0x10000 + ((static_cast<uint32_t>(high) - 0xD800) << 10) + (unit - 0xDC00);
            high = 0;
            return Put(code, 2, 4);
        }
        Flush();
        Put(unit, 1, unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3);
    }
    void Put(uint32_t code, size_t width, size_t length) {
        if (full || width > unitLimit - units || length > byteLimit - bytes) {
            full = true;
            return;
        }
        if (out != nullptr) {
            uint8_t* at = out + bytes;
            if (length == 1) {
                at[0] = static_cast<uint8_t>(code);
            } else {
                const uint8_t lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
                for (size_t i = length - 1; i > 0; --i, code >>= 6) at[i] = static_cast<uint8_t>(0x80 | (code & 0x3F));
                at[0] = static_cast<uint8_t>(lead[length] | code);
            }
        }
        units += width;
        bytes += length;
    }
};

}  // namespace

ExceptionDetailsCommand::ExceptionDetailsCommand(uint64_t pid, uint64_t tid, uint64_t exceptionObject,
                                                 const std::string& type, const char16_t* text, uint32_t units)
    : CommandBase(pid, tid, Calls::ExceptionDetails),
      exceptionObjectId(exceptionObject),
      typeName(type.data()),
      message(text),
      masked(SecretMasker::Active()) {
    // A cut never splits a character: step back over continuation bytes.
    typeBytes = std::min(type.size(), MaxTypeNameBytes);
    while (typeBytes < type.size() && typeBytes > 0 && (static_cast<uint8_t>(type[typeBytes]) & 0xC0) == 0x80)
        --typeBytes;
    byteLimit = WireProtocol::MaxCommandLength - FixedLength - typeBytes;
    if (message == nullptr) {
        flags = MessageNull;
        return;
    }
    // As a captured string: whole up to its limit, else the start of it, masked within a bounded
    // window so that a huge message costs no more than a long one.
    consideredUnits = units;
    unitLimit = SIZE_MAX;
    if (units > VariableInfo::MaxStringUnits) {
        consideredUnits = std::min<uint32_t>(units, 2 * VariableInfo::MaxStringUnits);
        unitLimit = ValueLimits::LongStringSentUnits;
    }
    bool cut = false;
    messageBytes = EncodeMessage(nullptr, byteLimit, cut);
    if (cut || units > VariableInfo::MaxStringUnits) flags = MessageCut;
}

size_t ExceptionDetailsCommand::EncodeMessage(uint8_t* target, size_t maxBytes, bool& cut) const {
    Utf8Sink sink{target, unitLimit, maxBytes};
    if (masked) {
        SecretMasker::Write(message, consideredUnits, sink);
    } else {
        sink.Copy(message, consideredUnits);
    }
    sink.Flush();
    cut = sink.full;
    return sink.bytes;
}

uint8_t* ExceptionDetailsCommand::GetPayload() { return PayloadFromWrite(); }

void ExceptionDetailsCommand::WritePayload(uint8_t* target) {
    const size_t length = static_cast<size_t>(GetPayloadLength());
    WriteHeaderAt(target, static_cast<int16_t>(length), callType, processId, threadId, timestamp);
    PayloadWriter writer(target, length, CommandHeaderLength);
    writer.WriteU64(exceptionObjectId);
    writer.WriteU16(static_cast<uint16_t>(typeBytes));
    writer.WriteBytes(typeName, typeBytes);
    writer.WriteU16(static_cast<uint16_t>(messageBytes));
    if (messageBytes > 0) {
        // The same pass as the count gives the same bytes; bounded by the count all the same.
        uint8_t* at = target + writer.GetOffset();
        std::memset(at, 0, messageBytes);
        bool cut = false;
        EncodeMessage(at, messageBytes, cut);
    }
    target[length - 1] = flags;
}
