#include "cli/OtlpSettings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "spans/HttpPoster.h"

namespace QuorixCollect {

namespace {

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) {
        return {};
    }
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

bool IsTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool ValidHeaderName(const std::string& name) {
    for (const char c : name) {
        if (!IsTokenChar(c)) {
            return false;
        }
    }
    return !name.empty();
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX decoded; a '%' without two hex digits stays as it is.
std::string PercentDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// A variable's value, or null when unset or empty (an empty variable counts as unset).
const char* Variable(const EnvLookup& env, const char* name) {
    const char* v = env ? env(name) : nullptr;
    return v != nullptr && *v != '\0' ? v : nullptr;
}

// The option if given, else the traces variable, else the general one; `from` names the source.
bool Pick(const std::string& option, const char* optionName, const EnvLookup& env, const char* tracesVar,
          const char* generalVar, std::string& value, std::string& from) {
    if (!option.empty()) {
        value = option;
        from = optionName;
        return true;
    }
    for (const char* name : {tracesVar, generalVar}) {
        if (const char* v = Variable(env, name)) {
            value = v;
            from = name;
            return true;
        }
    }
    return false;
}

void MergeHeaders(HeaderList& into, const HeaderList& later) {
    for (const auto& [name, value] : later) {
        bool replaced = false;
        for (auto& [n, v] : into) {
            if (strcasecmp(n.c_str(), name.c_str()) == 0) {
                v = value;
                replaced = true;
            }
        }
        if (!replaced) {
            into.emplace_back(name, value);
        }
    }
}

bool ResolveUrl(const OtlpGiven& given, const EnvLookup& env, OtlpSettings& out, std::string& error) {
    if (!given.url.empty()) {
        out.url = given.url;
        out.origin = "--otlp";
    } else if (const char* traces = Variable(env, "OTEL_EXPORTER_OTLP_TRACES_ENDPOINT")) {
        out.url = traces;
        out.urlAsGiven = true;
        out.origin = "OTEL_EXPORTER_OTLP_TRACES_ENDPOINT";
    } else if (const char* base = Variable(env, "OTEL_EXPORTER_OTLP_ENDPOINT")) {
        // The base URL of every signal: the traces path goes after whatever path it has.
        out.url = base;
        out.url += out.url.back() == '/' ? "v1/traces" : "/v1/traces";
        out.urlAsGiven = true;
        out.origin = "OTEL_EXPORTER_OTLP_ENDPOINT";
    } else {
        return true;
    }
    HttpUrl parsed;
    std::string why;
    if (!ParseHttpUrl(out.url, out.urlAsGiven ? "/" : "/v1/traces", parsed, why)) {
        error = out.origin + ": bad URL '" + out.url + "': " + why;
        return false;
    }
    return true;
}

bool ResolveHeaders(const OtlpGiven& given, const EnvLookup& env, OtlpSettings& out, std::string& error) {
    for (const char* name : {"OTEL_EXPORTER_OTLP_HEADERS", "OTEL_EXPORTER_OTLP_TRACES_HEADERS"}) {
        if (const char* v = Variable(env, name)) {
            HeaderList list;
            if (!ParseKeyValueList(v, name, true, list, error)) {
                return false;
            }
            MergeHeaders(out.headers, list);
        }
    }
    std::vector<std::pair<std::string, std::string>> lines;  // (entry, source)
    if (const char* v = Variable(env, RunHeadersVariable)) {
        std::string all = v;
        for (size_t start = 0; start <= all.size();) {
            const size_t end = std::min(all.find('\n', start), all.size());
            if (end > start) {
                lines.emplace_back(all.substr(start, end - start), "--otlp-header");
            }
            start = end + 1;
        }
    }
    for (const auto& h : given.headers) {
        lines.emplace_back(h, "--otlp-header");
    }
    for (const auto& [entry, source] : lines) {
        // One header per option: a comma in its value is the value's own.
        const size_t eq = entry.find('=');
        const std::string name = Trim(entry.substr(0, eq));
        if (eq == std::string::npos || !ValidHeaderName(name)) {
            error = source + ": a header is NAME=VALUE (one came without '=' or with a bad name)";
            return false;
        }
        const std::string value = Trim(entry.substr(eq + 1));
        if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            error = source + ": a header value cannot hold a line break";
            return false;
        }
        MergeHeaders(out.headers, {{name, value}});
    }
    return true;
}

bool ReadCertificate(const std::string& path, const std::string& from, std::string& pem, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = from + ": cannot read the certificate file '" + path + "': " + strerror(errno);
        return false;
    }
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && pem.size() < (size_t{4} << 20)) {
        pem.append(buf, static_cast<size_t>(n));
    }
    const int readError = n < 0 ? errno : 0;
    close(fd);
    if (readError != 0) {
        error = from + ": cannot read the certificate file '" + path + "': " + strerror(readError);
        return false;
    }
    if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
        error = from + ": '" + path + "' holds no PEM certificate (-----BEGIN CERTIFICATE-----)";
        return false;
    }
    return true;
}

