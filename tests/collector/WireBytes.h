#pragma once

// Hand-built wire bytes for the collector tests, written from the byte layout alone.

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace CollectorTest {

using Bytes = std::vector<uint8_t>;

class Builder {
public:
    Builder& U8(uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Builder& U16(uint16_t v) { return Le(v, 2); }
    Builder& U32(uint32_t v) { return Le(v, 4); }
    Builder& U64(uint64_t v) { return Le(v, 8); }
    Builder& Text(const std::string& s) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    // 16-bit byte count followed by the bytes.
    Builder& Text16(const std::string& s) { return U16(static_cast<uint16_t>(s.size())).Text(s); }
    Builder& Raw(const Bytes& b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    Bytes bytes;

private:
    Builder& Le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
        return *this;
    }
};

inline Bytes Command(uint8_t type, const Bytes& body = {}, uint32_t pid = 4711, uint32_t tid = 0, int64_t ts = 1000) {
    Builder b;
    b.U16(static_cast<uint16_t>(19 + body.size())).U8(type).U32(pid).U32(tid).U64(static_cast<uint64_t>(ts)).Raw(body);
    return b.bytes;
}

// A value record: 2-byte length, type, name length, name, payload.
inline Bytes Record(uint8_t type, const std::string& name, const Bytes& payload = {}) {
    Builder b;
    b.U16(static_cast<uint16_t>(2 + name.size() + payload.size())).U8(type).U8(static_cast<uint8_t>(name.size()));
    b.Text(name).Raw(payload);
    return b.bytes;
}

inline Bytes Utf16(const std::u16string& s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

inline Bytes BeginCall(uint32_t functionId, const std::vector<Bytes>& args = {}, uint32_t tid = 7, int64_t ts = 1000,
                       uint64_t instance = 0) {
    Builder b;
    b.U32(functionId).U64(instance).U8(static_cast<uint8_t>(args.size()));
    for (const auto& a : args) {
        b.Raw(a);
    }
    return Command(1, b.bytes, 4711, tid, ts);
}

inline Bytes EndCall(uint32_t functionId, uint32_t tid = 7, int64_t ts = 2000, bool tail = false,
                     const Bytes& ret = {0, 0}) {
    return Command(2, Builder().U32(functionId).U8(tail ? 1 : 0).Raw(ret).bytes, 4711, tid, ts);
}

inline Bytes MethodInfo(uint32_t functionId, const std::string& cls, const std::string& method, uint32_t tid = 7) {
    return Command(3, Builder().U32(functionId).Text16(cls).Text16(method).bytes, 4711, tid);
}

inline Bytes Unwind(uint32_t functionId, uint32_t tid = 7, int64_t ts = 1500) {
    return Command(5, Builder().U32(functionId).bytes, 4711, tid, ts);
}

inline Bytes Exception(uint64_t id, uint32_t tid = 7, int64_t ts = 1400) {
    return Command(4, Builder().U64(id).bytes, 4711, tid, ts);
}

// Type 21: id, type and message (u16 byte count and UTF-8 each), flags (1: no message, 2: cut).
inline Bytes ExceptionDetails(uint64_t id, const std::string& type, const std::string& message, uint8_t flags = 0,
                              uint32_t tid = 7, int64_t ts = 1401, uint32_t pid = 4711) {
    return Command(21, Builder().U64(id).Text16(type).Text16(message).U8(flags).bytes, pid, tid, ts);
}

// Minimal strict JSON checker, so tests can assert that every line the collector writes parses.
class JsonChecker {
public:
    static bool Valid(const std::string& text) {
        JsonChecker c(text);
        c.Ws();
        if (!c.Value(0)) {
            return false;
        }
        c.Ws();
        return c.pos == text.size();
    }

private:
    explicit JsonChecker(const std::string& json) : t(json) {}
    bool Eof() const { return pos >= t.size(); }
    char Peek() const { return Eof() ? '\0' : t[pos]; }
    void Ws() {
        while (!Eof() && (Peek() == ' ' || Peek() == '\n' || Peek() == '\r' || Peek() == '\t')) {
            ++pos;
        }
    }
    bool Lit(const char* s) {
        const std::string lit(s);
        if (t.compare(pos, lit.size(), lit) != 0) {
            return false;
        }
        pos += lit.size();
        return true;
    }
    bool String() {
        if (Peek() != '"') {
            return false;
        }
        ++pos;
        while (!Eof()) {
            const auto c = static_cast<unsigned char>(t[pos++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c == '\\') {
                const char e = Peek();
                ++pos;
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i) {
                        if (!isxdigit(static_cast<unsigned char>(Peek()))) {
                            return false;
                        }
                        ++pos;
                    }
                } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos || e == '\0') {
                    return false;
                }
            } else if (c >= 0x80) {
                // Well-formed UTF-8 only.
                int extra = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
                if (extra < 0 || c == 0xC0 || c == 0xC1 || c > 0xF4) {
                    return false;
                }
                for (int i = 0; i < extra; ++i) {
                    if ((static_cast<unsigned char>(Peek()) & 0xC0) != 0x80) {
                        return false;
                    }
                    ++pos;
                }
            }
        }
        return false;
    }
    bool Number() {
        const size_t start = pos;
        if (Peek() == '-') {
            ++pos;
        }
        if (!isdigit(static_cast<unsigned char>(Peek()))) {
            return false;
        }
        if (Peek() == '0') {
            ++pos;
        } else {
            while (isdigit(static_cast<unsigned char>(Peek()))) {
                ++pos;
            }
        }
        if (Peek() == '.') {
            ++pos;
            if (!isdigit(static_cast<unsigned char>(Peek()))) {
                return false;
            }
            while (isdigit(static_cast<unsigned char>(Peek()))) {
                ++pos;
            }
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++pos;
            if (Peek() == '+' || Peek() == '-') {
                ++pos;
            }
            if (!isdigit(static_cast<unsigned char>(Peek()))) {
                return false;
            }
            while (isdigit(static_cast<unsigned char>(Peek()))) {
                ++pos;
            }
        }
        return pos > start;
    }
    bool Value(int depth) {
        if (depth > 200) {
            return false;
        }
        Ws();
        const char c = Peek();
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++pos;
            Ws();
            if (Peek() == close) {
                ++pos;
                return true;
            }
            for (;;) {
                Ws();
                if (c == '{') {
                    if (!String()) {
                        return false;
                    }
                    Ws();
                    if (Peek() != ':') {
                        return false;
                    }
                    ++pos;
                }
                if (!Value(depth + 1)) {
                    return false;
                }
                Ws();
                if (Peek() == ',') {
                    ++pos;
                    continue;
                }
                if (Peek() == close) {
                    ++pos;
                    return true;
                }
                return false;
            }
        }
        if (c == '"') {
            return String();
        }
        if (c == 't') {
            return Lit("true");
        }
        if (c == 'f') {
            return Lit("false");
        }
        if (c == 'n') {
            return Lit("null");
        }
        return Number();
    }

    const std::string& t;
    size_t pos = 0;
};

}  // namespace CollectorTest
