#include "cli/CollectorOptions.h"

#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace QuorixCollect {

namespace {

bool ParseUnsigned(const char* text, unsigned long long max, unsigned long long& out) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+' || *text == ' ') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    out = v;
    return true;
}

bool ParseSeconds(const std::string& text, double min, bool minIncluded, double& out) {
    char* end = nullptr;
    errno = 0;
    const double d = strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(d) || d > 31536000 ||
        (minIncluded ? d < min : d <= min)) {
        return false;
    }
    out = d;
    return true;
}

// The option values as given; checked after parsing, so that the messages stay ours.
struct Given : ViewerAndSpanOptions, RequestOptionsGiven {
    std::string transport, port, pipe, json, readyFile, duration, treeLines, maxMemory, idleTimeout, maxConnections;
    bool noTree = false;
};

void Declare(CLI::App& app, Given& g, CollectorOptions& o) {
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.set_help_flag("-h,--help", "print this help and exit");
    app.add_option("--transport", g.transport, "how the agent sends: udp (default), tcp or pipe")
        ->type_name("udp|tcp|pipe");
    app.add_option("--port", g.port,
                   "UDP/TCP port (default MORVEL_WIRE_COMMAND_PORT or 2799; 0 picks a free port, written to "
                   "the ready file)")
        ->type_name("N");
    app.add_flag("--multicast", o.multicast, "join 239.100.15.215 (udp only)");
    app.add_option("--pipe", g.pipe, "FIFO path (default \\\\.\\pipe\\QuorixAgent_v1 in the working directory)")
        ->type_name("PATH");
    app.add_option("--json", g.json, "write one JSON object per command to FILE or standard output (-)")
        ->type_name("FILE|-");
    app.add_option("--ready-file", g.readyFile, "create FILE once listening (it holds the port or FIFO path)")
        ->type_name("FILE");
    app.add_option("--duration", g.duration, "stop after S seconds")->type_name("S");
    app.add_flag("--until-ended", o.untilEnded, "stop once a process has ended and no announced process is open");
    app.add_flag("--summary-stdout", o.summaryToStdout, "print the summary to standard output, not standard error");
    app.add_option("--tree-lines", g.treeLines,
                   "at most N lines of call tree in the summary (default 400, 0 = no limit)")
        ->type_name("N");
    app.add_flag("--no-tree", g.noTree, "no call tree in the summary");
    app.add_option("--max-memory", g.maxMemory,
                   "bound of names, values, call trees and buffers together, in MiB (default 512, at least 32); "
                   "what does not fit is counted in the summary")
        ->type_name("MB");
    app.add_option("--idle-timeout", g.idleTimeout,
                   "close a TCP connection after S seconds without a byte, and drop a half-received command "
                   "after as long (default 30, 0 = never)")
        ->type_name("S");
    app.add_option("--max-connections", g.maxConnections,
                   "simultaneous TCP connections (default 256); a new one closes the connection silent the longest")
        ->type_name("N");
    app.add_flag("--quiet", o.quiet, "no progress messages");
    DeclareViewerAndSpanOptions(app, g, "Viewer files and report (written when the collector stops)",
                                "Span export (calls sent while the collector runs)");
    DeclareRequestOptions(app, g, "Requests");
}

const std::string& HelpText() {
    static const std::string text = [] {
        CLI::App app(
            "Receives the agent's commands, writes them as JSON lines and viewer files, then prints a "
            "summary. Stops on SIGINT or SIGTERM.",
            "quorix-collect");
        Given g;
        CollectorOptions o;
        Declare(app, g, o);
        return app.help();
    }();
    return text;
}

