// quorix-collect: receives the agent's commands over UDP, TCP or a FIFO, writes them as JSON
// lines and prints a summary with per-thread call trees when it stops.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/CollectorOptions.h"
#include "session/CollectorSession.h"
#include "transport/Listener.h"
#include "spans/OtlpExporter.h"
#include "report/ReportWriter.h"
#include "viewers/ViewerFiles.h"
#include "jsonlines/JsonFile.h"
#include "requests/RequestJson.h"
#include "requests/RequestStore.h"
#include "requests/RequestTracker.h"
#include "compare/Baseline.h"
#include "compare/EndpointComparison.h"
#include "compare/EndpointStats.h"
#include "compare/FlameDiff.h"
#include "live/LiveServer.h"
#include "live/LiveStore.h"
#include "viewers/FoldedWriter.h"

using namespace QuorixCollect;

namespace {

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int sig) {
    if (g_stopSignal != 0) {
        // A second request means "now": no summary.
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    g_stopSignal = sig;
}

void InstallSignalHandlers() {
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    // A shell starts background jobs with SIGINT ignored; keep it that way so that ^C reaches the
    // profiled program while the wrapper stops us with SIGTERM after it.
    struct sigaction current {};
    if (sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
        sigaction(SIGINT, &sa, nullptr);
    }
}

// The final drain stops after this long if data keeps coming faster than it is read.
constexpr auto FinalDrainLimit = std::chrono::seconds(5);
// What is left to export gets this long after collection stopped.
constexpr auto FinalExportLimit = std::chrono::seconds(5);

bool WriteReadyFile(const std::string& path, const std::string& endpoint, std::string& error) {
    // Written aside and renamed, so whoever waits for the file never reads it half-written.
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot create ready file '" + path + "': " + strerror(errno);
        return false;
    }
    const std::string text = endpoint + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot create ready file '" + path + "': " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

const char* TransportName(Transport t) {
    switch (t) {
        case Transport::Udp:
            return "udp";
        case Transport::Tcp:
            return "tcp";
        case Transport::Pipe:
            return "pipe";
    }
    return "?";
}

// The collector's parts, wired in the order a command passes them.
class Collector {
public:
    explicit Collector(const CollectorOptions& chosen) : options(chosen) {}

    // Everything up to listening; the exit code on failure, else -1.
    int Prepare();
    int Listen();
    void Collect();
    // Stops, prints the summary and writes the files; the exit code.
    int Finish();

private:
    int Fail(const std::string& error, int code) {
        fprintf(stderr, "quorix-collect: %s\n", error.c_str());
        if (listener) {
            listener->Shutdown();
        }
        return code;
    }
    // Open requests get a sixteenth of the bound; the report's kept requests as much again.
    size_t RequestBytes() const { return options.maxMemoryBytes / 16; }
    // The live view's requests get a sixty-fourth; each answer being put together may take as
    // much again for the snapshot it holds and as much for its text.
    size_t LiveBytes() const { return options.maxMemoryBytes / 64; }
    size_t LiveBoundBytes() const {
        return options.livePort != 0 ? LiveBytes() * (1 + 2 * LiveServer::MaxAnswersAtOnce) : 0;
    }
    // An earlier run is read whole, then only its figures or stacks are kept.
    size_t BaselineBytes() const { return options.maxMemoryBytes / 16; }
    void ReadBaseline();
    bool StartLive(std::string& error);
    std::string ComparisonJson();
    void PublishComparison();
    size_t SessionMemory(const ViewerOutputs& viewerOutputs, const OtlpExporter::Options& exportOptions) const;
    bool WriteViewerFiles(const CollectorSession::SummaryOptions& summary, std::string& text);
    bool PrepareRequests(std::string& error);
    void PublishRequestLosses(LossLedger& losses) const;

    using Clock = std::chrono::steady_clock;
    const CollectorOptions& options;
    JsonFile json;
    bool writeJson = false;
    bool exportSpans = false;
    std::unique_ptr<CollectorSession> session;
    std::unique_ptr<RequestTracker> requests;
    RequestFile requestFile;
    bool writeRequests = false;
    RequestSummary requestSummary;
    std::unique_ptr<RequestStore> requestStore;
    std::unique_ptr<OtlpExporter> exporter;
    std::unique_ptr<ViewerFiles> viewers;
    std::unique_ptr<Listener> listener;
    Clock::time_point start{};
    // The live view, and the comparison with an earlier run.
    std::unique_ptr<LiveStore> liveStore;
    std::unique_ptr<LiveServer> liveServer;
    Baseline baseline;
    std::unique_ptr<EndpointStats> endpointStats;
    RegressionRules regressionRules;
    uint64_t comparedRequests = UINT64_MAX;
};

size_t Collector::SessionMemory(const ViewerOutputs& viewerOutputs, const OtlpExporter::Options& exportOptions) const {
    // The bound covers everything that grows with the input: what the transport, the JSON
    // output, the viewer data and the span queue hold is taken off first, the session gets the rest.
    const size_t viewerBytes = viewerOutputs.Any() ? viewerOutputs.BoundBytes() : 0;
    const size_t buffers = ListenerBufferBytes(options) + (writeJson ? JsonFile::BufferBytes(json.drainAt) : 0) +
                           viewerBytes + RequestBytes() * (options.reportPath.empty() ? 1 : 2) +
                           (exportSpans ? exportOptions.queueBytes : 0) + LiveBoundBytes() +
                           (options.baselinePath.empty() ? 0 : BaselineBytes() + 2 * EndpointStats::BoundBytes());
    return options.maxMemoryBytes > 2 * buffers ? options.maxMemoryBytes - buffers : options.maxMemoryBytes / 2;
}

int Collector::Prepare() {
    std::string error;
    writeJson = !options.jsonPath.empty();
    if (writeJson && !json.Open(options.jsonPath, error)) {
        return Fail(error, 1);
    }
    ViewerOutputs viewerOutputs;
    viewerOutputs.speedscope = options.speedscopePath;
    viewerOutputs.chromeTrace = options.chromeTracePath;
    viewerOutputs.folded = options.foldedPath;
    viewerOutputs.report = options.reportPath;
    viewerOutputs.keptCalls = options.viewerCalls;
    // Viewer data gets at most a quarter of the bound.
    viewerOutputs.maxBytes = options.maxMemoryBytes / 4;
    if (!options.reportPath.empty() && !ReportWriter::MissingAssets().empty()) {
        return Fail("--report needs the browser libraries, missing at build time: " + ReportWriter::MissingAssets() +
                        "(run scripts/setup.sh, then build again)",
                    1);
    }
    OtlpExporter::Options exportOptions;
    exportSpans = !options.otlp.url.empty();
    exportOptions.queueBytes = std::min(exportOptions.queueBytes, options.maxMemoryBytes / 8);
    CollectorSession::Options sessionOptions;
    sessionOptions.buildTree = options.tree;
    sessionOptions.maxMemory = SessionMemory(viewerOutputs, exportOptions);
    // Requests are joined across threads, which needs the threads' commands in time order.
    sessionOptions.timeOrder = true;
    session = std::make_unique<CollectorSession>(sessionOptions, nullptr);
    ReadBaseline();
    if (writeJson) {
        session->SetJsonSink(&json);
    }
    // Before the span export, which asks where each call belongs.
    if (!PrepareRequests(error)) {
        return Fail(error, 1);
    }
    const OtlpSettings& otlp = options.otlp;
    exportOptions.url = otlp.url;
    exportOptions.urlAsGiven = otlp.urlAsGiven;
    exportOptions.protocol = otlp.json ? OtlpExporter::Protocol::Json : OtlpExporter::Protocol::Protobuf;
    exportOptions.gzip = otlp.gzip;
    exportOptions.headers = otlp.headers;
    exportOptions.caPem = otlp.caPem;
    exportOptions.requestTimeout = otlp.timeout;
    for (const auto& [key, value] : otlp.resourceAttributes) {
        exportOptions.resourceAttributes.push_back(OtlpAttribute::String(key, value));
    }
    exportOptions.serviceName = otlp.serviceName;
    exportOptions.minDurationMs = options.otlpMinDurationMs;
    CollectorSession& names = *session;
    exporter = std::make_unique<OtlpExporter>(
        exportOptions, [&names](uint32_t pid, uint32_t functionId) { return names.FunctionName(pid, functionId); },
        exportSpans ? &session->Matcher() : nullptr);
    exporter->SetExceptionTable(&session->Exceptions());
    if (exportSpans) {
        if (!exporter->Start(error)) {
            return Fail(error, 2);
        }
        exporter->UseRequests(*requests);
        session->AddObserver(exporter.get());
    }
    if (viewerOutputs.Any()) {
        viewers = std::make_unique<ViewerFiles>(viewerOutputs, session->Matcher(), &session->Exceptions());
        session->AddObserver(viewers.get());
    }
    return -1;
}

bool Collector::PrepareRequests(std::string& error) {
    RequestTracker::Options requestOptions;
    requestOptions.rules.nPlusOne = options.nPlusOne;
    requestOptions.rules.slowSqlMs = options.slowSqlMs;
    requestOptions.rules.slowRequestMs = options.slowRequestMs;
    requestOptions.maxBytes = RequestBytes();
    CollectorSession& names = *session;
    requests = std::make_unique<RequestTracker>(
        requestOptions, [&names](uint32_t pid, uint32_t functionId) { return names.FunctionName(pid, functionId); },
        session->Matcher());
    session->Matcher().AddListener(requests.get());
    requests->UseExceptions(&session->Exceptions());
    requests->AddSink(&requestSummary);
    writeRequests = !options.requestsPath.empty();
    if (writeRequests) {
        if (!requestFile.Open(options.requestsPath, error)) {
            return false;
        }
        requests->AddSink(&requestFile);
    }
    if (!options.reportPath.empty()) {
        requestStore = std::make_unique<RequestStore>(RequestBytes());
        requests->AddSink(requestStore.get());
    }
    if (options.livePort != 0) {
        liveStore = std::make_unique<LiveStore>(LiveBytes());
        requests->AddSink(liveStore.get());
    }
    if (baseline.GetKind() == Baseline::Kind::Requests) {
        endpointStats = std::make_unique<EndpointStats>();
        requests->AddSink(endpointStats.get());
    }
    return true;
}

// A baseline that cannot serve gets one line, and the run goes on without the comparison.
void Collector::ReadBaseline() {
    if (options.baselinePath.empty()) return;
    std::string error;
    const std::string& path = options.baselinePath;
    if (!baseline.Read(path, BaselineBytes(), error)) {
        fprintf(stderr, "quorix-collect: --baseline %s: %s; going on without the comparison\n", path.c_str(),
                error.c_str());
        return;
    }
    if (baseline.GetKind() == Baseline::Kind::Folded && options.reportPath.empty()) {
        fprintf(stderr,
                "quorix-collect: --baseline %s holds folded stacks, which the report draws as a differential flame "
                "graph: give --report too; going on without the comparison\n",
                path.c_str());
        baseline = Baseline{};
    }
}

std::string Collector::ComparisonJson() {
    if (endpointStats) {
        const auto changes =
            CompareEndpoints(baseline.Endpoints().Figures(), endpointStats->Figures(), regressionRules);
        return EndpointComparisonJson(changes, regressionRules, options.baselinePath);
    }
    return {};
}

// The live page's comparison, worked out here on the collector's thread and handed over whole.
void Collector::PublishComparison() {
    if (!liveStore || !endpointStats || endpointStats->Requests() == comparedRequests) return;
    comparedRequests = endpointStats->Requests();
    liveStore->Publish(ComparisonJson());
}

bool Collector::StartLive(std::string& error) {
    if (!liveStore) return true;
    if (!ReportWriter::MissingAssets().empty()) {
        error = "--live needs the browser libraries, missing at build time: " + ReportWriter::MissingAssets() +
                "(run scripts/setup.sh, then build again)";
        return false;
    }
    PublishComparison();
    const std::string transport = std::string(TransportName(options.transport)) + " " + listener->Endpoint();
    liveServer = std::make_unique<LiveServer>(*liveStore, ReportWriter::LivePage(transport, liveStore->Comparison()));
    if (!liveServer->Start(options.livePort, error)) {
        liveServer.reset();
        return false;
    }
    // Shown even when quiet: it is where to look.
    fprintf(stderr, "quorix-collect: live view on %s\n", liveServer->Url().c_str());
    return true;
}

void Collector::PublishRequestLosses(LossLedger& losses) const {
    const RequestTracker::Stats& s = requests->GetStats();
    losses.Add("requests", "not tracked (too many open at once)", s.notTracked);
    if (requestStore) {
        losses.Add("requests", "left out of the report (oldest first, bound)", requestStore->LetGo());
        losses.Add("requests", "calls beyond a request's kept calls", requestStore->CallsLeftOut(), Severity::Cut);
        losses.Add("requests", "statements, outgoing calls, Redis commands or exceptions beyond a request's bound",
                   requestStore->ItemsLeftOut(), Severity::Cut);
    }
    if (liveStore) {
        losses.Add("requests", "let go by the live view (oldest first, bound)", liveStore->LetGo());
    }
    if (endpointStats) {
        losses.Add("requests", "not compared (endpoints beyond the comparison's bound)", endpointStats->LeftOut());
    }
}

int Collector::Listen() {
    std::string error;
    listener = MakeListener(options);
    if (!listener->Open(error)) {
        return Fail(error, 1);
    }
    // Before the ready file: quorix-run launches the app only once both listen.
    if (!StartLive(error)) {
        return Fail(error, 1);
    }
    if (!options.readyFile.empty() && !WriteReadyFile(options.readyFile, listener->Endpoint(), error)) {
        return Fail(error, 1);
    }
    if (!options.quiet) {
        fprintf(stderr, "quorix-collect: listening (%s %s)\n", TransportName(options.transport),
                listener->Endpoint().c_str());
    }
    return -1;
}

void Collector::Collect() {
    start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.durationSeconds));
    auto lastFlush = start;
    auto lastExpiry = start;
    while (g_stopSignal == 0) {
        int timeoutMs = 100;
        if (options.durationSeconds > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                break;
            }
            timeoutMs = static_cast<int>(std::min<long long>(timeoutMs, left));
        }
        listener->Wait(*session, timeoutMs);
        if (options.untilEnded && session->AllProcessesEnded()) {
            break;
        }
        const auto now = Clock::now();
        session->Tick(now);
        if (now - lastFlush >= std::chrono::milliseconds(100)) {
            if (writeJson) {
                json.Drain();
            }
            requests->Expire(now);
            if (writeRequests) {
                requestFile.Drain();
            }
            lastFlush = now;
        }
        if (now - lastExpiry >= std::chrono::milliseconds(500)) {
            PublishComparison();
            listener->Expire(*session, now);
            lastExpiry = now;
        }
    }
}

