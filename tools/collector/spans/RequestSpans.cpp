// A request as one trace: the request's own span, its statements, and the names of exceptions.

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "dotnet/DotNetLibraries.h"
#include "spans/OtlpSpanBuilder.h"
#include "spans/SemanticConventions.h"

namespace QuorixCollect {

namespace {

void AddHostPort(const std::string& hostPort, std::vector<OtlpAttribute>& out) {
    if (hostPort.empty()) {
        return;
    }
    const size_t colon = hostPort.rfind(':');
    const bool bracketed = hostPort.front() == '[';
    const bool hasPort = colon != std::string::npos && colon + 1 < hostPort.size() &&
                         (bracketed ? hostPort[colon - 1] == ']' : hostPort.find(':') == colon) &&
                         hostPort.find_first_not_of("0123456789", colon + 1) == std::string::npos &&
                         hostPort.size() - colon - 1 <= 5;
    std::string host = hasPort ? hostPort.substr(0, colon) : hostPort;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    out.push_back(OtlpAttribute::String(SemConv::ServerAddress, host));
    if (hasPort) {
        out.push_back(OtlpAttribute::Int(SemConv::ServerPort, std::atoi(hostPort.c_str() + colon + 1)));
    }
}

// "SELECT", "INSERT", ... : the statement's first word.
std::string Operation(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\t' || text[i] == '(')) ++i;
    std::string op;
    for (; i < text.size() && op.size() < 16 && std::isalpha(static_cast<unsigned char>(text[i])) != 0; ++i) {
        op += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
    return op;
}

std::string Parameters(const SqlStatement& s) {
    std::string out;
    for (const auto& p : s.parameters) {
        if (!out.empty()) out += ", ";
        out += p.name + "=" + (p.isNull ? std::string("NULL") : p.isText ? "'" + p.value + "'" : p.value);
    }
    return out;
}

OtlpEvent ExceptionEvent(const RequestException& e) {
    OtlpEvent ev;
    ev.timeNs = e.timeNs;
    ev.name = "exception";
    ev.attributes.push_back(OtlpAttribute::String(SemConv::ExceptionType, e.type.empty() ? "exception" : e.type));
    ev.attributes.push_back(OtlpAttribute::String(SemConv::ExceptionMessage, e.hasMessage ? e.message : ""));
    std::string stack;
    for (size_t i = e.stack.size(); i-- > 0;) {
        stack += (stack.empty() ? "   at " : "\n   at ") + e.stack[i];
    }
    if (!stack.empty()) {
        ev.attributes.push_back(OtlpAttribute::String(SemConv::ExceptionStacktrace, stack));
    }
    ev.attributes.push_back(
        OtlpAttribute::String(SemConv::ExceptionCaughtBy, e.leftRequest ? "left the request" : e.caughtBy));
    return ev;
}

}  // namespace

bool OtlpSpanBuilder::JoinRequest(ThreadState& t, Frame& f, const MatchedCall& call) {
    if (requests == nullptr) {
        return false;
    }
    const Request* r = requests->OwnerOf(call.thread, call.depth);
    if (r == nullptr || r->kind != "http") {
        return false;  // outside web requests each root call begins its own trace, as before
    }
    f.inRequest = true;
    f.inWebRequest = r->kind == "http";
    const Frame* parent = call.depth > 0 ? &t.frames[call.depth - 1] : nullptr;
    if (parent != nullptr && !parent->dispatcher && requests->OwnerOf(call.thread, call.depth - 1) == r) {
        memcpy(f.traceId, parent->traceId, sizeof f.traceId);
        return true;
    }
    memcpy(f.traceId, r->traceId, sizeof f.traceId);
    if (r->kind != "http" && requests->IsRequestRoot(call.thread, call.depth)) {
        // A root call is its request's span itself: the trace needs no other root.
        f.spanId = r->spanId;
        f.traceRoot = true;
        return true;
    }
    // Where the request began, or a piece of it after an await or on another thread.
    f.piece = true;
    f.pieceParent = r->spanId;
    memcpy(f.traceId, r->traceId, sizeof f.traceId);
    return true;
}

void OtlpSpanBuilder::RequestEnded(const Request& r) {
    ProcessState* p = Described(r.pid);
    const std::shared_ptr<const OtlpResource> resource = p != nullptr ? Resource(*p, r.pid) : nullptr;
    if (r.kind != "http") {
        return;  // its root call's span is the request's, its statements are on their calls
    }
    OtlpSpan span;
    span.resource = resource;
    memcpy(span.traceId, r.traceId, sizeof span.traceId);
    span.spanId = r.spanId;
    span.startNs = r.startNs;
    span.endNs = std::max(r.startNs, r.endNs);
    if (r.kind == "http") {
        span.kind = 2;
        span.name = (r.method.empty() ? std::string("HTTP") : r.method) + " " +
                    (!r.route.empty() ? r.route
                     : r.path.empty() ? std::string("/")
                                      : r.path);
        if (!r.method.empty()) span.attributes.push_back(OtlpAttribute::String(SemConv::HttpRequestMethod, r.method));
        if (!r.route.empty()) span.attributes.push_back(OtlpAttribute::String(SemConv::HttpRoute, r.route));
        if (!r.path.empty()) span.attributes.push_back(OtlpAttribute::String(SemConv::UrlPath, r.path));
        if (r.query.size() > 1) {
            span.attributes.push_back(OtlpAttribute::String(SemConv::UrlQuery, MaskSecrets(r.query.substr(1))));
        }
        if (!r.scheme.empty()) span.attributes.push_back(OtlpAttribute::String(SemConv::UrlScheme, r.scheme));
        AddHostPort(r.host, span.attributes);
        if (r.status != 0) span.attributes.push_back(OtlpAttribute::Int(SemConv::HttpResponseStatusCode, r.status));
    } else {
        span.name = r.name;
    }
    span.attributes.push_back(OtlpAttribute::Int(SemConv::RequestId, static_cast<int64_t>(r.id)));
    span.attributes.push_back(OtlpAttribute::String(SemConv::RequestKind, r.kind));
    std::string findings;
    for (const auto& f : r.findings) {
        findings += (findings.empty() ? "" : ",") + f.name;
        if (f.name == "failed" && span.statusMessage.empty()) span.statusMessage = f.text;
    }
    if (!findings.empty()) span.attributes.push_back(OtlpAttribute::String(SemConv::Findings, findings));
    if (!r.complete) span.attributes.push_back(OtlpAttribute::Bool(SemConv::Unfinished, true));
    span.error = r.Failed();
    for (const auto& e : r.exceptions) {
        span.events.push_back(ExceptionEvent(e));
    }
    ++stats.requests;
    sink(std::move(span));
    SendStatements(r, resource);
}

void OtlpSpanBuilder::SendStatements(const Request& r, const std::shared_ptr<const OtlpResource>& resource) {
    for (const auto& s : r.sql) {
        OtlpSpan span;
        span.resource = resource;
        memcpy(span.traceId, r.traceId, sizeof span.traceId);
        span.spanId = NextId();
        span.parentSpanId = r.spanId;
        span.kind = 3;
        const std::string op = Operation(s.text);
        span.name = (op.empty() ? std::string("SQL") : op) + (s.database.empty() ? "" : " " + s.database);
        span.startNs = s.startNs;
        span.endNs = std::max(s.startNs, s.endNs);
        if (!s.system.empty()) span.attributes.push_back(OtlpAttribute::String(SemConv::DbSystemName, s.system));
        span.attributes.push_back(OtlpAttribute::String(SemConv::DbQueryText, s.text));
        if (!op.empty()) span.attributes.push_back(OtlpAttribute::String(SemConv::DbOperationName, op));
        if (!s.database.empty()) span.attributes.push_back(OtlpAttribute::String(SemConv::DbNamespace, s.database));
        AddHostPort(s.server, span.attributes);
        if (!s.parameters.empty()) {
            span.attributes.push_back(OtlpAttribute::String(SemConv::DbParameters, Parameters(s)));
        }
        span.attributes.push_back(OtlpAttribute::Int(SemConv::ThreadId, s.tid));
        span.error = s.failed;
        ++stats.requests;
        sink(std::move(span));
    }
}

}  // namespace QuorixCollect