// Where the commands come from and the JSON lines go.
bool CheckEndpoints(CLI::App& app, const Given& g, CollectorOptions& o, std::string& error) {
    unsigned long long n = 0;
    auto given = [&](const char* name) { return app.count(name) != 0; };
    if (given("--transport")) {
        if (g.transport == "udp") {
            o.transport = Transport::Udp;
        } else if (g.transport == "tcp") {
            o.transport = Transport::Tcp;
        } else if (g.transport == "pipe") {
            o.transport = Transport::Pipe;
        } else {
            error = "unknown transport '" + g.transport + "' (udp, tcp or pipe)";
            return false;
        }
    }
    if (given("--port")) {
        if (!ParseUnsigned(g.port.c_str(), 65535, n)) {
            error = "bad port '" + g.port + "' (0 to 65535)";
            return false;
        }
        o.port = static_cast<uint32_t>(n);
    }
    if (given("--pipe")) {
        if (g.pipe.empty()) {
            error = "empty pipe path";
            return false;
        }
        o.pipePath = g.pipe;
    }
    if (given("--json")) {
        if (g.json.empty()) {
            error = "empty JSON output path";
            return false;
        }
        o.jsonPath = g.json;
    }
    o.readyFile = g.readyFile;
    if (given("--duration") && !ParseSeconds(g.duration, 0, false, o.durationSeconds)) {
        error = "bad duration '" + g.duration + "' (seconds, above 0)";
        return false;
    }
    return true;
}

// The summary's and the memory's bounds.
bool CheckBounds(CLI::App& app, const Given& g, CollectorOptions& o, std::string& error) {
    unsigned long long n = 0;
    auto given = [&](const char* name) { return app.count(name) != 0; };
    o.tree = !g.noTree;
    if (given("--tree-lines")) {
        if (!ParseUnsigned(g.treeLines.c_str(), 100000000, n)) {
            error = "bad line count '" + g.treeLines + "'";
            return false;
        }
        o.treeLines = static_cast<size_t>(n);
    }
    if (given("--max-memory")) {
        if (!ParseUnsigned(g.maxMemory.c_str(), 1024 * 1024, n) || n < MinMemoryMiB) {
            error = "bad memory bound '" + g.maxMemory + "' (MiB, at least " + std::to_string(MinMemoryMiB) + ")";
            return false;
        }
        o.maxMemoryBytes = static_cast<size_t>(n) << 20;
    }
    if (given("--idle-timeout") && !ParseSeconds(g.idleTimeout, 0, true, o.idleTimeoutSeconds)) {
        error = "bad idle timeout '" + g.idleTimeout + "' (seconds, 0 = never)";
        return false;
    }
    if (given("--max-connections")) {
        if (!ParseUnsigned(g.maxConnections.c_str(), 4096, n) || n == 0) {
            error = "bad connection limit '" + g.maxConnections + "' (1 to 4096)";
            return false;
        }
        o.maxConnections = static_cast<size_t>(n);
    }
    return true;
}

// The viewer files and the span export.
bool CheckOutputs(CLI::App& app, const Given& g, CollectorOptions& o, std::string& error) {
    unsigned long long n = 0;
    auto given = [&](const char* name) { return app.count(name) != 0; };
    const std::pair<const char*, std::pair<const std::string*, std::string*>> files[] = {
        {"--speedscope", {&g.speedscope, &o.speedscopePath}},
        {"--chrome-trace", {&g.chromeTrace, &o.chromeTracePath}},
        {"--folded", {&g.folded, &o.foldedPath}},
        {"--report", {&g.report, &o.reportPath}},
    };
    for (const auto& [name, paths] : files) {
        if (given(name)) {
            if (paths.first->empty()) {
                error = std::string("empty path for ") + name;
                return false;
            }
            *paths.second = *paths.first;
        }
    }
    if (given("--viewer-calls")) {
        if (!ParseUnsigned(g.viewerCalls.c_str(), 10000000, n) || n == 0) {
            error = "bad call count '" + g.viewerCalls + "' (1 to 10000000)";
            return false;
        }
        o.viewerCalls = static_cast<size_t>(n);
    }
    if (given("--otlp") && g.otlp.empty()) {
        error = "empty --otlp URL";
        return false;
    }
    if (given("--otlp-min-duration")) {
        const char* v = g.otlpMinDuration.c_str();
        char* end = nullptr;
        errno = 0;
        const double d = strtod(v, &end);
        if (end == v || *end != '\0' || errno != 0 || !std::isfinite(d) || d < 0 || d > 3600000) {
            error = "bad --otlp-min-duration '" + g.otlpMinDuration + "' (milliseconds, 0 or more)";
            return false;
        }
        o.otlpMinDurationMs = d;
    }
    return true;
}

bool ParseMs(const std::string& text, double& out) {
    char* end = nullptr;
    errno = 0;
    const double d = strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(d) || d < 0 || d > 86400000) {
        return false;
    }
    out = d;
    return true;
}

