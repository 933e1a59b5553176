#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace QuorixCollect {

// Parses argv[1] up to (not including) argv[end] with `app`, whose options take the values; the
// one place both tools turn CLI11's outcomes into theirs. False with `error` set on a bad command
// line; true with `help` set when --help was asked for.
bool ParseCommandLine(CLI::App& app, const char* const* argv, int end, bool& help, std::string& error);

// The viewer and span-export options as given, before they are checked: the collector takes
// them, quorix-run passes them on.
struct ViewerAndSpanOptions {
    std::string speedscope, chromeTrace, folded, report, viewerCalls, otlp, serviceName, otlpMinDuration;
    std::string otlpProtocol, otlpCompression, otlpCertificate, otlpTimeout;
    std::vector<std::string> otlpHeaders;
};

// Declares those options, under the two help groups given, in both tools alike.
void DeclareViewerAndSpanOptions(CLI::App& app, ViewerAndSpanOptions& values, const char* viewerGroup,
                                 const char* spanGroup);

// The request options as given: the collector takes them, quorix-run passes them on.
struct RequestOptionsGiven {
    std::string requests, nPlusOne, slowSql, slowRequest, live, baseline;
};
void DeclareRequestOptions(CLI::App& app, RequestOptionsGiven& values, const char* group);

}  // namespace QuorixCollect
