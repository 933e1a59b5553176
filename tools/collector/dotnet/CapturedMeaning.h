#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "wire/ValueRecord.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

// What one captured leaf value of a .NET library call stands for, for everything that reads
// meaning into values: the span attributes and the requests.
enum class Meaning : uint8_t {
    None,
    DbQueryText,         // text set on, or given to, a database command
    DbConnectionString,  // of a database connection
    RedisKey,
    RedisConfiguration,
    RedisDatabase,  // number
    OutgoingUrl,    // an HTTP client's request URL
    RequestTarget,  // path, maybe with "?query", of the incoming request
    RequestQuery,   // "?a=b" of the incoming request
    RequestMethod,  // text, Kestrel's enumeration resolved
    RequestScheme,
    RequestHost,     // host[:port] of the incoming request
    ResponseStatus,  // number, 100 to 599
};

struct Leaf {
    Meaning meaning = Meaning::None;
    bool isText = false;
    bool isInt = false;
    std::string text;  // for text leaves (a cut long string ends with "...")
    int64_t number = 0;
};

// The text of a string value; false for anything that is not a non-null string.
bool StringOf(const ValueRecord& v, std::string& out);
// The integer of an integral or Boolean value.
bool IntegerOf(const ValueRecord& v, int64_t& out);

// Where a database connection string points.
struct DbTarget {
    std::string server;  // "host" or "host:port"
    std::string database;
};
DbTarget ParseConnectionString(std::string_view text);

// Reads one leaf value named `name` of a call of `className::methodName`.
Leaf ReadLeaf(std::string_view className, std::string_view methodName, std::string_view name, const ValueRecord& v);

// Calls `visit(leafName, value)` for every leaf under a captured value, fields of objects and
// structures included; a leaf is named by its own name, or by the value's when it has none.
template <typename Visit>
void VisitLeaves(const ValueRecord& v, std::string_view name, Visit&& visit) {
    const auto type = static_cast<ValueType>(v.type);
    if ((type == ValueType::Struct || type == ValueType::Object) && !v.children.empty()) {
        for (const auto& child : v.children) {
            VisitLeaves(child, child.name, visit);
        }
        return;
    }
    visit(v.name.empty() ? name : std::string_view(v.name), v);
}

}  // namespace QuorixCollect
