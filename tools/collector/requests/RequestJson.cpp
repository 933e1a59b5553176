#include "requests/RequestJson.h"

#include <ctime>

#include "requests/RequestFindings.h"
#include "text/JsonBuilder.h"

namespace QuorixCollect {

namespace {

double Offset(const Request& r, uint64_t ns) {
    return ns > r.startNs ? static_cast<double>(ns - r.startNs) / 1e6 : 0.0;
}

double Span(uint64_t start, uint64_t end) { return end > start ? static_cast<double>(end - start) / 1e6 : 0.0; }

std::string IsoTime(uint64_t ns) {
    const time_t seconds = static_cast<time_t>(ns / 1000000000ULL);
    struct tm tm {};
    gmtime_r(&seconds, &tm);
    char buf[48];
    const size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    snprintf(buf + n, sizeof buf - n, ".%06uZ", static_cast<unsigned>((ns / 1000) % 1000000));
    return buf;
}

void OptionalString(JsonBuilder& j, const char* key, const std::string& value) {
    j.Key(key);
    if (value.empty()) {
        j.Null();
    } else {
        j.String(value);
    }
}

void Strings(JsonBuilder& j, const char* key, const std::vector<std::string>& values) {
    j.Key(key).Open('[');
    for (const auto& v : values) j.String(v);
    j.Close(']');
}

// Where and when an item of a request ran, the same for statements, outgoing and Redis calls.
template <typename Item>
void Timing(JsonBuilder& j, const Request& r, const Item& item) {
    j.Key("tid").Count(item.tid);
    j.Key("atMs").Number(Offset(r, item.startNs));
    j.Key("durationMs").Number(Span(item.startNs, item.endNs));
    j.Key("failed").Bool(item.failed);
}

void Statements(JsonBuilder& j, const Request& r) {
    j.Key("sql").Open('[');
    for (const auto& s : r.sql) {
        j.Open('{');
        j.Key("system").String(s.system);
        j.Key("text").String(s.text);
        OptionalString(j, "server", s.server);
        OptionalString(j, "database", s.database);
        j.Key("parameters").Open('[');
        for (const auto& p : s.parameters) {
            j.Open('{').Key("name").String(p.name).Key("value");
            if (p.isNull) {
                j.Null();
            } else {
                j.String(p.value);
            }
            j.Close('}');
        }
        j.Close(']');
        if (!s.parameters.empty()) j.Key("inlined").String(InlineParameters(s));
        j.Key("call").String(s.method);
        Timing(j, r, s);
        Strings(j, "findings", s.findings);
        j.Close('}');
    }
    j.Close(']');
}

void Outgoing(JsonBuilder& j, const Request& r) {
    j.Key("http").Open('[');
    for (const auto& h : r.http) {
        j.Open('{');
        OptionalString(j, "method", h.method);
        j.Key("url").String(h.url);
        j.Key("status");
        if (h.status != 0)
            j.Int(h.status);
        else
            j.Null();
        Timing(j, r, h);
        j.Close('}');
    }
    j.Close(']');
    j.Key("redis").Open('[');
    for (const auto& c : r.redis) {
        j.Open('{');
        j.Key("command").String(c.command);
        j.Key("key").String(c.key);
        Timing(j, r, c);
        j.Close('}');
    }
    j.Close(']');
}

void Exceptions(JsonBuilder& j, const Request& r) {
    j.Key("exceptions").Open('[');
    for (const auto& e : r.exceptions) {
        j.Open('{');
        OptionalString(j, "type", e.type);
        j.Key("message");
        if (e.hasMessage)
            j.String(e.message);
        else
            j.Null();
        j.Key("id").QuotedCount(e.id);
        OptionalString(j, "thrownIn", e.thrownIn);
        Strings(j, "stack", e.stack);
        OptionalString(j, "caughtBy", e.caughtBy);
        j.Key("leftRequest").Bool(e.leftRequest);
        j.Key("throws").Count(e.throws);
        j.Key("tid").Count(e.tid);
        j.Key("atMs").Number(Offset(r, e.timeNs));
        j.Close('}');
    }
    j.Close(']');
}

void Calls(JsonBuilder& j, const Request& r) {
    j.Key("calls").Open('[');
    for (const auto& c : r.calls) {
        j.Open('{');
        j.Key("name").String(c.name);
        j.Key("tid").Count(c.tid);
        j.Key("depth").Count(c.depth);
        j.Key("atMs").Number(Offset(r, c.startNs));
        j.Key("durationMs").Number(Span(c.startNs, c.endNs));
        if (c.unwound) j.Key("unwound").Bool(true);
        j.Close('}');
    }
    j.Close(']');
    j.Key("callsLeftOut").Count(r.callsLeftOut);
    j.Key("plumbingCalls").Count(r.plumbing);
    j.Key("itemsLeftOut").Count(r.itemsLeftOut);
}

}  // namespace

void AppendRequestJson(std::string& out, const Request& r) {
    JsonBuilder j(out);
    j.Open('{');
    j.Key("id").Count(r.id);
    j.Key("kind").String(r.kind);
    j.Key("pid").Count(r.pid);
    OptionalString(j, "method", r.method);
    OptionalString(j, "path", r.path);
    OptionalString(j, "route", r.route);
    OptionalString(j, "query", r.query);
    OptionalString(j, "host", r.host);
    OptionalString(j, "scheme", r.scheme);
    j.Key("status");
    if (r.status != 0)
        j.Int(r.status);
    else
        j.Null();
    j.Key("endpoint").String(r.Endpoint());
    j.Key("name").String(r.name);
    j.Key("start").String(IsoTime(r.startNs));
    j.Key("startNs").Count(r.startNs);
    j.Key("durationMs").Number(r.DurationMs());
    j.Key("complete").Bool(r.complete);
    j.Key("threads").Open('[');
    for (uint32_t tid : r.threads) j.Count(tid);
    j.Close(']');
    j.Key("continuations").Count(r.continuations);
    double sqlMs = 0;
    for (const auto& s : r.sql) sqlMs += Span(s.startNs, s.endNs);
    j.Key("sqlCount").Count(r.sql.size());
    j.Key("sqlMs").Number(sqlMs);
    Statements(j, r);
    Outgoing(j, r);
    Exceptions(j, r);
    j.Key("findings").Open('[');
    for (const auto& f : r.findings) j.String(f.name);
    j.Close(']');
    j.Key("notes").Open('[');
    for (const auto& f : r.findings) j.Open('{').Key("finding").String(f.name).Key("text").String(f.text).Close('}');
    j.Close(']');
    Calls(j, r);
    j.Key("traceId").Hex(r.traceId, sizeof r.traceId);
    j.Close('}');
}

void RequestFile::RequestEnded(const Request& request) {
    AppendRequestJson(file.buffer, request);
    file.buffer += '\n';
    ++written;
    if (file.buffer.size() >= file.drainAt) {
        file.Drain();
    }
}

}  // namespace QuorixCollect
