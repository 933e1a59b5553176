#include "cli/RunOptions.h"

#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>

#include <cstdlib>

namespace QuorixCollect {

namespace {

struct Given : ViewerAndSpanOptions, RequestOptionsGiven {
    std::string port, treeLines, maxMemory;
    bool noTree = false;
    bool quiet = false;
};

void Declare(CLI::App& app, RunOptions& o, Given& g) {
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.set_help_flag("-h,--help", "print this help and exit");
    app.add_option("--transport", o.transport,
                   "how the agent sends: tcp (default: the fastest here, and nothing is lost), udp or pipe")
        ->type_name("tcp|udp|pipe");
    app.add_option("--engine", o.engine,
                   "how the agent traces calls: probes (default; IL probes in the traced methods, precompiled and "
                   "optimised code kept) or hooks (the runtime's enter/leave hooks)")
        ->type_name("probes|hooks");
    app.add_option("--port", g.port, "UDP/TCP port, 1 to 65535 (default MORVEL_WIRE_COMMAND_PORT or 2799)")
        ->type_name("N");
    app.add_flag("--multicast", o.multicast, "send to and listen on 239.100.15.215 (udp only)");
    app.add_option("--json", o.json, "write one JSON object per command to FILE or standard output")
        ->type_name("FILE|-");
    app.add_option("--tree-lines", g.treeLines,
                   "at most N lines of call tree in the summary (default 400, 0 = no limit)")
        ->type_name("N");
    app.add_flag("--no-tree", g.noTree, "no call tree in the summary");
    app.add_flag("--quiet", g.quiet, "no progress messages from the collector");
    app.add_option("--max-memory", g.maxMemory, "the collector's memory bound in MiB (default 512)")->type_name("MB");
    DeclareViewerAndSpanOptions(app, g, "Viewer files and report (written when the program has ended)",
                                "Span export (while the program runs)");
    DeclareRequestOptions(app, g, "Requests");
    app.footer(
        "After the options: -- COMMAND [ARGS...]\n"
        "Environment: QUORIX_PROFILER_PATH overrides the agent library path. COMMAND gets\n"
        "MORVEL_REPORT_DELIVERY=true and MORVEL_REPORT_EXCEPTIONS=1 unless they are set, and with --json\n"
        "MORVEL_WAIT_FOR_COLLECTOR=5000 (its threads wait for the collector rather than drop calls). The collector "
        "reads the\n"
        "OpenTelemetry variables (OTEL_EXPORTER_OTLP_ENDPOINT and _TRACES_ENDPOINT, _HEADERS, _PROTOCOL,\n"
        "_TIMEOUT, _COMPRESSION, _CERTIFICATE, OTEL_SERVICE_NAME, OTEL_RESOURCE_ATTRIBUTES); an option wins.\n"
        "Exit code: the program's; 125 when the collector could not start, died or had to be killed\n"
        "(quorix-run then says so on standard error).");
}

// Same rule as the agent's: base-10, 1..65535, nothing else.
bool ValidPort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    port = std::atoi(text.c_str());
    return port >= 1 && port <= 65535;
}

}  // namespace

bool ParseRunOptions(int argc, const char* const* argv, RunOptions& o, std::string& error) {
    o = RunOptions{};
    // Everything after "--" is the command, untouched.
    int end = argc;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--") {
            end = i;
            for (int j = i + 1; j < argc; ++j) {
                o.command.emplace_back(argv[j]);
            }
            break;
        }
    }
    CLI::App app("", "quorix-run");
    Given g;
    Declare(app, o, g);
    if (!ParseCommandLine(app, argv, end, o.help, error)) {
        return false;
    }
    if (o.help) {
        return true;
    }
    if (o.transport != "udp" && o.transport != "tcp" && o.transport != "pipe") {
        error = "unknown transport '" + o.transport + "' (udp, tcp or pipe)";
        return false;
    }
    if (o.engine != "probes" && o.engine != "hooks") {
        error = "unknown engine '" + o.engine + "' (probes or hooks)";
        return false;
    }
    o.engineGiven = app.count("--engine") != 0;
    if (app.count("--port") != 0 && !ValidPort(g.port, o.port)) {
        error = "bad port '" + g.port + "' (1 to 65535)";
        return false;
    }
    int livePort = 0;
    if (app.count("--live") != 0 && !ValidPort(g.live, livePort)) {
        error = "bad --live port '" + g.live + "' (1 to 65535)";
        return false;
    }
    if (o.multicast && o.transport != "udp") {
        error = "--multicast only applies to the udp transport";
        return false;
    }
    // The collector checks the values of what it is given before the program starts.
    const std::pair<const char*, const std::string*> passed[] = {{"--tree-lines", &g.treeLines},
                                                                 {"--max-memory", &g.maxMemory},
                                                                 {"--speedscope", &g.speedscope},
                                                                 {"--chrome-trace", &g.chromeTrace},
                                                                 {"--folded", &g.folded},
                                                                 {"--report", &g.report},
                                                                 {"--viewer-calls", &g.viewerCalls},
                                                                 {"--otlp", &g.otlp},
                                                                 {"--service-name", &g.serviceName},
                                                                 {"--otlp-min-duration", &g.otlpMinDuration},
                                                                 {"--requests", &g.requests},
                                                                 {"--n-plus-one", &g.nPlusOne},
                                                                 {"--slow-sql", &g.slowSql},
                                                                 {"--slow-request", &g.slowRequest},
                                                                 {"--live", &g.live},
                                                                 {"--baseline", &g.baseline},
                                                                 {"--otlp-protocol", &g.otlpProtocol},
                                                                 {"--otlp-compression", &g.otlpCompression},
                                                                 {"--otlp-certificate", &g.otlpCertificate},
                                                                 {"--otlp-timeout", &g.otlpTimeout}};
    for (const auto& [name, value] : passed) {
        if (app.count(name) != 0) {
            o.collectorArgs.emplace_back(name);
            o.collectorArgs.push_back(*value);
        }
    }
    o.otlpHeaders = g.otlpHeaders;
    if (g.noTree) {
        o.collectorArgs.emplace_back("--no-tree");
    }
    if (g.quiet) {
        o.collectorArgs.emplace_back("--quiet");
    }
    if (o.command.empty()) {
        error = "no command given";
        return false;
    }
    return true;
}

const char* RunUsage() {
    static const std::string text = [] {
        CLI::App app(
            "Runs COMMAND with the agent loaded and quorix-collect listening, then lets the collector "
            "print its summary and write its files; COMMAND keeps its standard streams and its exit code.",
            "quorix-run");
        RunOptions o;
        Given g;
        Declare(app, o, g);
        return app.help();
    }();
    return text.c_str();
}

}  // namespace QuorixCollect
