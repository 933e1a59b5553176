#include "spans/OtlpConventions.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "inspection/SecretMasker.h"
#include "spans/DotNetLibraries.h"
#include "spans/SemanticConventions.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

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

// The text of a string value; false for anything that is not a non-null string.
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
            out = static_cast<int64_t>(b);
            return true;
        case ValueType::UInt64:
            out = static_cast<int64_t>(b);
            return true;  // beyond 2^63 wraps, as JSON would not hold it either
        default:
            return false;
    }
}

// Generic form of a leaf under the "quorix." prefix.
void AddGeneric(const std::string& key, const ValueRecord& v, std::vector<OtlpAttribute>& out) {
    std::string text;
    int64_t n = 0;
    if (StringOf(v, text)) {
        out.push_back(OtlpAttribute::String(key, MaskSecrets(text)));
    } else if (static_cast<ValueType>(v.type) == ValueType::Boolean && IntegerOf(v, n)) {
        out.push_back(OtlpAttribute::Bool(key, n != 0));
    } else if (IntegerOf(v, n)) {
        out.push_back(OtlpAttribute::Int(key, n));
    } else if ((v.type == static_cast<uint8_t>(ValueType::Single) ||
                v.type == static_cast<uint8_t>(ValueType::Double)) &&
               v.hasPayload && v.error.empty()) {
        double d = 0;
        if (v.type == static_cast<uint8_t>(ValueType::Double)) {
            memcpy(&d, &v.scalarBits, sizeof d);
        } else {
            float f = 0;
            const uint32_t bits = static_cast<uint32_t>(v.scalarBits);
            memcpy(&f, &bits, sizeof f);
            d = f;
        }
        out.push_back(OtlpAttribute::Double(key, d));
    } else if (v.type == static_cast<uint8_t>(ValueType::NullString) ||
               v.type == static_cast<uint8_t>(ValueType::NullObject)) {
        // Nothing worth sending: OTLP has no null.
    } else {
        out.push_back(OtlpAttribute::String(key, FormatValue(v, 200)));
    }
}

// host[:port] into server.address / server.port.
void AddServer(std::string_view hostPort, std::vector<OtlpAttribute>& out) {
    while (!hostPort.empty() && hostPort.front() == ' ') {
        hostPort.remove_prefix(1);
    }
    if (hostPort.empty()) {
        return;
    }
    std::string_view host = hostPort;
    std::string_view port;
    if (host.front() == '[') {
        const size_t close = host.find(']');
        if (close != std::string_view::npos) {
            port = close + 1 < host.size() && host[close + 1] == ':' ? host.substr(close + 2) : std::string_view{};
            host = host.substr(1, close - 1);
        }
    } else if (host.find(':') == host.rfind(':') && host.find(':') != std::string_view::npos) {
        port = host.substr(host.find(':') + 1);
        host = host.substr(0, host.find(':'));
    }
    AddAttributeOnce(out, OtlpAttribute::String(SemConv::ServerAddress, std::string(host)));
    if (!port.empty() && port.size() <= 5 && std::all_of(port.begin(), port.end(), ::isdigit)) {
        AddAttributeOnce(out, OtlpAttribute::Int(SemConv::ServerPort, std::stoi(std::string(port))));
    }
}

void AddUrl(const std::string& url, std::vector<OtlpAttribute>& out) {
    out.push_back(OtlpAttribute::String(SemConv::UrlFull, MaskSecrets(url)));
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return;
    }
    out.push_back(OtlpAttribute::String(SemConv::UrlScheme, url.substr(0, scheme)));
    std::string_view rest = std::string_view(url).substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    const size_t at = rest.rfind('@');
    if (at != std::string_view::npos) {
        rest = rest.substr(at + 1);
    }
    AddServer(rest, out);
}

void AddPathAndQuery(std::string_view target, std::vector<OtlpAttribute>& out) {
    const size_t q = target.find('?');
    out.push_back(OtlpAttribute::String(SemConv::UrlPath, std::string(target.substr(0, q))));
    if (q != std::string_view::npos) {
        out.push_back(OtlpAttribute::String(SemConv::UrlQuery, MaskSecrets(target.substr(q + 1))));
    }
}