bool ResolveTransport(const OtlpGiven& given, const EnvLookup& env, OtlpSettings& out, std::string& error) {
    std::string value, from;
    if (Pick(given.protocol, "--otlp-protocol", env, "OTEL_EXPORTER_OTLP_TRACES_PROTOCOL",
             "OTEL_EXPORTER_OTLP_PROTOCOL", value, from)) {
        if (value == "http/json" || value == "http/protobuf") {
            out.json = value == "http/json";
        } else {
            error = from + ": " +
                    (value == "grpc" ? std::string("grpc is not supported") : "unknown protocol '" + value + "'") +
                    " (http/protobuf or http/json)";
            return false;
        }
    }
    if (Pick(given.compression, "--otlp-compression", env, "OTEL_EXPORTER_OTLP_TRACES_COMPRESSION",
             "OTEL_EXPORTER_OTLP_COMPRESSION", value, from)) {
        if (value != "gzip" && value != "none") {
            error = from + ": unknown compression '" + value + "' (gzip or none)";
            return false;
        }
        out.gzip = value == "gzip";
    }
    if (Pick(given.timeout, "--otlp-timeout", env, "OTEL_EXPORTER_OTLP_TRACES_TIMEOUT", "OTEL_EXPORTER_OTLP_TIMEOUT",
             value, from)) {
        const bool digits = value.size() <= 7 && value.find_first_not_of("0123456789") == std::string::npos;
        const long ms = digits ? strtol(value.c_str(), nullptr, 10) : 0;
        if (ms < 1 || ms > 600000) {
            error = from + ": bad timeout '" + value + "' (milliseconds, 1 to 600000)";
            return false;
        }
        out.timeout = std::chrono::milliseconds(ms);
    }
    if (Pick(given.certificate, "--otlp-certificate", env, "OTEL_EXPORTER_OTLP_TRACES_CERTIFICATE",
             "OTEL_EXPORTER_OTLP_CERTIFICATE", value, from)) {
        out.certificatePath = value;
        if (!ReadCertificate(value, from, out.caPem, error)) {
            return false;
        }
    }
    return true;
}

bool ResolveResource(const OtlpGiven& given, const EnvLookup& env, OtlpSettings& out, std::string& error) {
    std::string serviceFromAttributes;
    if (const char* v = Variable(env, "OTEL_RESOURCE_ATTRIBUTES")) {
        HeaderList list;
        if (!ParseKeyValueList(v, "OTEL_RESOURCE_ATTRIBUTES", false, list, error)) {
            return false;
        }
        for (auto& [key, value] : list) {
            if (key == "service.name") {
                serviceFromAttributes = value;
            } else {
                out.resourceAttributes.emplace_back(std::move(key), std::move(value));
            }
        }
    }
    const char* service = Variable(env, "OTEL_SERVICE_NAME");
    out.serviceName = !given.serviceName.empty() ? given.serviceName
                      : service != nullptr       ? std::string(service)
                                                 : serviceFromAttributes;
    return true;
}

}  // namespace

bool ParseKeyValueList(const std::string& text, const std::string& what, bool headerNames, HeaderList& out,
                       std::string& error) {
    size_t index = 0;
    for (size_t start = 0; start <= text.size(); ++index) {
        const size_t end = std::min(text.find(',', start), text.size());
        const std::string entry = Trim(text.substr(start, end - start));
        start = end + 1;
        if (entry.empty()) {
            continue;
        }
        const size_t eq = entry.find('=');
        // The entry itself is never shown: it may be a secret that lacks its '='.
        if (eq == std::string::npos) {
            error = what + ": entry " + std::to_string(index + 1) + " has no '=' (expected key=value,key=value)";
            return false;
        }
        const std::string key = Trim(entry.substr(0, eq));
        bool goodKey = headerNames ? ValidHeaderName(key) : !key.empty();
        for (const char c : key) {
            goodKey = goodKey && c > ' ' && c != '"' && c != '\\' && c < 0x7F;
        }
        if (!goodKey) {
            error = what + ": entry " + std::to_string(index + 1) + " has a bad name";
            return false;
        }
        const std::string value = PercentDecode(Trim(entry.substr(eq + 1)));
        if (headerNames && value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            error = what + ": entry " + std::to_string(index + 1) + " has a line break in its value";
            return false;
        }
        out.emplace_back(key, value);
    }
    return true;
}

bool ResolveOtlpSettings(const OtlpGiven& given, const EnvLookup& env, OtlpSettings& out, std::string& error) {
    out = OtlpSettings{};
    // Without an explicit --otlp, "none" keeps the variables from turning the export on.
    const char* exporter = Variable(env, "OTEL_TRACES_EXPORTER");
    const EnvLookup none = [](const char*) -> const char* { return nullptr; };
    const bool variablesOff = given.url.empty() && exporter != nullptr && strcmp(exporter, "none") == 0;
    const EnvLookup& use = variablesOff ? none : env;
    if (!ResolveUrl(given, use, out, error)) {
        return false;
    }
    if (out.url.empty()) {
        out.serviceName = given.serviceName;
        return true;
    }
    return ResolveHeaders(given, env, out, error) && ResolveTransport(given, env, out, error) &&
           ResolveResource(given, env, out, error);
}

}  // namespace QuorixCollect
