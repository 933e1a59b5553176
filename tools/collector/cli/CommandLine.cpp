#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>

#include <vector>

namespace QuorixCollect {

bool ParseCommandLine(CLI::App& app, const char* const* argv, int end, bool& help, std::string& error) {
    try {
        // CLI11 wants the arguments last to first.
        std::vector<std::string> args;
        for (int i = end - 1; i >= 1; --i) {
            args.emplace_back(argv[i]);
        }
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        help = true;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    return true;
}

void DeclareViewerAndSpanOptions(CLI::App& app, ViewerAndSpanOptions& values, const char* viewerGroup,
                                 const char* spanGroup) {
    app.add_option("--speedscope", values.speedscope, "write the calls as a speedscope file (one profile per thread)")
        ->type_name("FILE")
        ->group(viewerGroup);
    app.add_option("--chrome-trace", values.chromeTrace,
                   "write the calls in the Trace Event Format (Perfetto, chrome://tracing)")
        ->type_name("FILE")
        ->group(viewerGroup);
    app.add_option("--folded", values.folded, "write aggregated folded stacks for flame graph tools")
        ->type_name("FILE")
        ->group(viewerGroup);
    app.add_option("--report", values.report,
                   "write a self-contained HTML report: summary, flame graph, timeline, captured calls, exceptions")
        ->type_name("FILE.html")
        ->group(viewerGroup);
    app.add_option("--viewer-calls", values.viewerCalls,
                   "the longest N calls are kept with their times for the timeline and trace files "
                   "(default 50000); the flame graph and folded stacks count every call")
        ->type_name("N")
        ->group(viewerGroup);
    app.add_option("--otlp", values.otlp,
                   "also send the calls as OTLP spans over HTTP to URL, e.g. http://127.0.0.1:4318 or "
                   "https://otlp.example.com (the path defaults to /v1/traces); without it, "
                   "OTEL_EXPORTER_OTLP_TRACES_ENDPOINT or OTEL_EXPORTER_OTLP_ENDPOINT turns the export on")
        ->type_name("URL")
        ->group(spanGroup);
    app.add_option("--otlp-protocol", values.otlpProtocol,
                   "encoding of the spans: http/protobuf (default) or http/json (OTEL_EXPORTER_OTLP_PROTOCOL)")
        ->type_name("PROTOCOL")
        ->group(spanGroup);
    app.add_option("--otlp-header", values.otlpHeaders,
                   "add a request header, e.g. x-api-key=SECRET; repeatable, wins over OTEL_EXPORTER_OTLP_HEADERS "
                   "(values are never printed)")
        ->type_name("NAME=VALUE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->group(spanGroup);
    app.add_option("--otlp-compression", values.otlpCompression,
                   "gzip or none (default; OTEL_EXPORTER_OTLP_COMPRESSION)")
        ->type_name("gzip|none")
        ->group(spanGroup);
    app.add_option("--otlp-certificate", values.otlpCertificate,
                   "trust the certificates in this PEM file for https instead of the system's "
                   "(OTEL_EXPORTER_OTLP_CERTIFICATE)")
        ->type_name("FILE")
        ->group(spanGroup);
    app.add_option("--otlp-timeout", values.otlpTimeout,
                   "time limit of one export request (default 10000; OTEL_EXPORTER_OTLP_TIMEOUT)")
        ->type_name("MS")
        ->group(spanGroup);
    app.add_option("--service-name", values.serviceName,
                   "service.name of the spans (default: OTEL_SERVICE_NAME, else the process's name)")
        ->type_name("NAME")
        ->group(spanGroup);
    app.add_option("--otlp-min-duration", values.otlpMinDuration,
                   "calls shorter than this are not sent unless they carry captured values or an exception "
                   "(default 1, 0 = every call)")
        ->type_name("MS")
        ->group(spanGroup);
}

void DeclareRequestOptions(CLI::App& app, RequestOptionsGiven& values, const char* group) {
    app.add_option("--requests", values.requests,
                   "write one JSON object per request (web request, or root call outside web apps) to FILE as "
                   "it ends")
        ->type_name("FILE|-")
        ->group(group);
    app.add_option("--n-plus-one", values.nPlusOne,
                   "flag a request that runs the same statement shape N times or more (default 5, 0 = never)")
        ->type_name("N")
        ->group(group);
    app.add_option("--slow-sql", values.slowSql, "flag a statement that takes MS or more (default 100)")
        ->type_name("MS")
        ->group(group);
    app.add_option("--slow-request", values.slowRequest, "flag a request that takes MS or more (default 500)")
        ->type_name("MS")
        ->group(group);
    app.add_option("--live", values.live,
                   "serve the report on http://127.0.0.1:PORT while the app runs: new requests appear as they end")
        ->type_name("PORT")
        ->group(group);
    app.add_option("--baseline", values.baseline,
                   "compare with an earlier run: its --requests file (per endpoint: count, p50, p95, SQL per "
                   "request, regressions marked) or its --folded file (a differential flame graph in the report)")
        ->type_name("FILE")
        ->group(group);
}

}  // namespace QuorixCollect
