#include "spans/OtlpEncoder.h"

#include <cstring>

#include "text/TextEncoding.h"

// OTLP protobuf written directly from the spans: the sizes of nested messages are computed
// first (each span's once), then every byte is written in one pass into a buffer of the exact
// size. Field numbers are those of opentelemetry/proto (trace, common, resource, collector).

namespace QuorixCollect {

namespace {

enum Wire : uint8_t { WireVarint = 0, WireFixed64 = 1, WireLength = 2 };

constexpr uint8_t Tag(unsigned field, Wire wire) { return static_cast<uint8_t>(field << 3 | wire); }

size_t VarintSize(uint64_t v) {
    size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

// A length-delimited field of `inner` bytes, with its one-byte tag (every field number used is
// below 16).
size_t Field(size_t inner) { return 1 + VarintSize(inner) + inner; }

bool Ascii(std::string_view s) {
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t word;
        memcpy(&word, s.data() + i, 8);
        if ((word & 0x8080808080808080ull) != 0) {
            return false;
        }
    }
    for (; i < s.size(); ++i) {
        if (static_cast<uint8_t>(s[i]) >= 0x80) {
            return false;
        }
    }
    return true;
}

// Strings go out as well-formed UTF-8, repaired as the JSON form repairs them (a repair always
// makes a string longer, so its size tells whether one is needed).
size_t StringSize(std::string_view s) {
    if (Ascii(s)) {
        return s.size();
    }
    std::string repaired;
    return WellFormedUtf8(s, repaired).size();
}

size_t ValueSize(const OtlpAttribute& a) {
    switch (a.kind) {
        case OtlpAttribute::Kind::String:
            return Field(StringSize(a.text));
        case OtlpAttribute::Kind::Int:
            return 1 + VarintSize(static_cast<uint64_t>(a.number));
        case OtlpAttribute::Kind::Double:
            return 1 + 8;
        case OtlpAttribute::Kind::Bool:
            return 1 + 1;
    }
    return 0;
}

size_t KeyValueSize(const OtlpAttribute& a) { return Field(StringSize(a.key)) + Field(ValueSize(a)); }

size_t AttributesSize(const std::vector<OtlpAttribute>& list) {
    size_t n = 0;
    for (const auto& a : list) {
        n += Field(KeyValueSize(a));
    }
    return n;
}

size_t EventSize(const OtlpEvent& e) {
    return 1 + 8 + (e.name.empty() ? 0 : Field(StringSize(e.name))) + AttributesSize(e.attributes);
}

size_t StatusSize(const OtlpSpan& s) { return (s.statusMessage.empty() ? 0 : Field(StringSize(s.statusMessage))) + 2; }

size_t SpanSize(const OtlpSpan& s) {
    size_t n = Field(16) + Field(8) + (s.parentSpanId != 0 ? Field(8) : 0);
    n += s.name.empty() ? 0 : Field(StringSize(s.name));
    n += 2 + 9 + 9;  // kind, start, end
    n += AttributesSize(s.attributes);
    for (const auto& e : s.events) {
        n += Field(EventSize(e));
    }
    return n + (s.error ? Field(StatusSize(s)) : 0);
}

constexpr std::string_view ScopeName = "quorix-collect";

class Writer {
public:
    explicit Writer(char* at) : p(at) {}
    char* End() const { return p; }

    void Varint(uint64_t v) {
        while (v >= 0x80) {
            *p++ = static_cast<char>(v | 0x80);
            v >>= 7;
        }
        *p++ = static_cast<char>(v);
    }
    void Open(unsigned field, size_t inner) {
        *p++ = static_cast<char>(Tag(field, WireLength));
        Varint(inner);
    }
    void Bytes(unsigned field, const void* data, size_t size) {
        Open(field, size);
        memcpy(p, data, size);
        p += size;
    }
    // `size` from StringSize.
    void String(unsigned field, std::string_view s, size_t size) {
        if (size == s.size()) {
            Bytes(field, s.data(), s.size());
            return;
        }
        std::string repaired;
        const std::string_view text = WellFormedUtf8(s, repaired);
        Bytes(field, text.data(), text.size());
    }
    void String(unsigned field, std::string_view s) { String(field, s, StringSize(s)); }
    void Fixed(unsigned field, uint64_t v) {
        *p++ = static_cast<char>(Tag(field, WireFixed64));
        for (int i = 0; i < 8; ++i) {
            *p++ = static_cast<char>(v >> (8 * i));
        }
    }
    void Number(unsigned field, uint64_t v) {
        *p++ = static_cast<char>(Tag(field, WireVarint));
        Varint(v);
    }
    void SpanId(unsigned field, uint64_t id) {
        uint8_t bytes[8];
        for (int i = 0; i < 8; ++i) {
            bytes[i] = static_cast<uint8_t>(id >> (56 - 8 * i));
        }
        Bytes(field, bytes, 8);
    }

