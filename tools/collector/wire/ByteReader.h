#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace QuorixCollect {

// Bounds-checked little-endian reader over untrusted bytes; every read fails instead of overrunning.
class ByteReader {
public:
    ByteReader(const uint8_t* bytes, size_t length) : data(bytes), size(length) {}

    size_t Remaining() const { return size - pos; }
    size_t Position() const { return pos; }
    const uint8_t* Current() const { return data + pos; }

    bool Skip(size_t n) {
        if (n > Remaining()) {
            return false;
        }
        pos += n;
        return true;
    }

    bool ReadBytes(size_t n, const uint8_t*& out) {
        if (n > Remaining()) {
            return false;
        }
        out = data + pos;
        pos += n;
        return true;
    }

    bool ReadU8(uint8_t& v) { return ReadLe(v); }
    bool ReadU16(uint16_t& v) { return ReadLe(v); }
    bool ReadI16(int16_t& v) { return ReadLe(v); }
    bool ReadU32(uint32_t& v) { return ReadLe(v); }
    bool ReadI32(int32_t& v) { return ReadLe(v); }
    bool ReadU64(uint64_t& v) { return ReadLe(v); }
    bool ReadI64(int64_t& v) { return ReadLe(v); }

private:
    template <typename T>
    bool ReadLe(T& v) {
        if (sizeof(T) > Remaining()) {
            return false;
        }
        uint64_t acc = 0;
        for (size_t i = 0; i < sizeof(T); ++i) {
            acc |= static_cast<uint64_t>(data[pos + i]) << (8 * i);
        }
        pos += sizeof(T);
        v = static_cast<T>(acc);
        return true;
    }

    const uint8_t* data;
    size_t size;
    size_t pos = 0;
};

}  // namespace QuorixCollect
