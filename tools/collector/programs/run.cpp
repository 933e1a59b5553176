// quorix-run: runs a .NET program with the agent loaded and a collector listening, then lets the
// collector print its summary and write its files. The program keeps its standard streams and its
// exit code.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cli/AgentLocation.h"
#include "cli/OtlpSettings.h"
#include "cli/RunOptions.h"

using namespace QuorixCollect;

#ifndef QX_DEFAULT_PROFILER_PATH
#define QX_DEFAULT_PROFILER_PATH ""
#endif

namespace {

void Nothing(int) {}

std::string HereDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    std::string text = path;
    return text.substr(0, text.rfind('/'));
}

// `headers` (the --otlp-header values) go to the collector in its environment only.
pid_t Spawn(const std::vector<std::string>& args, bool collector, const std::string& headers = {}) {
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    if (collector && !headers.empty()) {
        setenv(RunHeadersVariable, headers.c_str(), 1);
    }
    // Handlers do not survive exec, but ignored signals would: give the child the defaults back.
    signal(SIGINT, collector ? SIG_IGN : SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    if (collector) {
        // Like a shell's background job: ^C belongs to the program, the wrapper stops the collector.
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
        }
    }
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    const int error = errno;
    fprintf(stderr, "quorix-run: %s: %s\n", args[0].c_str(), strerror(error));
    _exit(error == ENOENT ? 127 : 126);
}

// Exit status as a shell reports it.
int StatusOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 1;
}

bool Alive(pid_t pid, int& status) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    return r == 0;
}

// How a collector that ended on its own ended, for the message.
std::string Ending(int status) {
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        return std::string("killed by signal ") + std::to_string(sig) + " (" + strsignal(sig) + ")";
    }
    return "exit code " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