// Host, port and database from an ADO.NET connection string.
void AddConnectionString(std::string_view text, std::vector<OtlpAttribute>& out) {
    std::string host, port, database;
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
                database = value;
            }
        }
        start = end + 1;
    }
    if (!host.empty()) {
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
        AddServer(port.empty() ? host : host + ":" + port, out);
    }
    if (!database.empty()) {
        out.push_back(OtlpAttribute::String(SemConv::DbNamespace, database));
    }
}

// The leaf maps of one kind of library each; true when a semantic-convention attribute took it.
struct Leaf {
    std::string_view cls;
    std::string_view method;
    std::string_view name;
    bool isText;
    bool isInt;
    std::string text;
    int64_t n;
};

bool MapDatabaseLeaf(const Leaf& l, std::vector<OtlpAttribute>& out) {
    if (l.isText && IsDbCommandClass(l.cls) &&
        (l.name == "cmdText" || l.name == "commandText" || l.name == "sql" ||
         (l.name == "value" && l.method == "set_CommandText"))) {
        out.push_back(OtlpAttribute::String(SemConv::DbSystemName, std::string(DatabaseSystem(l.cls))));
        out.push_back(OtlpAttribute::String(SemConv::DbQueryText, l.text));
        return true;
    }
    if (l.isText && IsDbConnectionClass(l.cls) &&
        (l.name == "connectionString" || l.name == "ConnectionString" ||
         (l.name == "value" && l.method == "set_ConnectionString"))) {
        out.push_back(OtlpAttribute::String(SemConv::DbSystemName, std::string(DatabaseSystem(l.cls))));
        AddConnectionString(l.text, out);
        out.push_back(OtlpAttribute::String(SemConv::DbConnectionString, MaskSecrets(l.text)));
        return true;
    }
    return false;
}

bool MapRedisLeaf(const Leaf& l, std::vector<OtlpAttribute>& out) {
    if (l.isText && (l.name == "Key1" || l.name == "Key2")) {
        AddAttributeOnce(out, OtlpAttribute::String(SemConv::DbSystemName, "redis"));
        AddAttributeOnce(out, OtlpAttribute::String(SemConv::DbOperationName, std::string(l.method)));
        out.push_back(OtlpAttribute::String(SemConv::RedisKey, l.text));
        return true;
    }
    if (l.isText && l.name == "configuration") {
        AddAttributeOnce(out, OtlpAttribute::String(SemConv::DbSystemName, "redis"));
        const std::string first = l.text.substr(0, l.text.find(','));
        if (first.find('=') == std::string::npos) {
            AddServer(first, out);
        }
        out.push_back(OtlpAttribute::String(SemConv::RedisConfiguration, MaskSecrets(l.text)));
        return true;
    }
    if (l.isInt && l.name == "db") {
        out.push_back(OtlpAttribute::String(SemConv::DbSystemName, "redis"));
        out.push_back(OtlpAttribute::String(SemConv::DbNamespace, std::to_string(l.n)));
        return true;
    }
    return false;
}

bool MapRequestMethod(const Leaf& l, std::vector<OtlpAttribute>& out) {
    if (l.isText && !l.text.empty()) {
        out.push_back(OtlpAttribute::String(SemConv::HttpRequestMethod, l.text));
        return true;
    }
    if (l.isInt && !KestrelMethod(l.n).empty()) {
        out.push_back(OtlpAttribute::String(SemConv::HttpRequestMethod, std::string(KestrelMethod(l.n))));
        return true;
    }
    return false;
}

