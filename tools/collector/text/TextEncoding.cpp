#include "text/TextEncoding.h"

namespace QuorixCollect {

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

constexpr uint32_t Replacement = 0xFFFD;

// Length of the well-formed UTF-8 sequence at text[i] (and its code point), 0 when malformed.
// Overlong forms, surrogates and values above U+10FFFF are malformed.
size_t Utf8SequenceAt(std::string_view text, size_t i, uint32_t& cp) {
    const auto b0 = static_cast<uint8_t>(text[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    size_t len;
    uint32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<uint8_t>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

}  // namespace

std::string Utf16LeToUtf8(const uint8_t* data, size_t byteCount) {
    std::string out;
    const size_t units = byteCount / 2;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = data[2 * i] | (static_cast<uint32_t>(data[2 * i + 1]) << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t low = data[2 * i + 2] | (static_cast<uint32_t>(data[2 * i + 3]) << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? Replacement : u);
    }
    return out;
}

void AppendJsonEscaped(std::string& out, std::string_view text) {
    static const char Hex[] = "0123456789abcdef";
    size_t i = 0;
    while (i < text.size()) {
        // Plain printable ASCII goes out in one piece.
        size_t plain = i;
        while (plain < text.size()) {
            const auto b = static_cast<uint8_t>(text[plain]);
            if (b < 0x20 || b >= 0x7F || b == '"' || b == '\\') {
                break;
            }
            ++plain;
        }
        if (plain != i) {
            out.append(text.data() + i, plain - i);
            i = plain;
            if (i == text.size()) {
                break;
            }
        }
        uint32_t cp = 0;
        const size_t len = Utf8SequenceAt(text, i, cp);
        if (len == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (len > 1) {
            out.append(text.substr(i, len));
            i += len;
            continue;
        }
        ++i;
        switch (cp) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (cp < 0x20 || cp == 0x7F) {
                    out += "\\u00";
                    out.push_back(Hex[cp >> 4]);
                    out.push_back(Hex[cp & 0xF]);
                } else {
                    out.push_back(static_cast<char>(cp));
                }
        }
    }
}

void AppendJsonString(std::string& out, std::string_view text) {
    out.push_back('"');
    AppendJsonEscaped(out, text);
    out.push_back('"');
}

std::string_view WellFormedUtf8(std::string_view text, std::string& repaired) {
    size_t i = 0;
    while (i < text.size() && static_cast<uint8_t>(text[i]) < 0x80) {
        ++i;
    }
    uint32_t cp = 0;
    for (size_t len; i < text.size(); i += len) {
        len = Utf8SequenceAt(text, i, cp);
        if (len == 0) {
            break;
        }
    }
    if (i == text.size()) {
        return text;
    }
    repaired.assign(text.substr(0, i));
    while (i < text.size()) {
        const size_t len = Utf8SequenceAt(text, i, cp);
        if (len == 0) {
            AppendUtf8(repaired, Replacement);
            ++i;
        } else {
            repaired.append(text.substr(i, len));
            i += len;
        }
    }
    return repaired;
}

std::string DisplayText(std::string_view text, size_t maxChars) {
    static const char Hex[] = "0123456789abcdef";
    std::string out;
    size_t chars = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (chars == maxChars) {
            out += "...";
            break;
        }
        ++chars;
        uint32_t cp = 0;
        const size_t len = Utf8SequenceAt(text, i, cp);
        if (len == 0) {
            AppendUtf8(out, Replacement);
            ++i;
            continue;
        }
        // C1 controls (U+0080..U+009F) can drive terminals just like C0 ones.
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
            out += "\\x";
            out.push_back(Hex[cp >> 4]);
            out.push_back(Hex[cp & 0xF]);
        } else {
            out.append(text.substr(i, len));
        }
        i += len;
    }
    return out;
}

}  // namespace QuorixCollect
