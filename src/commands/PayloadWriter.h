#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "protocol/WireProtocol.h"

// The length field of every command is signed 16-bit, so nothing may grow past this.
inline constexpr size_t MaxCommandLength = WireProtocol::MaxCommandLength;
inline constexpr size_t CommandHeaderLength = WireProtocol::HeaderSize;

// Sequential little-endian writer over a payload buffer. Overrunning the buffer is a
// programming error and throws instead of corrupting the heap.
class PayloadWriter {
public:
    PayloadWriter(uint8_t* target, size_t targetCapacity, size_t startOffset = 0)
        : buffer(target), capacity(targetCapacity), offset(startOffset) {}

    void WriteU8(uint8_t value) { Reserve(1)[0] = value; }
    void WriteU16(uint16_t value) { WriteLittleEndian(value, 2); }
    void WriteU32(uint32_t value) { WriteLittleEndian(value, 4); }
    void WriteU64(uint64_t value) { WriteLittleEndian(value, 8); }
    void WriteI16(int16_t value) { WriteU16(static_cast<uint16_t>(value)); }
    void WriteI64(int64_t value) { WriteU64(static_cast<uint64_t>(value)); }
    void WriteBytes(const void* data, size_t length);
    void WriteText(const std::string& text) { WriteBytes(text.data(), text.size()); }
    // UTF-16LE code units of the code points; see Utf16Units for the counting rule.
    void WriteUtf16(const std::wstring& text);

    size_t GetOffset() const { return offset; }

private:
    uint8_t* Reserve(size_t length) {
        if (length > capacity - offset) throw std::length_error("command payload overrun");
        uint8_t* at = buffer + offset;
        offset += length;
        return at;
    }
    void WriteLittleEndian(uint64_t value, size_t length) {
        uint8_t* at = Reserve(length);
        for (size_t i = 0; i < length; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
    }

    uint8_t* buffer;
    size_t capacity;
    size_t offset;
};

// UTF-16 units as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8Of(const char16_t* text, size_t units);

// Longest prefix of at most maxBytes bytes that does not split a UTF-8 sequence.
std::string FitUtf8(const std::string& text, size_t maxBytes);

// Number of UTF-16 units the text becomes: two for code points above U+FFFF, one otherwise
// (invalid code points are written as U+FFFD).
size_t Utf16Units(const std::wstring& text);

// Longest prefix whose UTF-16 form has at most maxUnits units; a surrogate pair is never split.
std::wstring FitUtf16(const std::wstring& text, size_t maxUnits);
