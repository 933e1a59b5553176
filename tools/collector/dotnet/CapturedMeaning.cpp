#include "dotnet/CapturedMeaning.h"

#include <cctype>

#include "dotnet/DotNetLibraries.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

bool StringOf(const ValueRecord& v, std::string& out) {
    if (!v.error.empty()) {
        return false;
    }
    switch (static_cast<ValueType>(v.type)) {
        case ValueType::String:
            out = v.text;
            return true;
        case ValueType::LongString:
            out = v.text + "...";
            return true;
        case ValueType::EmptyString:
            out.clear();
            return true;
        default:
            return false;
    }
}

bool IntegerOf(const ValueRecord& v, int64_t& out) {
    if (!v.error.empty() || !v.hasPayload) {
        return false;
    }
    const uint64_t b = v.scalarBits;
    switch (static_cast<ValueType>(v.type)) {
        case ValueType::Boolean:
        case ValueType::Byte:
            out = static_cast<int64_t>(b & 0xFF);
            return true;
        case ValueType::Int16:
            out = static_cast<int16_t>(b & 0xFFFF);
            return true;
        case ValueType::UInt16:
            out = static_cast<int64_t>(b & 0xFFFF);
            return true;
        case ValueType::Int32:
            out = static_cast<int32_t>(b & 0xFFFFFFFF);
            return true;
        case ValueType::UInt32:
            out = static_cast<int64_t>(b & 0xFFFFFFFF);
            return true;
        case ValueType::Int64:
        case ValueType::UInt64:
            out = static_cast<int64_t>(b);
            return true;  // beyond 2^63 wraps, as JSON would not hold it either
        default:
            return false;
    }
}

namespace {

std::string Lower(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != ' ') {
            out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    return out;
}

Meaning DatabaseMeaning(const Leaf& l, std::string_view cls, std::string_view method, std::string_view name) {
    if (l.isText && IsDbCommandClass(cls) &&
        (name == "cmdText" || name == "commandText" || name == "sql" ||
         (name == "value" && method == "set_CommandText"))) {
        return Meaning::DbQueryText;
    }
    if (l.isText && IsDbConnectionClass(cls) &&
        (name == "connectionString" || name == "ConnectionString" ||
         (name == "value" && method == "set_ConnectionString"))) {
        return Meaning::DbConnectionString;
    }
    return Meaning::None;
}

Meaning RedisMeaning(const Leaf& l, std::string_view name) {
    if (l.isText && (name == "Key1" || name == "Key2")) {
        return Meaning::RedisKey;
    }
    if (l.isText && name == "configuration") {
        return Meaning::RedisConfiguration;
    }
    return l.isInt && name == "db" ? Meaning::RedisDatabase : Meaning::None;
}

Meaning RequestMethodMeaning(Leaf& l) {
    if (l.isText && !l.text.empty()) {
        return Meaning::RequestMethod;
    }
    if (l.isInt && !KestrelMethod(l.number).empty()) {
        l.text = std::string(KestrelMethod(l.number));
        l.isText = true;
        return Meaning::RequestMethod;
    }
    return Meaning::None;
}

Meaning IncomingMeaning(Leaf& l, std::string_view method, std::string_view name) {
    const bool returned = name == "returnValue";
    if (l.isText && (name == "HttpPath" || name == "RawUrl" || name == "cacheUrl" || name == "target")) {
        return Meaning::RequestTarget;
    }
    if (l.isText && returned && (EndsWith(method, "get_Path") || method == "GetOriginalPath")) {
        return Meaning::RequestTarget;
    }
    if (l.isText && !l.text.empty() && method == "set_Path" && name == "value") {
        return Meaning::RequestTarget;
    }
    if (l.isText && !l.text.empty() &&
        ((EndsWith(method, "get_QueryString") && returned) || (method == "set_QueryString" && name == "value"))) {
        return Meaning::RequestQuery;
    }
    const bool methodField = name == "HttpMethod" || name == "Verb" || name == "method" ||
                             ((EndsWith(method, "get_Method") || EndsWith(method, "get_MethodText")) && returned) ||
                             (method == "set_Method" && name == "value");
    if (methodField) {
        return RequestMethodMeaning(l);
    }
    if (l.isText && !l.text.empty() && (method == "set_Scheme" || EndsWith(method, "get_Scheme")) &&
        (name == "value" || returned)) {
        return Meaning::RequestScheme;
    }
    if (l.isInt && l.number >= 100 && l.number < 600 &&
        (name == "statusCode" ||
         ((EndsWith(method, "get_StatusCode") || EndsWith(method, "set_StatusCode") || method == "SendStatus") &&
          (name == "value" || returned)))) {
        return Meaning::ResponseStatus;
    }
    if (l.isText && (name == "hostText" || name == "uriComponent")) {
        return Meaning::RequestHost;
    }
    return Meaning::None;
}

}  // namespace

DbTarget ParseConnectionString(std::string_view text) {
    std::string host, port;
    DbTarget target;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view part = text.substr(start, end - start);
        const size_t eq = part.find('=');
        if (eq != std::string_view::npos) {
            const std::string key = Lower(part.substr(0, eq));
            std::string value(part.substr(eq + 1));
            if (key == "host" || key == "server" || key == "datasource" || key == "address" || key == "addr") {
                host = value;
            } else if (key == "port") {
                port = value;
            } else if (key == "database" || key == "initialcatalog") {
                target.database = value;
            }
        }
        start = end + 1;
    }
    // "tcp:host,1433" and "host,port" as SQL Server writes them.
    if (StartsWith(host, "tcp:")) {
        host = host.substr(4);
    }
    const size_t comma = host.find(',');
    if (comma != std::string::npos) {
        if (port.empty()) {
            port = host.substr(comma + 1);
        }
        host = host.substr(0, comma);
    }
    if (!host.empty()) {
        target.server = port.empty() ? host : host + ":" + port;
    }
    return target;
}

Leaf ReadLeaf(std::string_view cls, std::string_view method, std::string_view name, const ValueRecord& v) {
    Leaf l;
    l.isText = StringOf(v, l.text);
    l.isInt = IntegerOf(v, l.number);
    l.meaning = DatabaseMeaning(l, cls, method, name);
    if (l.meaning == Meaning::None && IsRedisClass(cls)) {
        l.meaning = RedisMeaning(l, name);
    }
    if (l.meaning == Meaning::None && l.isText && IsOutgoingHttpClass(cls) &&
        (name == "Uri" || name == "uriValue" || name == "Url" || name == "requestUri")) {
        l.meaning = Meaning::OutgoingUrl;
    }
    if (l.meaning == Meaning::None && IsIncomingHttpClass(cls)) {
        l.meaning = IncomingMeaning(l, method, name);
    }
    return l;
}

}  // namespace QuorixCollect