// The requests file and the findings' thresholds.
bool CheckRequests(CLI::App& app, const Given& g, CollectorOptions& o, std::string& error) {
    unsigned long long n = 0;
    auto given = [&](const char* name) { return app.count(name) != 0; };
    if (given("--requests")) {
        if (g.requests.empty()) {
            error = "empty --requests path";
            return false;
        }
        o.requestsPath = g.requests;
    }
    if (given("--n-plus-one")) {
        if (!ParseUnsigned(g.nPlusOne.c_str(), 1000000, n)) {
            error = "bad --n-plus-one '" + g.nPlusOne + "' (a count, 0 = never)";
            return false;
        }
        o.nPlusOne = static_cast<size_t>(n);
    }
    if (given("--slow-sql") && !ParseMs(g.slowSql, o.slowSqlMs)) {
        error = "bad --slow-sql '" + g.slowSql + "' (milliseconds, 0 or more)";
        return false;
    }
    if (given("--slow-request") && !ParseMs(g.slowRequest, o.slowRequestMs)) {
        error = "bad --slow-request '" + g.slowRequest + "' (milliseconds, 0 or more)";
        return false;
    }
    if (given("--live")) {
        if (!ParseUnsigned(g.live.c_str(), 65535, n) || n == 0) {
            error = "bad --live port '" + g.live + "' (1 to 65535)";
            return false;
        }
        o.livePort = static_cast<uint16_t>(n);
    }
    if (given("--baseline")) {
        if (g.baseline.empty()) {
            error = "empty --baseline path";
            return false;
        }
        o.baselinePath = g.baseline;
    }
    if (!o.requestsPath.empty() && o.requestsPath == o.jsonPath && o.jsonPath == "-") {
        error = "--json and --requests cannot both write to standard output";
        return false;
    }
    return true;
}

bool CheckSpanExport(CLI::App& app, const Given& g, CollectorOptions& o, const EnvLookup& env, std::string& error) {
    OtlpGiven given;
    given.url = g.otlp;
    given.protocol = g.otlpProtocol;
    given.compression = g.otlpCompression;
    given.certificate = g.otlpCertificate;
    given.timeout = g.otlpTimeout;
    given.serviceName = g.serviceName;
    given.headers = g.otlpHeaders;
    const std::pair<const char*, const std::string*> values[] = {{"--otlp-protocol", &g.otlpProtocol},
                                                                 {"--otlp-compression", &g.otlpCompression},
                                                                 {"--otlp-certificate", &g.otlpCertificate},
                                                                 {"--otlp-timeout", &g.otlpTimeout}};
    for (const auto& [name, value] : values) {
        if (app.count(name) != 0 && value->empty()) {
            error = std::string("empty value for ") + name;
            return false;
        }
    }
    return ResolveOtlpSettings(given, env, o.otlp, error);
}

bool Check(CLI::App& app, const Given& g, CollectorOptions& o, const EnvLookup& env, std::string& error) {
    return CheckEndpoints(app, g, o, error) && CheckBounds(app, g, o, error) && CheckOutputs(app, g, o, error) &&
           CheckSpanExport(app, g, o, env, error) && CheckRequests(app, g, o, error);
}

}  // namespace

uint16_t PortFromEnvironmentText(const char* text) {
    if (text == nullptr) {
        return DefaultPort;
    }
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < 1 || v > 65535) {
        return DefaultPort;
    }
    return static_cast<uint16_t>(v);
}

bool ParseCollectorOptions(int argc, const char* const* argv, const char* envPort, CollectorOptions& o,
                           std::string& error, const EnvLookup& env) {
    o = CollectorOptions{};
    o.port = PortFromEnvironmentText(envPort);
    CLI::App app("", "quorix-collect");
    Given g;
    Declare(app, g, o);
    if (!ParseCommandLine(app, argv, argc, o.help, error)) {
        return false;
    }
    if (o.help) {
        return true;
    }
    if (!Check(app, g, o, env, error)) {
        return false;
    }
    if (o.multicast && o.transport != Transport::Udp) {
        error = "--multicast only applies to the udp transport";
        return false;
    }
    if (o.port == 0 && o.transport != Transport::Pipe && o.multicast) {
        error = "--multicast needs a fixed port";
        return false;
    }
    return true;
}

const char* CollectorUsage() { return HelpText().c_str(); }

}  // namespace QuorixCollect
