#include "wire/ValueRecord.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "text/TextEncoding.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

// Nesting deeper than this cannot come from a real capture and would only burn stack.
constexpr int MaxNesting = 32;
constexpr size_t LongStringPayloadBytes = 4096;

RecordStatus DecodeAt(ByteReader& reader, ValueRecord& out, uint32_t& badCount, int depth);

// Children fill the rest of the payload; the count byte may have wrapped past 255.
bool DecodeChildren(ByteReader& payload, uint8_t declaredCount, ValueRecord& out, uint32_t& badCount, int depth) {
    while (payload.Remaining() > 0) {
        ValueRecord child;
        if (DecodeAt(payload, child, badCount, depth + 1) == RecordStatus::DoesNotFit) {
            out.error = "child record runs past its parent";
            return false;
        }
        out.children.push_back(std::move(child));
    }
    if ((out.children.size() & 0xFF) != declaredCount) {
        out.error = "child count does not match the records present";
        return false;
    }
    return true;
}

bool DecodePayload(ByteReader& payload, ValueRecord& out, uint32_t& badCount, int depth) {
    const auto type = static_cast<ValueType>(out.type);
    const size_t width = ScalarWidth(out.type);
    if (width != 0) {
        if (payload.Remaining() != width) {
            out.error = "scalar payload has the wrong size";
            return false;
        }
        for (size_t i = 0; i < width; ++i) {
            out.scalarBits |= static_cast<uint64_t>(payload.Current()[i]) << (8 * i);
        }
        return true;
    }
    switch (type) {
        case ValueType::String: {
            int16_t count = 0;
            const uint8_t* bytes = nullptr;
            if (!payload.ReadI16(count) || count < 0 || (count & 1) != 0 ||
                static_cast<size_t>(count) != payload.Remaining() ||
                !payload.ReadBytes(static_cast<size_t>(count), bytes)) {
                out.error = "string byte count does not match the payload";
                return false;
            }
            out.text = Utf16LeToUtf8(bytes, static_cast<size_t>(count));
            out.fullLengthUnits = static_cast<uint32_t>(count / 2);
            return true;
        }
        case ValueType::LongString: {
            int32_t count = 0;
            const uint8_t* bytes = nullptr;
            if (!payload.ReadI32(count) || count < 0 || payload.Remaining() != LongStringPayloadBytes ||
                !payload.ReadBytes(LongStringPayloadBytes, bytes)) {
                out.error = "long string payload is not 4 + 4096 bytes";
                return false;
            }
            const size_t sent = std::min(static_cast<size_t>(count) & ~size_t{1}, LongStringPayloadBytes);
            out.text = Utf16LeToUtf8(bytes, sent);
            out.fullLengthUnits = static_cast<uint32_t>(count) / 2;
            return true;
        }
        case ValueType::Struct:
        case ValueType::Object: {
            int16_t classLength = 0;
            const uint8_t* cls = nullptr;
            uint8_t count = 0;
            if (!payload.ReadI16(classLength) || classLength < 0 ||
                !payload.ReadBytes(static_cast<size_t>(classLength), cls) || !payload.ReadU8(count)) {
                out.error = "class name or field count does not fit";
                return false;
            }
            out.className.assign(reinterpret_cast<const char*>(cls), static_cast<size_t>(classLength));
            return DecodeChildren(payload, count, out, badCount, depth);
        }
        case ValueType::Array: {
            uint8_t count = 0;
            if (!payload.ReadU8(out.elementType) || !payload.ReadU8(count)) {
                out.error = "array header does not fit";
                return false;
            }
            const auto element = static_cast<ValueType>(out.elementType);
            if (element == ValueType::Boolean || element == ValueType::Byte) {
                out.elements.assign(payload.Current(), payload.Current() + payload.Remaining());
                payload.Skip(payload.Remaining());
                if ((out.elements.size() & 0xFF) != count) {
                    out.error = "array element count does not match the payload";
                    return false;
                }
                return true;
            }
            if (element == ValueType::Array) {
                return DecodeChildren(payload, count, out, badCount, depth);
            }
            if (payload.Remaining() != 0 || count != 0) {
                out.error = "array elements of a type that carries none";
                return false;
            }
            return true;
        }
        default:
            out.error = "payload on a value type that carries none";
            return false;
    }
}

RecordStatus DecodeAt(ByteReader& reader, ValueRecord& out, uint32_t& badCount, int depth) {
    int16_t length = 0;
    if (!reader.ReadI16(length) || length < 0 || static_cast<size_t>(length) > reader.Remaining()) {
        return RecordStatus::DoesNotFit;
    }
    const uint8_t* body = nullptr;
    reader.ReadBytes(static_cast<size_t>(length), body);
    ByteReader rec(body, static_cast<size_t>(length));

    uint8_t nameLength = 0;
    const uint8_t* name = nullptr;
    if (!rec.ReadU8(out.type) || !rec.ReadU8(nameLength) || !rec.ReadBytes(nameLength, name)) {
        out.error = "record too short for its header";
        ++badCount;
        return RecordStatus::Bad;
    }
    out.name.assign(reinterpret_cast<const char*>(name), nameLength);
    if (rec.Remaining() == 0) {
        return RecordStatus::Ok;
    }
    out.hasPayload = true;
    if (depth >= MaxNesting) {
        out.error = "values nested too deeply";
        ++badCount;
        return RecordStatus::Bad;
    }
    if (!DecodePayload(rec, out, badCount, depth)) {
        ++badCount;
        return RecordStatus::Bad;
    }
    return RecordStatus::Ok;
}

}  // namespace

RecordStatus DecodeValueRecord(ByteReader& reader, ValueRecord& out, uint32_t& badCount) {
    return DecodeAt(reader, out, badCount, 0);
}

}  // namespace QuorixCollect
