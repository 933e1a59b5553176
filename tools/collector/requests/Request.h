#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/SqlParameters.h"

namespace QuorixCollect {

// Times of a request's parts are nanoseconds since the epoch, as the run's clock gives them.

struct SqlStatement {
    std::string system;  // "postgresql", "mysql", ...
    std::string text;
    std::string server;  // host[:port] of the command's connection, when known
    std::string database;
    std::vector<SqlParameter> parameters;
    std::string method;  // the execute call, "Npgsql.NpgsqlCommand::ExecuteReaderAsync"
    uint32_t tid = 0;
    uint64_t startNs = 0;
    uint64_t endNs = 0;   // the execute call's end, or the end of its task when that came later
    bool failed = false;  // the execute call was left by an exception
    std::vector<std::string> findings;
};

struct OutgoingCall {
    std::string method;  // empty when not captured
    std::string url;
    int status = 0;  // 0: not captured
    uint32_t tid = 0;
    uint64_t startNs = 0;
    uint64_t endNs = 0;
    bool failed = false;
};

struct RedisCall {
    std::string command;  // the client's method, "StringGetAsync"
    std::string key;
    uint32_t tid = 0;
    uint64_t startNs = 0;
    uint64_t endNs = 0;
    bool failed = false;
};

struct RequestException {
    uint64_t id = 0;   // the exception object's address when thrown (the same for its rethrows)
    std::string type;  // empty when the agent did not report it
    std::string message;
    bool hasMessage = false;
    std::vector<std::string> stack;  // traced frames open at the (first) throw, outermost first
    std::string thrownIn;            // the innermost of them
    std::string caughtBy;            // the frame that went on after it, inside the request
    bool leftRequest = false;        // nothing inside the request caught it
    uint32_t tid = 0;
    uint64_t timeNs = 0;
    uint32_t throws = 0;  // throws and rethrows of the same object
};

struct RequestCall {
    std::string name;
    uint32_t tid = 0;
    uint32_t depth = 0;  // among the request's own frames on its thread
    uint64_t startNs = 0;
    uint64_t endNs = 0;
    bool unwound = false;
};

struct Finding {
    std::string name;  // n_plus_one, duplicate, slow_sql, slow_request, failed
    std::string text;  // one line that explains it
};

// One incoming request (kind "http") or, outside web apps, one root call with its async
// continuations (kind "trace"): everything it did, on every thread it ran on.
struct Request {
    uint64_t id = 0;  // from 1, in the order requests began
    std::string kind;
    uint32_t pid = 0;
    std::string name;  // the function where it began
    std::string method;
    std::string path;
    std::string route;  // the route template, when captured
    std::string query;  // "?a=b" or empty
    std::string host;
    std::string scheme;
    int status = 0;  // 0: not seen
    uint64_t startNs = 0;
    uint64_t endNs = 0;
    std::vector<uint32_t> threads;  // in the order the request reached them
    uint32_t continuations = 0;     // pieces joined on other threads or after an await
    bool complete = true;           // false: cut short (collection ended, or it never settled)

    std::vector<SqlStatement> sql;
    std::vector<OutgoingCall> http;
    std::vector<RedisCall> redis;
    std::vector<RequestException> exceptions;
    std::vector<RequestCall> calls;
    uint64_t callsLeftOut = 0;  // beyond the bound of calls kept per request
    uint64_t plumbing = 0;      // task and thread-pool bookkeeping calls, not kept
    uint64_t itemsLeftOut = 0;  // statements, outgoing or Redis calls, exceptions beyond their bound
    std::vector<Finding> findings;

    // For the span export: the request's trace and its root span.
    uint8_t traceId[16] = {};
    uint64_t spanId = 0;

    double DurationMs() const { return endNs > startNs ? static_cast<double>(endNs - startNs) / 1e6 : 0.0; }
    // The path with its variable parts (numbers, ids) as "{id}", or the route when known.
    std::string Endpoint() const;
    bool Failed() const;
    size_t Bytes() const;
};

}  // namespace QuorixCollect
