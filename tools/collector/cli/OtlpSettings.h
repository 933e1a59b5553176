#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace QuorixCollect {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Where and how spans are sent, resolved from the command line and the OpenTelemetry variables.
struct OtlpSettings {
    std::string url;          // empty: no span export
    bool urlAsGiven = false;  // false: a URL without a path gets /v1/traces
    std::string origin;       // the option or variable the URL came from, for messages
    bool json = false;        // http/json; else http/protobuf
    bool gzip = false;
    HeaderList headers;  // values are secrets: never printed
    std::string certificatePath;
    std::string caPem;  // the certificate file's contents; empty: the system's store
    std::chrono::milliseconds timeout{10000};
    std::string serviceName;        // empty: the process's name
    HeaderList resourceAttributes;  // from OTEL_RESOURCE_ATTRIBUTES, service.name excepted
};

// The span-export options as given on the command line; empty means not given.
struct OtlpGiven {
    std::string url, protocol, compression, certificate, timeout, serviceName;
    std::vector<std::string> headers;  // K=V each
};

// Reads a variable; null when unset.
using EnvLookup = std::function<const char*(const char*)>;

// quorix-run hands its --otlp-header values to its collector in this variable, one K=V a line,
// so that they stay off the collector's command line (which every local user can read).
constexpr const char* RunHeadersVariable = "QUORIX_OTLP_HEADERS";

// An option wins over a variable, OTEL_EXPORTER_OTLP_TRACES_X over OTEL_EXPORTER_OTLP_X (headers
// merge by name, the later source winning). A malformed value fails with one error naming its
// option or variable and never showing a header's value.
bool ResolveOtlpSettings(const OtlpGiven& given, const EnvLookup& env, OtlpSettings& out, std::string& error);

// "k1=v1,k2=v2" with percent-encoded values, as OTEL_EXPORTER_OTLP_HEADERS and
// OTEL_RESOURCE_ATTRIBUTES carry them; `what` names the source in the error.
bool ParseKeyValueList(const std::string& text, const std::string& what, bool headerNames, HeaderList& out,
                       std::string& error);

}  // namespace QuorixCollect