bool Collector::WriteViewerFiles(const CollectorSession::SummaryOptions& summary, std::string& text) {
    RunSummary run;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.transport = std::string(TransportName(options.transport)) + " " + listener->Endpoint();
    CollectorSession::SummaryOptions plain = summary;
    plain.tree = false;
    run.summaryText = session->RenderSummary(plain);
    // Every stage's counters, final once the last open calls are closed.
    viewers->Finish();
    LossLedger losses;
    session->PublishLosses(losses, summary.transportLosses);
    viewers->PublishLosses(losses);
    PublishRequestLosses(losses);
    if (exportSpans) {
        exporter->PublishLosses(losses);
    }
    run.dropLines = DropLines(losses);
    if (requestStore) {
        run.requestsJson = requestStore->JsonArray();
    }
    if (baseline.GetKind() == Baseline::Kind::Folded) {
        run.comparisonJson = FlameDiff::Json(
            baseline.Stacks(), FlameDiff::FromFolded(FoldedWriter::Write(viewers->Recorder())), options.baselinePath);
    } else {
        run.comparisonJson = ComparisonJson();
    }
    std::vector<std::string> errors;
    const bool written = viewers->WriteAll(*session, run, errors);
    for (const auto& e : errors) {
        fprintf(stderr, "quorix-collect: %s\n", e.c_str());
    }
    // Where the files are, after the call trees so that a terminal shows them last.
    for (const auto& line : viewers->SummaryLines()) {
        text += "  " + line + "\n";
    }
    return written;
}