    void Attributes(unsigned field, const std::vector<OtlpAttribute>& list) {
        for (const auto& a : list) {
            // Each string is measured once here: its size goes into the lengths around it.
            const size_t keySize = StringSize(a.key);
            const size_t textSize = a.kind == OtlpAttribute::Kind::String ? StringSize(a.text) : 0;
            const size_t value = a.kind == OtlpAttribute::Kind::String ? Field(textSize) : ValueSize(a);
            Open(field, Field(keySize) + Field(value));
            String(1, a.key, keySize);
            Open(2, value);
            switch (a.kind) {
                case OtlpAttribute::Kind::String:
                    String(1, a.text, textSize);
                    break;
                case OtlpAttribute::Kind::Int:
                    Number(3, static_cast<uint64_t>(a.number));
                    break;
                case OtlpAttribute::Kind::Double: {
                    uint64_t bits;
                    memcpy(&bits, &a.real, 8);
                    Fixed(4, bits);
                    break;
                }
                case OtlpAttribute::Kind::Bool:
                    Number(2, a.flag ? 1 : 0);
                    break;
            }
        }
    }

    void Span(const OtlpSpan& s, size_t size) {
        Open(2, size);
        Bytes(1, s.traceId, sizeof s.traceId);
        SpanId(2, s.spanId);
        if (s.parentSpanId != 0) {
            SpanId(4, s.parentSpanId);
        }
        if (!s.name.empty()) {
            String(5, s.name);
        }
        Number(6, s.kind);  // internal, server or client: one byte each
        Fixed(7, s.startNs);
        Fixed(8, s.endNs);
        Attributes(9, s.attributes);
        for (const auto& e : s.events) {
            Open(11, EventSize(e));
            Fixed(1, e.timeNs);
            if (!e.name.empty()) {
                String(2, e.name);
            }
            Attributes(3, e.attributes);
        }
        if (s.error) {
            Open(15, StatusSize(s));
            if (!s.statusMessage.empty()) {
                String(2, s.statusMessage);
            }
            Number(3, 2);  // STATUS_CODE_ERROR
        }
    }

private:
    char* p;
};

}  // namespace

void OtlpProtobufEncoder::AppendTraceRequest(std::string& out, const std::vector<OtlpSpan>& spans,
                                             const std::vector<OtlpAttribute>& extraResource) {
    const std::vector<ResourceGroup> groups = GroupByResource(spans, extraResource);
    std::vector<size_t> spanSizes(spans.size());
    struct Sizes {
        size_t resource, scopeSpans, resourceSpans;
    };
    std::vector<Sizes> sizes(groups.size());
    size_t total = 0;
    for (size_t g = 0; g < groups.size(); ++g) {
        size_t spanBytes = 0;
        for (const size_t i : groups[g].spans) {
            spanSizes[i] = SpanSize(spans[i]);
            spanBytes += Field(spanSizes[i]);
        }
        Sizes& z = sizes[g];
        z.resource = AttributesSize(groups[g].attributes);
        z.scopeSpans = Field(Field(ScopeName.size())) + spanBytes;
        z.resourceSpans = Field(z.resource) + Field(z.scopeSpans);
        total += Field(z.resourceSpans);
    }
    const size_t at = out.size();
    out.resize(at + total);
    Writer w(out.data() + at);
    for (size_t g = 0; g < groups.size(); ++g) {
        const Sizes& z = sizes[g];
        w.Open(1, z.resourceSpans);
        w.Open(1, z.resource);
        w.Attributes(1, groups[g].attributes);
        w.Open(2, z.scopeSpans);
        w.Open(1, Field(ScopeName.size()));
        w.String(1, ScopeName, ScopeName.size());
        for (const size_t i : groups[g].spans) {
            w.Span(spans[i], spanSizes[i]);
        }
    }
    out.resize(static_cast<size_t>(w.End() - out.data()));
}

}  // namespace QuorixCollect