// Stops the collector so that it prints its summary and writes its files; false (after saying
// why) when it had died already, failed or had to be killed.
bool StopCollector(pid_t collector) {
    int status = 0;
    if (!Alive(collector, status)) {
        fprintf(stderr, "quorix-run: the collector died while the program ran (%s): no summary, no files\n",
                Ending(status).c_str());
        return false;
    }
    kill(collector, SIGTERM);
    // Its final drain and span export are bounded (5 s each), and it writes the viewer files
    // after them: allow for all of that.
    for (int i = 0; i < 400; ++i) {
        if (!Alive(collector, status)) {
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                return true;
            }
            fprintf(stderr, "quorix-run: the collector failed (%s)\n", Ending(status).c_str());
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    fprintf(stderr, "quorix-run: the collector did not stop; killing it\n");
    kill(collector, SIGKILL);
    waitpid(collector, &status, 0);
    return false;
}

// The port the agent is told: --port, else the agent's own variable read its way, else 2799.
int AgentPort(const RunOptions& options) {
    if (options.port != 0) {
        return options.port;
    }
    const char* env = getenv("MORVEL_WIRE_COMMAND_PORT");
    std::string text = env != nullptr ? env : "";
    if (!text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos) {
        const int v = atoi(text.c_str());
        return v >= 1 && v <= 65535 ? v : 2799;
    }
    return 2799;
}

std::string AgentLibrary(const std::string& here) {
    const AgentLocation location =
        LocateAgentLibrary(here, getenv("QUORIX_PROFILER_PATH"), QX_DEFAULT_PROFILER_PATH, [](const std::string& path) {
            struct stat st {};
            return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        });
    if (!location.found) {
        fprintf(stderr, "quorix-run: warning: agent library not found at %s\n", location.path.c_str());
    }
    return location.path;
}

void KeepSignalsForTheProgram() {
    // ^C belongs to the program; the wrapper carries on to stop the collector and let it report.
    struct sigaction sa {};
    sa.sa_handler = Nothing;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Starts the collector and waits (10 s at most) until it listens; its pid, or -1.
pid_t StartCollector(const RunOptions& options, const std::string& collectorPath, const std::string& ready, int port) {
    std::vector<std::string> args{collectorPath, "--transport", options.transport, "--ready-file", ready, "--quiet"};
    args.insert(args.end(), options.collectorArgs.begin(), options.collectorArgs.end());
    if (options.transport != "pipe") {
        args.insert(args.end(), {"--port", std::to_string(port)});
    }
    if (options.multicast) {
        args.emplace_back("--multicast");
    }
    if (!options.json.empty()) {
        args.insert(args.end(), {"--json", options.json});
    }
    std::string headers;
    for (const auto& h : options.otlpHeaders) {
        headers += h + "\n";
    }
    const pid_t collector = Spawn(args, true, headers);
    if (collector < 0) {
        fprintf(stderr, "quorix-run: cannot start the collector: %s\n", strerror(errno));
        return -1;
    }
    for (int i = 0; i < 200; ++i) {
        if (access(ready.c_str(), F_OK) == 0) {
            return collector;
        }
        int status = 0;
        if (!Alive(collector, status)) {
            fprintf(stderr, "quorix-run: the collector could not start\n");
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    fprintf(stderr, "quorix-run: the collector did not become ready\n");
    StopCollector(collector);
    return -1;
}

// Runs the command with the profiling variables set; its exit code as a shell gives it.
int RunProfiled(const RunOptions& options, const std::string& profiler, int port) {
    const char* mode = options.transport == "udp" ? "Udp" : options.transport == "tcp" ? "Tcp" : "NamedPipe";
    setenv("CORECLR_ENABLE_PROFILING", "1", 1);
    setenv("CORECLR_PROFILER", "{76CAC89D-4E69-48F9-BD88-3686BBD6CD7F}", 1);
    setenv("CORECLR_PROFILER_PATH", profiler.c_str(), 1);
    setenv("MORVEL_NETWORK_MODE", mode, 1);
    setenv("MORVEL_WIRE_COMMAND_PORT", std::to_string(port).c_str(), 1);
    setenv("MORVEL_USE_MULTICAST", options.multicast ? "1" : "0", 1);
    // Without --engine, a setting of the user's wins over the default.
    setenv("MORVEL_TRACE_ENGINE", options.engine.c_str(), options.engineGiven ? 1 : 0);
    // The agent's delivery reports show in the summary what it could not send; an explicit
    // setting of the user's wins.
    setenv("MORVEL_REPORT_DELIVERY", "true", 0);
    // So are the type and message of each exception, which this collector knows to read.
    setenv("MORVEL_REPORT_EXCEPTIONS", "1", 0);
    // Who asks for every command as JSON expects all of them: the app's threads wait for the
    // collector rather than drop calls (while it takes their batches; a collector that stops
    // reading turns waiting off within the relay's batch timeout).
    if (!options.json.empty()) setenv("MORVEL_WAIT_FOR_COLLECTOR", "5000", 0);
    int status = 1;
    const pid_t program = Spawn(options.command, false);
    if (program < 0) {
        fprintf(stderr, "quorix-run: cannot start %s: %s\n", options.command[0].c_str(), strerror(errno));
        return status;
    }
    while (waitpid(program, &status, 0) < 0 && errno == EINTR) {}
    return StatusOf(status);
}

}  // namespace

int main(int argc, char** argv) {
    RunOptions options;
    std::string error;
    if (!ParseRunOptions(argc, argv, options, error)) {
        fprintf(stderr, "quorix-run: %s\n(quorix-run --help lists every option)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        fputs(RunUsage(), stdout);
        return 0;
    }
    const int port = AgentPort(options);
    const std::string here = HereDirectory();
    const std::string collectorPath = here + "/quorix-collect";
    if (access(collectorPath.c_str(), X_OK) != 0) {
        fprintf(stderr, "quorix-run: collector not found at %s\n", collectorPath.c_str());
        return 125;
    }
    const std::string profiler = AgentLibrary(here);
    std::string workdir = std::string(getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp") + "/quorix-run.XXXXXX";
    if (mkdtemp(workdir.data()) == nullptr) {
        fprintf(stderr, "quorix-run: cannot create a temporary folder: %s\n", strerror(errno));
        return 125;
    }
    const std::string ready = workdir + "/ready";
    auto cleanup = [&] {
        unlink(ready.c_str());
        rmdir(workdir.c_str());
    };
    KeepSignalsForTheProgram();
    const pid_t collector = StartCollector(options, collectorPath, ready, port);
    if (collector < 0) {
        cleanup();
        return 125;
    }
    const int status = RunProfiled(options, profiler, port);
    // Let the last datagrams arrive, then ask for the summary.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const bool reported = StopCollector(collector);
    cleanup();
    if (!reported) {
        // The program's own code would pass for a complete profile: it was not one.
        fprintf(stderr, "quorix-run: exiting with 125 (the program exited with %d)\n", status);
        return 125;
    }
    return status;
}