int Collector::Finish() {
    listener->Drain(*session, FinalDrainLimit);
    session->ReleaseHeld();
    json.Close();
    // What is still open ends here, before the spans and the report take the requests.
    session->Matcher().Finish();
    requests->Finish();
    requestFile.Close();
    if (exportSpans) {
        exporter->Finish(FinalExportLimit);
    }
    CollectorSession::SummaryOptions summary;
    summary.tree = options.tree;
    summary.treeLines = options.treeLines;
    summary.transportLines = listener->Describe();
    listener->PublishLosses(summary.transportLosses);
    summary.memoryBound = options.maxMemoryBytes;
    if (exportSpans) {
        summary.exportLines = exporter->SummaryLines();
    }
    const RequestTracker::Stats& requestStats = requests->GetStats();
    const std::string requestLines = requestSummary.Render(requestStats.notTracked, requestStats.cut);
    if (!requestLines.empty()) {
        summary.exportLines.insert(summary.exportLines.begin(), requestLines);
    }
    if (endpointStats) {
        summary.exportLines.push_back(EndpointComparisonLines(
            CompareEndpoints(baseline.Endpoints().Figures(), endpointStats->Figures(), regressionRules),
            options.baselinePath));
    }
    if (liveStore) {
        summary.exportLines.push_back("Live view: " + std::to_string(liveStore->Count()) + " requests kept, " +
                                      std::to_string(liveStore->LetGo()) + " let go (oldest first, beyond " +
                                      std::to_string(LiveBytes() >> 10) + " KiB)");
    }
    std::string text = session->RenderSummary(summary);
    const bool viewersFailed = viewers && !WriteViewerFiles(summary, text);
    FILE* out = options.summaryToStdout ? stdout : stderr;
    fwrite(text.data(), 1, text.size(), out);
    fflush(out);

    if (liveServer) {
        liveServer->Stop();
    }
    listener->Shutdown();
    if (!options.readyFile.empty()) {
        unlink(options.readyFile.c_str());
    }
    return json.Failed() || requestFile.Failed() || viewersFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    CollectorOptions options;
    std::string error;
    if (!ParseCollectorOptions(argc, argv, getenv("MORVEL_WIRE_COMMAND_PORT"), options, error,
                               [](const char* name) -> const char* { return getenv(name); })) {
        fprintf(stderr, "quorix-collect: %s\n(quorix-collect --help lists every option)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        fputs(CollectorUsage(), stdout);
        return 0;
    }
    InstallSignalHandlers();
    Collector collector(options);
    int code = collector.Prepare();
    if (code < 0) {
        code = collector.Listen();
    }
    if (code >= 0) {
        return code;
    }
    collector.Collect();
    return collector.Finish();
}