bool MapIncomingHttpLeaf(const Leaf& l, std::vector<OtlpAttribute>& out) {
    const std::string_view method = l.method;
    const std::string_view name = l.name;
    if (l.isText && (name == "HttpPath" || name == "RawUrl" || name == "cacheUrl" || name == "target")) {
        AddPathAndQuery(l.text, out);
        return true;
    }
    if (l.isText && (EndsWith(method, "get_Path") || method == "GetOriginalPath") && name == "returnValue") {
        AddPathAndQuery(l.text, out);
        return true;
    }
    const bool methodField =
        name == "HttpMethod" || name == "Verb" || name == "method" ||
        ((EndsWith(method, "get_Method") || EndsWith(method, "get_MethodText")) && name == "returnValue") ||
        (method == "set_Method" && name == "value");
    if (methodField) {
        return MapRequestMethod(l, out);
    }
    if (l.isText && !l.text.empty() && (method == "set_Scheme" || EndsWith(method, "get_Scheme")) &&
        (name == "value" || name == "returnValue")) {
        out.push_back(OtlpAttribute::String(SemConv::UrlScheme, l.text));
        return true;
    }
    if (l.isInt && l.n >= 100 && l.n < 600 &&
        (name == "statusCode" ||
         ((EndsWith(method, "get_StatusCode") || EndsWith(method, "set_StatusCode") || method == "SendStatus") &&
          (name == "value" || name == "returnValue")))) {
        out.push_back(OtlpAttribute::Int(SemConv::HttpResponseStatusCode, l.n));
        return true;
    }
    if (l.isText && (name == "hostText" || name == "uriComponent")) {
        AddServer(l.text, out);
        return true;
    }
    return false;
}

// Maps one leaf value; true when a semantic-convention attribute took it.
bool MapLeaf(std::string_view cls, std::string_view method, std::string_view name, const ValueRecord& v,
             std::vector<OtlpAttribute>& out) {
    Leaf l{cls, method, name, false, false, {}, 0};
    l.isText = StringOf(v, l.text);
    l.isInt = IntegerOf(v, l.n);
    if (MapDatabaseLeaf(l, out)) {
        return true;
    }
    if (IsRedisClass(cls) && MapRedisLeaf(l, out)) {
        return true;
    }
    if (l.isText && (name == "Uri" || name == "uriValue" || name == "Url" || name == "requestUri") &&
        IsOutgoingHttpClass(cls)) {
        AddUrl(l.text, out);
        return true;
    }
    return IsIncomingHttpClass(cls) && MapIncomingHttpLeaf(l, out);
}

void MapTree(std::string_view cls, std::string_view method, const std::string& path, const ValueRecord& v,
             std::vector<OtlpAttribute>& out, MappedValues& result) {
    const auto type = static_cast<ValueType>(v.type);
    if ((type == ValueType::Struct || type == ValueType::Object) && !v.children.empty()) {
        for (const auto& child : v.children) {
            MapTree(cls, method, path + "." + child.name, child, out, result);
        }
        return;
    }
    const std::string_view leaf = v.name.empty() ? std::string_view(path) : std::string_view(v.name);
    if (MapLeaf(cls, method, leaf, v, out)) {
        result.meaningful = true;
        return;
    }
    if (leaf == "AsyncTaskId" || leaf == "AsyncState") {
        return;  // correlation bookkeeping, no use on a span
    }
    AddGeneric(path, v, out);
    std::string text;
    if (StringOf(v, text) && !text.empty() && !IsCorrelationMachinery(cls)) {
        result.meaningful = true;
    }
}

}  // namespace

MappedValues MapCapturedValue(std::string_view className, std::string_view methodName, const ValueRecord& value,
                              bool isReturnValue, std::vector<OtlpAttribute>& out) {
    MappedValues result;
    const std::string root = isReturnValue ? std::string(SemConv::ReturnValue) : SemConv::ArgPrefix + value.name;
    // The return value is found under its own name by the rules.
    ValueRecord const* v = &value;
    MapTree(className, methodName, root, *v, out, result);
    return result;
}

bool IsRequestAttribute(std::string_view key) {
    return key == SemConv::HttpRequestMethod || key == SemConv::HttpResponseStatusCode || key == SemConv::UrlPath ||
           key == SemConv::UrlQuery || key == SemConv::UrlScheme;
}

std::string MaskSecrets(std::string_view text) {
    // The agent's rules: what one side masks, the other does too.
    return SecretMasker::Masked(std::string(text));
}

}  // namespace QuorixCollect
