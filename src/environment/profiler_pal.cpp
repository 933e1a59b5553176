#include "environment/profiler_pal.h"

#include <stdexcept>

namespace {

constexpr uint32_t maxCodePoint = 0x10FFFF;
constexpr const char* toBytesError = "wstring_convert: to_bytes error";
constexpr const char* fromBytesError = "wstring_convert: from_bytes error";

bool IsSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

void AppendUtf8(std::string& out, uint32_t c) {
    if (c <= 0x7F) {
        out += static_cast<char>(c);
    } else if (c <= 0x7FF) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c <= 0xFFFF) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string W2A(const char16_t* text) {
    if (text == nullptr) return std::string();
    const size_t length = linux_wcslen(text);
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const uint32_t unit = text[i];
        if (IsSurrogate(unit)) throw std::range_error(toBytesError);
        AppendUtf8(out, unit);
    }
    return out;
}

std::string W2A(const wchar_t* text) {
    if (text == nullptr) return std::string();
    const size_t length = std::wcslen(text);
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const uint32_t c = static_cast<uint32_t>(text[i]);
        if (c > maxCodePoint || IsSurrogate(c)) throw std::range_error(toBytesError);
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string make_u16string(const std::wstring& text) {
    std::u16string out;
    out.reserve(text.size() * 2);
    for (const wchar_t character : text) {
        const uint32_t c = static_cast<uint32_t>(character);
        if (c > maxCodePoint || IsSurrogate(c)) {
            out += static_cast<char16_t>(0xFFFD);
        } else if (c > 0xFFFF) {
            out += static_cast<char16_t>(0xD7C0 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    out.shrink_to_fit();
    return out;
}

std::wstring make_wstring(const std::u16string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t unit = text[i];
        if (!IsSurrogate(unit)) {
            out += static_cast<wchar_t>(unit);
            continue;
        }
        if (unit >= 0xDC00 || i + 1 == text.size()) throw std::range_error(fromBytesError);
        const uint32_t low = text[++i];
        if (low < 0xDC00 || low > 0xDFFF) throw std::range_error(fromBytesError);
        out += static_cast<wchar_t>((((unit & 0x3FF) << 10) | (low & 0x3FF)) + 0x10000);
    }
    return out;
}

int32_t wcslen(char16_t* text) { return static_cast<int32_t>(linux_wcslen(text)); }

size_t linux_wcslen(const char16_t* text) {
    if (text == nullptr) return 0;
    size_t length = 0;
    while (text[length] != u'\0') ++length;
    return length;
}
