#include "commands/PayloadWriter.h"

#include <cstring>

namespace {

bool IsValidCodePoint(uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

size_t UnitsOf(wchar_t character) {
    const uint32_t c = static_cast<uint32_t>(character);
    return IsValidCodePoint(c) && c > 0xFFFF ? 2 : 1;
}

}  // namespace

void PayloadWriter::WriteBytes(const void* data, size_t length) {
    if (length == 0) return;
    std::memcpy(Reserve(length), data, length);
}

void PayloadWriter::WriteUtf16(const std::wstring& text) {
    for (wchar_t character : text) {
        const uint32_t c = static_cast<uint32_t>(character);
        if (!IsValidCodePoint(c)) {
            WriteU16(0xFFFD);
        } else if (c > 0xFFFF) {
            WriteU16(static_cast<uint16_t>(0xD7C0 + (c >> 10)));
            WriteU16(static_cast<uint16_t>(0xDC00 | (c & 0x3FF)));
        } else {
            WriteU16(static_cast<uint16_t>(c));
        }
    }
}

std::string FitUtf8(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t cut = maxBytes;
    // Step back over continuation bytes so the cut lands on the start of a character.
    while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

size_t Utf16Units(const std::wstring& text) {
    size_t units = 0;
    for (wchar_t character : text) units += UnitsOf(character);
    return units;
}

std::wstring FitUtf16(const std::wstring& text, size_t maxUnits) {
    size_t units = 0;
    size_t count = 0;
    for (wchar_t character : text) {
        const size_t next = UnitsOf(character);
        if (units + next > maxUnits) break;
        units += next;
        ++count;
    }
    return text.substr(0, count);
}
