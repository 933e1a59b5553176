#include "spans/OtlpEncoder.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "text/TextEncoding.h"

namespace QuorixCollect {

namespace {

void AppendHex(std::string& out, const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    out.push_back('"');
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    out.push_back('"');
}

void AppendSpanId(std::string& out, uint64_t id) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(id >> (56 - 8 * i));
    }
    AppendHex(out, bytes, 8);
}

void AppendQuotedNumber(std::string& out, uint64_t v) {
    out.push_back('"');
    out += std::to_string(v);
    out.push_back('"');
}

void AppendValue(std::string& out, const OtlpAttribute& a) {
    switch (a.kind) {
        case OtlpAttribute::Kind::String:
            out += "{\"stringValue\":";
            AppendJsonString(out, a.text);
            break;
        case OtlpAttribute::Kind::Int:
            out += "{\"intValue\":\"" + std::to_string(a.number) + "\"";
            break;
        case OtlpAttribute::Kind::Double:
            if (std::isfinite(a.real)) {
                char buf[40];
                snprintf(buf, sizeof buf, "%.17g", a.real);
                out += "{\"doubleValue\":";
                out += buf;
            } else {
                out += std::isnan(a.real)
                           ? "{\"doubleValue\":\"NaN\""
                           : (a.real > 0 ? "{\"doubleValue\":\"Infinity\"" : "{\"doubleValue\":\"-Infinity\"");
            }
            break;
        case OtlpAttribute::Kind::Bool:
            out += a.flag ? "{\"boolValue\":true" : "{\"boolValue\":false";
            break;
    }
    out.push_back('}');
}

void AppendSpan(std::string& out, const OtlpSpan& s) {
    out += "{\"traceId\":";
    AppendHex(out, s.traceId, sizeof s.traceId);
    out += ",\"spanId\":";
    AppendSpanId(out, s.spanId);
    if (s.parentSpanId != 0) {
        out += ",\"parentSpanId\":";
        AppendSpanId(out, s.parentSpanId);
    }
    out += ",\"name\":";
    AppendJsonString(out, s.name);
    out += ",\"kind\":1,\"startTimeUnixNano\":";
    AppendQuotedNumber(out, s.startNs);
    out += ",\"endTimeUnixNano\":";
    AppendQuotedNumber(out, s.endNs);
    out += ",\"attributes\":";
    OtlpEncoder::AppendAttributes(out, s.attributes);
    if (!s.events.empty()) {
        out += ",\"events\":[";
        for (size_t i = 0; i < s.events.size(); ++i) {
            if (i != 0) {
                out.push_back(',');
            }
            out += "{\"timeUnixNano\":";
            AppendQuotedNumber(out, s.events[i].timeNs);
            out += ",\"name\":";
            AppendJsonString(out, s.events[i].name);
            out += ",\"attributes\":";
            OtlpEncoder::AppendAttributes(out, s.events[i].attributes);
            out.push_back('}');
        }
        out.push_back(']');
    }
    if (s.error) {
        out += ",\"status\":{\"code\":2,\"message\":";
        AppendJsonString(out, s.statusMessage);
        out.push_back('}');
    }
    out.push_back('}');
}

}  // namespace

void OtlpEncoder::AppendAttributes(std::string& out, const std::vector<OtlpAttribute>& attributes) {
    out.push_back('[');
    for (size_t i = 0; i < attributes.size(); ++i) {
        if (i != 0) {
            out.push_back(',');
        }
        out += "{\"key\":";
        AppendJsonString(out, attributes[i].key);
        out += ",\"value\":";
        AppendValue(out, attributes[i]);
        out.push_back('}');
    }
    out.push_back(']');
}

void OtlpEncoder::AppendTraceRequest(std::string& out, const std::vector<OtlpSpan>& spans) {
    // Spans of one process share one resource object; keep the order they came in.
    std::vector<const OtlpResource*> order;
    std::map<const OtlpResource*, std::vector<const OtlpSpan*>> groups;
    for (const auto& s : spans) {
        auto& group = groups[s.resource.get()];
        if (group.empty()) {
            order.push_back(s.resource.get());
        }
        group.push_back(&s);
    }
    out += "{\"resourceSpans\":[";
    for (size_t r = 0; r < order.size(); ++r) {
        if (r != 0) {
            out.push_back(',');
        }
        out += "{\"resource\":{\"attributes\":";
        static const std::vector<OtlpAttribute> none;
        AppendAttributes(out, order[r] != nullptr ? order[r]->attributes : none);
        out += "},\"scopeSpans\":[{\"scope\":{\"name\":\"quorix-collect\"},\"spans\":[";
        const auto& group = groups[order[r]];
        for (size_t i = 0; i < group.size(); ++i) {
            if (i != 0) {
                out.push_back(',');
            }
            AppendSpan(out, *group[i]);
        }
        out += "]}]}";
    }
    out += "]}";
}

}  // namespace QuorixCollect
