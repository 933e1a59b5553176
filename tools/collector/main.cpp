// quorix-collect: receives the agent's commands over UDP, TCP or a FIFO, writes them as JSON
// lines and prints a summary with per-thread call trees when it stops.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CollectorOptions.h"
#include "CollectorSession.h"
#include "Listeners.h"
#include "OtlpExporter.h"
#include "ReportWriter.h"
#include "ViewerExport.h"

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

// JSON lines go out in large writes straight from the session's buffer. A thread of its own
// does the writing, so that decoding goes on while the kernel copies the previous buffer.
class JsonFile final : public JsonSink {
public:
    ~JsonFile() override { Close(); }

    bool Open(const std::string& path, std::string& error) {
        if (path == "-") {
            fd = STDOUT_FILENO;
        } else {
            std::string reason;
            fd = OpenOutputFile(path, reason);
            if (fd < 0) {
                error = "cannot open JSON output '" + path + "': " + reason;
                return false;
            }
            owned = true;
        }
        buffer.reserve(drainAt + 64 * 1024);
        writing.reserve(drainAt + 64 * 1024);
        // Stop signals are for the main loop: the writer starts with them blocked.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        writer = std::thread([this] { WriterLoop(); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return true;
    }

    // Hands the buffer to the writer, waiting while it still writes the previous one.
    void Drain() override {
        if (buffer.empty() || !writer.joinable()) {
            buffer.clear();
            return;
        }
        std::unique_lock<std::mutex> lock(mutex);
        idle.wait(lock, [this] { return !full; });
        writing.swap(buffer);
        full = true;
        work.notify_one();
        lock.unlock();
        buffer.clear();
    }

    void Close() {
        if (!writer.joinable()) {
            return;
        }
        Drain();
        {
            std::unique_lock<std::mutex> lock(mutex);
            idle.wait(lock, [this] { return !full; });
            stop = true;
            work.notify_one();
        }
        writer.join();
        if (owned && fd >= 0 && close(fd) != 0 && !failed) {
            Fail(errno);
        }
        fd = -1;
    }

    bool Failed() const { return failed; }

private:
    void WriterLoop() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            work.wait(lock, [this] { return full || stop; });
            if (!full) {
                return;
            }
            lock.unlock();
            WriteOut(writing);
            lock.lock();
            writing.clear();
            full = false;
            idle.notify_one();
        }
    }

    void WriteOut(const std::string& text) {
        const char* data = text.data();
        size_t left = text.size();
        while (!failed && left > 0) {
            const ssize_t n = write(fd, data, left);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                Fail(n < 0 ? errno : EIO);
                return;
            }
            data += n;
            left -= static_cast<size_t>(n);
        }
    }

    void Fail(int error) {
        // A full disk or a closed reader must not stop the collection itself.
        failed = true;
        fprintf(stderr, "quorix-collect: writing JSON output failed (%s); JSON output stopped\n", strerror(error));
    }

    int fd = -1;
    bool owned = false;
    std::atomic<bool> failed{false};
    std::thread writer;
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable idle;
    std::string writing;
    bool full = false;
    bool stop = false;
};

// Room for the JSON buffers: two drains' worth, each with the longest line on top.
constexpr size_t JsonBufferBytes = 2 * ((size_t{1} << 20) + 512 * 1024);
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

}  // namespace

