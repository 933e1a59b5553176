#include "spans/OtlpConventions.h"
#include "inspection/SecretMasker.h"
#include "spans/SemanticConventions.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "wire/WireFormat.h"

namespace QuorixCollect {

OtlpAttribute OtlpAttribute::String(std::string key, std::string text) {
    OtlpAttribute a;
    a.key = std::move(key);
    a.kind = Kind::String;
    a.text = std::move(text);
    return a;
}

OtlpAttribute OtlpAttribute::Int(std::string key, int64_t value) {
    OtlpAttribute a;
    a.key = std::move(key);
    a.kind = Kind::Int;
    a.number = value;
    return a;
}

OtlpAttribute OtlpAttribute::Double(std::string key, double value) {
    OtlpAttribute a;
    a.key = std::move(key);
    a.kind = Kind::Double;
    a.real = value;
    return a;
}

OtlpAttribute OtlpAttribute::Bool(std::string key, bool value) {
    OtlpAttribute a;
    a.key = std::move(key);
    a.kind = Kind::Bool;
    a.flag = value;
    return a;
}

void AddAttributeOnce(std::vector<OtlpAttribute>& list, const OtlpAttribute& attribute) {
    for (const auto& a : list) {
        if (a.key == attribute.key) {
            return;
        }
    }
    list.push_back(attribute);
}

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

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

std::string_view DatabaseSystem(std::string_view className) {
    if (StartsWith(className, "Npgsql.")) {
        return "postgresql";
    }
    if (StartsWith(className, "MySqlConnector.") || StartsWith(className, "MySql.Data.") ||
        StartsWith(className, "Pomelo.EntityFrameworkCore.MySql.")) {
        return "mysql";
    }
    if (StartsWith(className, "System.Data.SqlClient.") || StartsWith(className, "Microsoft.Data.SqlClient.")) {
        return "microsoft.sql_server";
    }
    if (StartsWith(className, "Oracle.")) {
        return "oracle.db";
    }
    if (StartsWith(className, "EnterpriseDB.") || StartsWith(className, "System.Data.Common.")) {
        return "other_sql";
    }
    return {};
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

std::string_view KestrelMethod(int64_t value) {
    static const char* const names[] = {"GET", "PUT", "DELETE", "POST", "HEAD", "TRACE", "PATCH", "CONNECT", "OPTIONS"};
    if (value >= 0 && value < 9) {
        return names[value];
    }
    return value == 9 ? "_OTHER" : std::string_view{};
}

bool IsDbCommandClass(std::string_view cls) {
    return !DatabaseSystem(cls).empty() && (EndsWith(cls, "Command") || EndsWith(cls, "RelationalConnection"));
}

bool IsDbConnectionClass(std::string_view cls) { return !DatabaseSystem(cls).empty() && EndsWith(cls, "Connection"); }

bool IsIncomingHttpClass(std::string_view cls) {
    return StartsWith(cls, "Microsoft.AspNetCore.") || StartsWith(cls, "Microsoft.Owin.") ||
           StartsWith(cls, "System.Web.");
}

bool IsCorrelationMachinery(std::string_view cls) {
    return StartsWith(cls, "System.Threading.") || StartsWith(cls, "System.Runtime.CompilerServices.");
}

// Maps one leaf value; true when a semantic-convention attribute took it.
bool MapLeaf(std::string_view cls, std::string_view method, std::string_view leaf, const ValueRecord& v,
             std::vector<OtlpAttribute>& out) {
    std::string text;
    int64_t n = 0;
    const bool isText = StringOf(v, text);
    const bool isInt = IntegerOf(v, n);

    if (isText && IsDbCommandClass(cls) &&
        (leaf == "cmdText" || leaf == "commandText" || leaf == "sql" ||
         (leaf == "value" && method == "set_CommandText"))) {
        out.push_back(OtlpAttribute::String(SemConv::DbSystemName, std::string(DatabaseSystem(cls))));
        out.push_back(OtlpAttribute::String(SemConv::DbQueryText, text));
        return true;
    }
    if (isText && IsDbConnectionClass(cls) &&
        (leaf == "connectionString" || leaf == "ConnectionString" ||
         (leaf == "value" && method == "set_ConnectionString"))) {
        out.push_back(OtlpAttribute::String(SemConv::DbSystemName, std::string(DatabaseSystem(cls))));
        AddConnectionString(text, out);
        out.push_back(OtlpAttribute::String(SemConv::DbConnectionString, MaskSecrets(text)));
        return true;
    }
    if (StartsWith(cls, "StackExchange.Redis.") || StartsWith(cls, "ServiceStack.Redis.")) {
        if (isText && (leaf == "Key1" || leaf == "Key2")) {
            AddAttributeOnce(out, OtlpAttribute::String(SemConv::DbSystemName, "redis"));
            AddAttributeOnce(out, OtlpAttribute::String(SemConv::DbOperationName, std::string(method)));
            out.push_back(OtlpAttribute::String(SemConv::RedisKey, text));
            return true;
        }
        if (isText && leaf == "configuration") {
            AddAttributeOnce(out, OtlpAttribute::String(SemConv::DbSystemName, "redis"));
            const std::string first = text.substr(0, text.find(','));
            if (first.find('=') == std::string::npos) {
                AddServer(first, out);
            }
            out.push_back(OtlpAttribute::String(SemConv::RedisConfiguration, MaskSecrets(text)));
            return true;
        }
        if (isInt && leaf == "db") {
            out.push_back(OtlpAttribute::String(SemConv::DbSystemName, "redis"));
            out.push_back(OtlpAttribute::String(SemConv::DbNamespace, std::to_string(n)));
            return true;
        }
    }
    if (isText && (leaf == "Uri" || leaf == "uriValue" || leaf == "Url" || leaf == "requestUri") &&
        (StartsWith(cls, "System.Net.") || StartsWith(cls, "Elasticsearch."))) {
        AddUrl(text, out);
        return true;
    }
    if (IsIncomingHttpClass(cls)) {
        if (isText && (leaf == "HttpPath" || leaf == "RawUrl" || leaf == "cacheUrl" || leaf == "target")) {
            AddPathAndQuery(text, out);
            return true;
        }
        if (isText && (EndsWith(method, "get_Path") || method == "GetOriginalPath") && leaf == "returnValue") {
            AddPathAndQuery(text, out);
            return true;
        }
        const bool methodField =
            leaf == "HttpMethod" || leaf == "Verb" || leaf == "method" ||
            ((EndsWith(method, "get_Method") || EndsWith(method, "get_MethodText")) && leaf == "returnValue") ||
            (method == "set_Method" && leaf == "value");
        if (methodField) {
            if (isText && !text.empty()) {
                out.push_back(OtlpAttribute::String(SemConv::HttpRequestMethod, text));
                return true;
            }
            if (isInt && !KestrelMethod(n).empty()) {
                out.push_back(OtlpAttribute::String(SemConv::HttpRequestMethod, std::string(KestrelMethod(n))));
                return true;
            }
            return false;
        }
        if (isText && !text.empty() && (method == "set_Scheme" || EndsWith(method, "get_Scheme")) &&
            (leaf == "value" || leaf == "returnValue")) {
            out.push_back(OtlpAttribute::String(SemConv::UrlScheme, text));
            return true;
        }
        if (isInt && n >= 100 && n < 600 &&
            (leaf == "statusCode" ||
             ((EndsWith(method, "get_StatusCode") || EndsWith(method, "set_StatusCode") || method == "SendStatus") &&
              (leaf == "value" || leaf == "returnValue")))) {
            out.push_back(OtlpAttribute::Int(SemConv::HttpResponseStatusCode, n));
            return true;
        }
        if (isText && (leaf == "hostText" || leaf == "uriComponent")) {
            AddServer(text, out);
            return true;
        }
    }
    return false;
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

CallRole RoleOf(std::string_view cls, std::string_view method) {
    if (method == "ProcessRequestAsync" && (cls == "Microsoft.AspNetCore.Hosting.HostingApplication" ||
                                            cls == "Microsoft.AspNetCore.Hosting.Internal.HostingApplication" ||
                                            cls == "Microsoft.AspNetCore.Server.IIS.Core.IISHttpContextOfT`1")) {
        return CallRole::RequestEntry;
    }
    if ((cls == "Microsoft.AspNetCore.Server.IIS.Core.IISHttpContext" && method == "HandleRequest") ||
        (cls == "Microsoft.Owin.Host.HttpListener.OwinHttpListener" && method == "StartProcessingRequest") ||
        (cls == "System.Web.Hosting.PipelineRuntime" && method == "ProcessRequestNotification")) {
        return CallRole::RequestEntry;
    }
    if ((cls == "System.Threading.ThreadPoolWorkQueue" && method == "Dispatch") ||
        (cls == "System.Threading.ThreadHelper" && method == "ThreadStart") ||
        (cls == "System.Threading.TimerQueueTimer" && method == "CallCallback") ||
        (cls == "System.Threading._IOCompletionCallback" && method == "PerformIOCompletionCallback") ||
        (cls == "System.Threading.ExecutionContext" &&
         (method == "RunFromThreadPoolDispatchLoop" || method == "RunInternal" || method == "Run" ||
          method == "RunForThreadPoolUnsafe")) ||
        (cls == "System.Threading.Tasks.Task" &&
         (method == "ExecuteEntry" || method == "ExecuteEntryUnsafe" || method == "ExecuteWithThreadLocal" ||
          method == "FinishContinuations" || method == "RunContinuations"))) {
        return CallRole::Dispatcher;
    }
    return CallRole::Plain;
}

MappedValues MapCapturedValue(std::string_view className, std::string_view methodName, const ValueRecord& value,
                              bool isReturnValue, std::vector<OtlpAttribute>& out) {
    MappedValues result;
    const std::string root = isReturnValue ? std::string(SemConv::ReturnValue) : SemConv::ArgPrefix + value.name;
    // The return value is found under its own name by the rules.
    ValueRecord const* v = &value;
    MapTree(className, methodName, root, *v, out, result);
    return result;
}

std::string_view DatabaseCommandSystem(std::string_view className) {
    return EndsWith(className, "Command") ? DatabaseSystem(className) : std::string_view{};
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
