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

#include "CollectorOptions.h"
#include "CollectorSession.h"
#include "Listeners.h"

using namespace QuorixCollect;

namespace {

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int sig)
{
    if (g_stopSignal != 0) {
        // A second request means "now": no summary.
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    g_stopSignal = sig;
}

void InstallSignalHandlers()
{
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa{};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    // A shell starts background jobs with SIGINT ignored; keep it that way so that ^C reaches the
    // profiled program while the wrapper stops us with SIGTERM after it.
    struct sigaction current{};
    if (sigaction(SIGINT, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
        sigaction(SIGINT, &sa, nullptr);
    }
}

class JsonOutput {
public:
    bool Open(const std::string& path, std::string& error)
    {
        if (path.empty()) {
            return true;
        }
        if (path == "-") {
            file_ = stdout;
            return true;
        }
        // The stream may carry API keys: readable by the owner only.
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || (file_ = fdopen(fd, "w")) == nullptr) {
            error = "cannot open JSON output '" + path + "': " + strerror(errno);
            if (fd >= 0) {
                close(fd);
            }
            return false;
        }
        owned_ = true;
        setvbuf(file_, nullptr, _IOFBF, 1 << 20);
        return true;
    }

    void Write(const std::string& line)
    {
        if (file_ == nullptr || failed_) {
            return;
        }
        if (fwrite(line.data(), 1, line.size(), file_) != line.size() || fputc('\n', file_) == EOF) {
            Fail();
        }
    }

    void Flush()
    {
        if (file_ != nullptr && !failed_ && fflush(file_) != 0) {
            Fail();
        }
    }

    void Close()
    {
        Flush();
        if (owned_ && file_ != nullptr && fclose(file_) != 0 && !failed_) {
            Fail();
        }
        file_ = nullptr;
    }

    bool Failed() const { return failed_; }

private:
    void Fail()
    {
        // A full disk or a closed reader must not stop the collection itself.
        failed_ = true;
        fprintf(stderr, "quorix-collect: writing JSON output failed (%s); JSON output stopped\n", strerror(errno));
    }

    FILE* file_ = nullptr;
    bool owned_ = false;
    bool failed_ = false;
};

bool WriteReadyFile(const std::string& path, const std::string& endpoint, std::string& error)
{
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

const char* TransportName(Transport t)
{
    switch (t) {
    case Transport::Udp: return "udp";
    case Transport::Tcp: return "tcp";
    case Transport::Pipe: return "pipe";
    }
    return "?";
}

} // namespace

int main(int argc, char** argv)
{
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

    JsonOutput json;
    if (!json.Open(options.jsonPath, error)) {
        fprintf(stderr, "quorix-collect: %s\n", error.c_str());
        return 1;
    }
    CollectorSession::Options sessionOptions;
    sessionOptions.buildTree = options.tree;
    CollectorSession::LineSink sink;
    if (!options.jsonPath.empty()) {
        sink = [&json](const std::string& line) { json.Write(line); };
    }
    CollectorSession session(sessionOptions, sink);

    std::unique_ptr<Listener> listener = MakeListener(options, sessionOptions.maxConnections);
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
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.durationSeconds));
    auto lastFlush = start;
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
        if (now - lastFlush >= std::chrono::milliseconds(100)) {
            json.Flush();
            lastFlush = now;
        }
    }
    listener->Drain(session);
    json.Close();

    CollectorSession::SummaryOptions summary;
    summary.tree = options.tree;
    summary.treeLines = options.treeLines;
    summary.transportLines = listener->Describe();
    const std::string text = session.RenderSummary(summary);
    FILE* out = options.summaryToStdout ? stdout : stderr;
    fwrite(text.data(), 1, text.size(), out);
    fflush(out);

    listener->Shutdown();
    if (!options.readyFile.empty()) {
        unlink(options.readyFile.c_str());
    }
    return json.Failed() ? 1 : 0;
}