int main(int argc, char** argv) {
    CollectorOptions options;
    std::string error;
    if (!ParseCollectorOptions(argc, argv, getenv("MORVEL_WIRE_COMMAND_PORT"), options, error)) {
        fprintf(stderr, "quorix-collect: %s\n%s", error.c_str(), CollectorUsage());
        return 2;
    }
    if (options.help) {
        fputs(CollectorUsage(), stdout);
        return 0;
    }
    InstallSignalHandlers();

    JsonFile json;
    const bool writeJson = !options.jsonPath.empty();
    if (writeJson && !json.Open(options.jsonPath, error)) {
        fprintf(stderr, "quorix-collect: %s\n", error.c_str());
        return 1;
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
        fprintf(stderr,
                "quorix-collect: --report needs the browser libraries, missing at build time: %s(run "
                "scripts/setup.sh, then build again)\n",
                ReportWriter::MissingAssets().c_str());
        return 1;
    }
    const size_t viewerBytes = viewerOutputs.Any() ? viewerOutputs.BoundBytes() : 0;
    OtlpExporter::Options exportOptions;
    const bool exportSpans = !options.otlpUrl.empty();
    exportOptions.queueBytes = std::min(exportOptions.queueBytes, options.maxMemoryBytes / 8);
    // The bound covers everything that grows with the input: what the transport, the JSON
    // output, the viewer data and the span queue hold is taken off first, the session gets the rest.
    const size_t buffers = ListenerBufferBytes(options) + (writeJson ? JsonBufferBytes : 0) + viewerBytes +
                           (exportSpans ? exportOptions.queueBytes : 0);
    CollectorSession::Options sessionOptions;
    sessionOptions.buildTree = options.tree;
    sessionOptions.maxMemory =
        options.maxMemoryBytes > 2 * buffers ? options.maxMemoryBytes - buffers : options.maxMemoryBytes / 2;
    CollectorSession session(sessionOptions, nullptr);
    if (writeJson) {
        session.SetJsonSink(&json);
    }
    exportOptions.url = options.otlpUrl;
    exportOptions.serviceName = options.serviceName;
    exportOptions.minDurationMs = options.otlpMinDurationMs;
    OtlpExporter exporter(
        exportOptions, [&session](uint32_t pid, uint32_t functionId) { return session.FunctionName(pid, functionId); });
    if (exportSpans) {
        if (!exporter.Start(error)) {
            fprintf(stderr, "quorix-collect: %s\n", error.c_str());
            return 2;
        }
        session.AddObserver(&exporter);
    }
    std::unique_ptr<ViewerExport> viewers;
    if (viewerOutputs.Any()) {
        viewers = std::make_unique<ViewerExport>(viewerOutputs);
        session.AddObserver(viewers.get());
    }

    std::unique_ptr<Listener> listener = MakeListener(options);
    if (!listener->Open(error)) {
        fprintf(stderr, "quorix-collect: %s\n", error.c_str());
        listener->Shutdown();
        return 1;
    }
    if (!options.readyFile.empty() && !WriteReadyFile(options.readyFile, listener->Endpoint(), error)) {
        fprintf(stderr, "quorix-collect: %s\n", error.c_str());
        listener->Shutdown();
        return 1;
    }
    if (!options.quiet) {
        fprintf(stderr, "quorix-collect: listening (%s %s)\n", TransportName(options.transport),
                listener->Endpoint().c_str());
    }

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
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
        listener->Wait(session, timeoutMs);
        if (options.untilEnded && session.AllProcessesEnded()) {
            break;
        }
        const auto now = Clock::now();
        if (writeJson && now - lastFlush >= std::chrono::milliseconds(100)) {
            json.Drain();
            lastFlush = now;
        }
        if (now - lastExpiry >= std::chrono::milliseconds(500)) {
            listener->Expire(session, now);
            lastExpiry = now;
        }
    }
    listener->Drain(session, FinalDrainLimit);
    json.Close();
    if (exportSpans) {
        exporter.Finish(FinalExportLimit);
    }

    CollectorSession::SummaryOptions summary;
    summary.tree = options.tree;
    summary.treeLines = options.treeLines;
    summary.transportLines = listener->Describe();
    summary.lossLines = listener->LossLines();
    summary.memoryBound = options.maxMemoryBytes;
    if (exportSpans) {
        summary.exportLines = exporter.SummaryLines();
    }
    std::string text = session.RenderSummary(summary);
    bool viewersFailed = false;
    if (viewers) {
        RunSummary run;
        run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        run.transport = std::string(TransportName(options.transport)) + " " + listener->Endpoint();
        CollectorSession::SummaryOptions plain = summary;
        plain.tree = false;
        run.summaryText = session.RenderSummary(plain);
        // The export lines always name a dropped count; the exporter says itself when spans were lost.
        plain.exportLines.clear();
        run.dropLines = DropLines(session.RenderSummary(plain));
        if (exportSpans) {
            for (auto& line : exporter.DropLines()) {
                run.dropLines.push_back(std::move(line));
            }
        }
        std::vector<std::string> errors;
        viewersFailed = !viewers->WriteAll(session, run, errors);
        for (const auto& e : errors) {
            fprintf(stderr, "quorix-collect: %s\n", e.c_str());
        }
        // Where the files are, after the call trees so that a terminal shows them last.
        for (const auto& line : viewers->SummaryLines()) {
            text += "  " + line + "\n";
        }
    }
    FILE* out = options.summaryToStdout ? stdout : stderr;
    fwrite(text.data(), 1, text.size(), out);
    fflush(out);

    listener->Shutdown();
    if (!options.readyFile.empty()) {
        unlink(options.readyFile.c_str());
    }
    return json.Failed() || viewersFailed ? 1 : 0;
}
