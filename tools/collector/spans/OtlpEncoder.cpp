#include "spans/OtlpEncoder.h"

#include <cmath>
#include <cstdio>

#include "text/JsonBuilder.h"

namespace QuorixCollect {

namespace {

void SpanId(JsonBuilder& j, uint64_t id) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(id >> (56 - 8 * i));
    }
    j.Hex(bytes, 8);
}

void Value(JsonBuilder& j, const OtlpAttribute& a) {
    j.Open('{');
    switch (a.kind) {
        case OtlpAttribute::Kind::String:
            j.Key("stringValue").String(a.text);
            break;
        case OtlpAttribute::Kind::Int:
            j.Key("intValue").QuotedInt(a.number);
            break;
        case OtlpAttribute::Kind::Double:
            j.Key("doubleValue").Exact(a.real);
            break;
        case OtlpAttribute::Kind::Bool:
            j.Key("boolValue").Bool(a.flag);
            break;
    }
    j.Close('}');
}

void Attributes(JsonBuilder& j, const std::vector<OtlpAttribute>& attributes) {
    j.Open('[');
    for (const auto& a : attributes) {
        j.Open('{').Key("key").String(a.key).Key("value");
        Value(j, a);
        j.Close('}');
    }
    j.Close(']');
}

void Span(JsonBuilder& j, const OtlpSpan& s) {
    j.Open('{');
    j.Key("traceId").Hex(s.traceId, sizeof s.traceId);
    j.Key("spanId");
    SpanId(j, s.spanId);
    if (s.parentSpanId != 0) {
        j.Key("parentSpanId");
        SpanId(j, s.parentSpanId);
    }
    j.Key("name").String(s.name).Key("kind").Int(s.kind);
    j.Key("startTimeUnixNano").QuotedCount(s.startNs).Key("endTimeUnixNano").QuotedCount(s.endNs);
    j.Key("attributes");
    Attributes(j, s.attributes);
    if (!s.events.empty()) {
        j.Key("events").Open('[');
        for (const auto& e : s.events) {
            j.Open('{').Key("timeUnixNano").QuotedCount(e.timeNs).Key("name").String(e.name).Key("attributes");
            Attributes(j, e.attributes);
            j.Close('}');
        }
        j.Close(']');
    }
    if (s.error) {
        j.Key("status").Open('{').Key("code").Int(2).Key("message").String(s.statusMessage).Close('}');
    }
    j.Close('}');
}

}  // namespace

void OtlpEncoder::AppendAttributes(std::string& out, const std::vector<OtlpAttribute>& attributes) {
    JsonBuilder j(out);
    Attributes(j, attributes);
}

std::vector<ResourceGroup> GroupByResource(const std::vector<OtlpSpan>& spans,
                                           const std::vector<OtlpAttribute>& extra) {
    // A batch holds spans of a few processes at most: a short list beats a map.
    std::vector<const OtlpResource*> keys;
    std::vector<ResourceGroup> groups;
    for (size_t i = 0; i < spans.size(); ++i) {
        const OtlpResource* r = spans[i].resource.get();
        size_t g = 0;
        while (g < keys.size() && keys[g] != r) {
            ++g;
        }
        if (g == keys.size()) {
            keys.push_back(r);
            groups.emplace_back();
            if (r != nullptr) {
                groups.back().attributes = r->attributes;
            }
            for (const auto& a : extra) {
                AddAttributeOnce(groups.back().attributes, a);
            }
        }
        groups[g].spans.push_back(i);
    }
    return groups;
}

void OtlpEncoder::AppendTraceRequest(std::string& out, const std::vector<OtlpSpan>& spans,
                                     const std::vector<OtlpAttribute>& extraResource) {
    JsonBuilder j(out);
    j.Open('{').Key("resourceSpans").Open('[');
    for (const ResourceGroup& group : GroupByResource(spans, extraResource)) {
        j.Open('{').Key("resource").Open('{').Key("attributes");
        Attributes(j, group.attributes);
        j.Close('}');
        j.Key("scopeSpans").Open('[').Open('{');
        j.Key("scope").Open('{').Key("name").String("quorix-collect").Close('}');
        j.Key("spans").Open('[');
        for (const size_t i : group.spans) {
            Span(j, spans[i]);
        }
        j.Close(']').Close('}').Close(']').Close('}');
    }
    j.Close(']').Close('}');
}

}  // namespace QuorixCollect
