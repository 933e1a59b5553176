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

std::string Utf8Of(const char16_t* text, size_t units) {
    std::string out;
    out.reserve(units);
    auto put = [&out](uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    for (size_t i = 0; i < units; ++i) {
        const uint32_t unit = text[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            put(0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00));
            ++i;
        } else {
            put(unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
        }
    }
    return out;
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
