#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// What the span export knows of .NET libraries: which classes talk to databases, caches and
// HTTP, and which methods are the runtime's dispatch machinery or a host's request entry.

namespace QuorixCollect {

inline bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

inline bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The class of a "Class::Method" name; empty when it has none.
inline std::string_view ClassOf(std::string_view name) {
    const size_t sep = name.find("::");
    return sep == std::string_view::npos ? std::string_view{} : name.substr(0, sep);
}

// The method without the ":[Attribute]" the agent appends to marked methods.
inline std::string_view MethodOf(std::string_view name) {
    const size_t sep = name.find("::");
    std::string_view method = sep == std::string_view::npos ? name : name.substr(sep + 2);
    const size_t mark = method.find(":[");
    return mark == std::string_view::npos ? method : method.substr(0, mark);
}

// What a function is to the trace structure.
enum class CallRole : uint8_t {
    Plain,
    // Thread-pool and thread-start machinery: when only such calls are open on a thread, the
    // next call begins a trace of its own and they are never exported themselves, so a pool
    // thread's loop does not glue unrelated work items into one trace.
    Dispatcher,
    // Where the host hands an incoming request to the app: always begins a trace.
    RequestEntry,
};
CallRole RoleOf(std::string_view className, std::string_view methodName);

// "postgresql", "mysql", ... for a database client class; empty for anything else.
std::string_view DatabaseSystem(std::string_view className);
// The same for a command class ("Npgsql.NpgsqlCommand") only.
std::string_view DatabaseCommandSystem(std::string_view className);
// The HTTP method of Kestrel's method enumeration; empty outside it.
std::string_view KestrelMethod(int64_t value);

bool IsDbCommandClass(std::string_view cls);
bool IsDbConnectionClass(std::string_view cls);
bool IsRedisClass(std::string_view cls);
bool IsOutgoingHttpClass(std::string_view cls);
bool IsIncomingHttpClass(std::string_view cls);
// Task and async bookkeeping, whose captured values say nothing about the work.
bool IsCorrelationMachinery(std::string_view cls);

}  // namespace QuorixCollect
