#include "spans/OtlpConventions.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "inspection/SecretMasker.h"
#include "dotnet/CapturedMeaning.h"
#include "dotnet/DotNetLibraries.h"
#include "spans/SemanticConventions.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

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
    const DbTarget target = ParseConnectionString(text);
    if (!target.server.empty()) {
        AddServer(target.server, out);
    }
    if (!target.database.empty()) {
        out.push_back(OtlpAttribute::String(SemConv::DbNamespace, target.database));
    }
}

void AddRedis(std::string_view method, std::vector<OtlpAttribute>& out) {
    AddAttributeOnce(out, OtlpAttribute::String(SemConv::DbSystemName, "redis"));
    AddAttributeOnce(out, OtlpAttribute::String(SemConv::DbOperationName, std::string(method)));
}

// Maps one leaf value; true when a semantic-convention attribute took it.
bool MapLeaf(std::string_view cls, std::string_view method, std::string_view name, const ValueRecord& v,
             std::vector<OtlpAttribute>& out) {
    const Leaf l = ReadLeaf(cls, method, name, v);
    switch (l.meaning) {
        case Meaning::None:
            return false;
        case Meaning::DbQueryText:
            out.push_back(OtlpAttribute::String(SemConv::DbSystemName, std::string(DatabaseSystem(cls))));
            out.push_back(OtlpAttribute::String(SemConv::DbQueryText, l.text));
            return true;
        case Meaning::DbConnectionString:
            out.push_back(OtlpAttribute::String(SemConv::DbSystemName, std::string(DatabaseSystem(cls))));
            AddConnectionString(l.text, out);
            out.push_back(OtlpAttribute::String(SemConv::DbConnectionString, MaskSecrets(l.text)));
            return true;
        case Meaning::RedisKey:
            AddRedis(method, out);
            out.push_back(OtlpAttribute::String(SemConv::RedisKey, l.text));
            return true;
        case Meaning::RedisConfiguration: {
            AddAttributeOnce(out, OtlpAttribute::String(SemConv::DbSystemName, "redis"));
            const std::string first = l.text.substr(0, l.text.find(','));
            if (first.find('=') == std::string::npos) {
                AddServer(first, out);
            }
            out.push_back(OtlpAttribute::String(SemConv::RedisConfiguration, MaskSecrets(l.text)));
            return true;
        }
        case Meaning::RedisDatabase:
            out.push_back(OtlpAttribute::String(SemConv::DbSystemName, "redis"));
            out.push_back(OtlpAttribute::String(SemConv::DbNamespace, std::to_string(l.number)));
            return true;
        case Meaning::OutgoingUrl:
            AddUrl(l.text, out);
            return true;
        case Meaning::RequestTarget:
            AddPathAndQuery(l.text, out);
            return true;
        case Meaning::RequestQuery:
            out.push_back(OtlpAttribute::String(
                SemConv::UrlQuery, MaskSecrets(std::string_view(l.text).substr(l.text.front() == '?' ? 1 : 0))));
            return true;
        case Meaning::RequestMethod:
            out.push_back(OtlpAttribute::String(SemConv::HttpRequestMethod, l.text));
            return true;
        case Meaning::RequestScheme:
            out.push_back(OtlpAttribute::String(SemConv::UrlScheme, l.text));
            return true;
        case Meaning::RequestHost:
            AddServer(l.text, out);
            return true;
        case Meaning::ResponseStatus:
            out.push_back(OtlpAttribute::Int(SemConv::HttpResponseStatusCode, l.number));
            return true;
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
