// Runs the real quorix-collect binary against real sockets and a real FIFO.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "cli/CollectorOptions.h"
#include "spans/ScriptedReceiver.h"
#include "WireBytes.h"
#include "FileText.h"

using namespace CollectorTest;

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);) {
        out.push_back(line);
    }
    return out;
}

class CollectorProcess {
public:
    CollectorProcess() {
        char tmpl[] = "/tmp/qxcollect-test.XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~CollectorProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    const fs::path& Dir() const { return dir; }

    // Starts the collector in the temp dir with its output in files there; `env` (NAME=VALUE)
    // is all it gets of the OpenTelemetry variables.
    void Start(std::vector<std::string> args, bool json = true, std::vector<std::string> env = {}) {
        args.insert(args.begin(), QX_COLLECT_BIN);
        Run(std::move(args), json, std::move(env));
    }
    // quorix-run with the same set-up.
    void StartRun(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), QX_RUN_BIN);
        Run(std::move(args), false, std::move(env), false);
    }

    void Run(std::vector<std::string> args, bool json, std::vector<std::string> env, bool ready = true) {
        if (ready) {
            args.insert(args.end(), {"--ready-file", (dir / "ready").string()});
        }
        if (json) {
            args.insert(args.end(), {"--json", (dir / "out.json").string()});
        }
        const std::string err = (dir / "stderr.txt").string();
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) {
                _exit(126);
            }
            const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 2);
            for (char** e = environ; *e != nullptr;) {
                const std::string entry = *e;
                if (entry.rfind("OTEL_", 0) == 0 || entry.rfind("QUORIX_OTLP_", 0) == 0) {
                    unsetenv(entry.substr(0, entry.find('=')).c_str());
                } else {
                    ++e;
                }
            }
            for (auto& e : env) {
                putenv(e.data());
            }
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }

    // The ready file's content, or "" when the collector did not become ready.
    std::string WaitReady() {
        for (int i = 0; i < 400; ++i) {
            if (fs::exists(dir / "ready")) {
                std::string text = CollectorTest::FileText(dir / "ready");
                while (!text.empty() && text.back() == '\n') {
                    text.pop_back();
                }
                return text;
            }
            if (Exited()) {
                return "";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return "";
    }

    // Exit status, or -1 when it did not exit within `seconds`.
    int WaitExit(int seconds = 10) {
        for (int i = 0; i < seconds * 40 && !Exited(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        if (!Exited()) {
            return -1;
        }
        return status;
    }

    void Signal(int sig) { kill(pid, sig); }
    pid_t Pid() const { return pid; }
    std::string Json() const { return CollectorTest::FileText(dir / "out.json"); }
    std::string Stderr() const { return CollectorTest::FileText(dir / "stderr.txt"); }

private:
    bool Exited() {
        if (pid <= 0) {
            return true;
        }
        int waitStatus = 0;
        if (waitpid(pid, &waitStatus, WNOHANG) == pid) {
            status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
            pid = -1;
            return true;
        }
        return false;
    }

    fs::path dir;
    pid_t pid = -1;
    int status = -1;
};

Bytes Announce() {
    return Concat({Command(9), Command(11, Builder().U64(1000000).bytes),
                   Command(12, Builder().Text16(".NET 8.0.0").Text16("DOTNET_CORE").bytes),
                   Command(104, Builder().Text16("2.3.0").bytes)});
}

Bytes Calls() {
    return Concat({MethodInfo(101, "App.Program", "Main"),
                   BeginCall(101, {Record(12, "arg", Builder().U16(4).Raw(Utf16(u"\"x")).bytes)}, 7, 1000),
                   EndCall(101, 7, 1800, false, Record(6, "", {42, 0, 0, 0}))});
}

void ExpectValidLines(const std::vector<std::string>& lines) {
    for (const auto& l : lines) {
        EXPECT_TRUE(JsonChecker::Valid(l)) << l;
    }
}

int ConnectTcp(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void SendAll(int fd, const Bytes& b, size_t chunk) {
    for (size_t i = 0; i < b.size(); i += chunk) {
        const size_t n = std::min(chunk, b.size() - i);
        ASSERT_EQ(send(fd, b.data() + i, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
        // Small pauses make the collector really see split reads.
        if (chunk < b.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

}  // namespace

TEST(CollectorProcess, TcpAcrossReconnectsUntilTheProcessEnds) {
    CollectorProcess p;
    p.Start({"--transport", "tcp", "--port", "0", "--until-ended", "--duration", "20"});
    const std::string ready = p.WaitReady();
    ASSERT_FALSE(ready.empty()) << p.Stderr();
    const auto port = static_cast<uint16_t>(std::stoi(ready));

    // First connection: announcements and a call, written in 5-byte pieces.
    int fd = ConnectTcp(port);
    ASSERT_GE(fd, 0);
    SendAll(fd, Concat({Announce(), Calls()}), 5);
    close(fd);
    // The agent reconnects after failures: a connection carrying garbage is counted and
    // dropped, a third one carries the end of the process.
    fd = ConnectTcp(port);
    ASSERT_GE(fd, 0);
    SendAll(fd, Bytes{0x02, 0x00, 0x01, 0x00}, 4);
    close(fd);
    fd = ConnectTcp(port);
    ASSERT_GE(fd, 0);
    SendAll(fd, Command(10), 19);
    close(fd);

    ASSERT_EQ(p.WaitExit(), 0) << p.Stderr();
    const auto lines = Lines(p.Json());
    ExpectValidLines(lines);
    ASSERT_EQ(lines.size(), 8u) << p.Json();
    EXPECT_NE(lines[2].find(R"("runtime":".NET 8.0.0","host":"DOTNET_CORE","apiKey":"")"), std::string::npos);
    EXPECT_NE(
        lines[5].find(
            R"("function":"App.Program::Main","instanceId":0,"args":[{"name":"arg","type":12,"typeName":"string","value":"\"x"}])"),
        std::string::npos)
        << lines[5];
    EXPECT_NE(lines[6].find(R"("returnValue":{"name":"","type":6,"typeName":"int","value":42})"), std::string::npos);
    EXPECT_NE(lines[7].find(R"("name":"ProcessEnded")"), std::string::npos);

    const std::string summary = p.Stderr();
    EXPECT_NE(summary.find("3 connections"), std::string::npos) << summary;
    EXPECT_NE(summary.find("malformed messages: 1"), std::string::npos) << summary;
    EXPECT_NE(summary.find("App.Program::Main(arg=\"\"x\") -> 42  800 us"), std::string::npos) << summary;
    EXPECT_NE(summary.find("pid 4711  runtime \".NET 8.0.0\"  host DOTNET_CORE  agent 2.3.0"), std::string::npos);
    EXPECT_FALSE(fs::exists(p.Dir() / "ready"));
    EXPECT_TRUE(std::regex_search(summary, std::regex("\n  decode rate: [0-9]+ messages/s\n"))) << summary;
}

TEST(CollectorProcess, FifoInTheWorkingDirectory) {
    CollectorProcess p;
    p.Start({"--transport", "pipe", "--until-ended", "--duration", "20"});
    const std::string ready = p.WaitReady();
    ASSERT_EQ(ready, QuorixCollect::DefaultPipeName) << p.Stderr();
    const fs::path fifo = p.Dir() / QuorixCollect::DefaultPipeName;
    struct stat st {};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // Two writers one after the other, opened the way the agent opens the FIFO.
    for (const Bytes& part : {Concat({Announce(), Calls()}), Command(10)}) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, part.data(), part.size()), static_cast<ssize_t>(part.size()));
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(p.WaitExit(), 0) << p.Stderr();
    const auto lines = Lines(p.Json());
    ExpectValidLines(lines);
    ASSERT_EQ(lines.size(), 8u) << p.Json();
    EXPECT_NE(lines[5].find(R"("function":"App.Program::Main")"), std::string::npos);
    // The FIFO the collector made is gone again.
    EXPECT_FALSE(fs::exists(fifo));
}

TEST(CollectorProcess, RefusesAPipePathThatIsNotAFifo) {
    CollectorProcess p;
    const fs::path target = p.Dir() / "victim";
    { std::ofstream(target) << "keep"; }
    fs::create_symlink(target, p.Dir() / QuorixCollect::DefaultPipeName);
    p.Start({"--transport", "pipe", "--duration", "5"});
    EXPECT_EQ(p.WaitExit(), 1);
    EXPECT_NE(p.Stderr().find("is not a FIFO"), std::string::npos) << p.Stderr();
    EXPECT_EQ(CollectorTest::FileText(target), "keep");
}

TEST(CollectorProcess, RefusesAFifoOthersMayWriteOrOfAnotherUser) {
    CollectorProcess p;
    const fs::path fifo = p.Dir() / QuorixCollect::DefaultPipeName;
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(chmod(fifo.c_str(), 0622), 0);
    p.Start({"--transport", "pipe", "--duration", "5"});
    EXPECT_EQ(p.WaitExit(), 1);
    EXPECT_NE(p.Stderr().find("is writable by group or others; refusing to use it"), std::string::npos) << p.Stderr();

    if (geteuid() == 0) {
        CollectorProcess q;
        const fs::path theirs = q.Dir() / QuorixCollect::DefaultPipeName;
        ASSERT_EQ(mkfifo(theirs.c_str(), 0600), 0);
        ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
        q.Start({"--transport", "pipe", "--duration", "5"});
        EXPECT_EQ(q.WaitExit(), 1);
        EXPECT_NE(q.Stderr().find("is owned by another user; refusing to use it"), std::string::npos) << q.Stderr();
        EXPECT_TRUE(fs::exists(theirs)) << "not ours to remove";
    }
}

TEST(CollectorProcess, RefusesJsonOutputThroughASymbolicLink) {
    CollectorProcess p;
    const fs::path target = p.Dir() / "victim";
    { std::ofstream(target) << "keep"; }
    fs::create_symlink(target, p.Dir() / "out.json");
    p.Start({"--transport", "tcp", "--port", "0", "--duration", "5"});
    EXPECT_EQ(p.WaitExit(), 1);
    EXPECT_NE(p.Stderr().find("cannot open JSON output '" + (p.Dir() / "out.json").string() +
                              "': it is a symbolic link; refusing to write through it"),
              std::string::npos)
        << p.Stderr();
    EXPECT_EQ(CollectorTest::FileText(target), "keep");
}

TEST(CollectorProcess, UdpDatagramsUntilSigterm) {
    CollectorProcess p;
    p.Start({"--transport", "udp", "--port", "0", "--no-tree"});
    const std::string ready = p.WaitReady();
    ASSERT_FALSE(ready.empty()) << p.Stderr();
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(ready)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::vector<Bytes> datagrams = {Command(9), MethodInfo(5, "A", "B"), Bytes{0x13, 0x00, 0x09}, BeginCall(5),
                                          EndCall(5)};
    for (const auto& d : datagrams) {
        ASSERT_EQ(sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
                  static_cast<ssize_t>(d.size()));
    }
    close(fd);
    // Whatever is queued when the signal comes is still read.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    p.Signal(SIGTERM);
    ASSERT_EQ(p.WaitExit(), 0) << p.Stderr();
    const auto lines = Lines(p.Json());
    ExpectValidLines(lines);
    ASSERT_EQ(lines.size(), 4u) << p.Json();
    EXPECT_NE(lines[3].find(R"("function":"A::B")"), std::string::npos);
    EXPECT_NE(p.Stderr().find("malformed messages: 1"), std::string::npos) << p.Stderr();
    EXPECT_EQ(p.Stderr().find("call trees"), std::string::npos);
}

namespace {

// The number after `label` in the summary, or -1.
long long Figure(const std::string& summary, const std::string& label) {
    const size_t at = summary.find("\n  " + label + ": ");
    if (at == std::string::npos) {
        return -1;
    }
    return std::stoll(summary.substr(at + label.size() + 5));
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

TEST(CollectorProcess, UdpSentIntoAPausedCollectorIsDecodedOrCountedAsDropped) {
    CollectorProcess p;
    p.Start({"--transport", "udp", "--port", "0", "--no-tree"});
    const std::string ready = p.WaitReady();
    ASSERT_FALSE(ready.empty()) << p.Stderr();
    // Stopped, the collector reads nothing while the datagrams pile up and overflow its socket.
    p.Signal(SIGSTOP);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = Loopback(static_cast<uint16_t>(std::stoi(ready)));
    constexpr int Sent = 50000;
    for (int i = 0; i < Sent; ++i) {
        const Bytes d = i % 2 == 0 ? BeginCall(5, {}, 7, i) : EndCall(5, 7, i);
        ASSERT_EQ(sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a),
                  static_cast<ssize_t>(d.size()));
    }
    close(fd);
    p.Signal(SIGCONT);
    // Told to stop at once: what is still queued is read by the final drain.
    p.Signal(SIGTERM);
    ASSERT_EQ(p.WaitExit(), 0) << p.Stderr();
    const std::string summary = p.Stderr();
    const long long decoded = Figure(summary, "commands");
    const long long dropped = Figure(summary, "kernel drops");
    ASSERT_GE(decoded, 0) << summary;
    ASSERT_GE(dropped, 0) << summary;
    EXPECT_EQ(decoded + dropped, Sent) << summary;
    EXPECT_EQ(Lines(p.Json()).size(), static_cast<size_t>(decoded));
}

TEST(CollectorProcess, IdleAndHalfSentConnectionsTimeOut) {
    CollectorProcess p;
    p.Start({"--transport", "tcp", "--port", "0", "--idle-timeout", "1", "--until-ended", "--duration", "20"});
    const std::string ready = p.WaitReady();
    ASSERT_FALSE(ready.empty()) << p.Stderr();
    const auto port = static_cast<uint16_t>(std::stoi(ready));
    const int silent = ConnectTcp(port);
    const int half = ConnectTcp(port);
    ASSERT_GE(silent, 0);
    ASSERT_GE(half, 0);
    const Bytes info = MethodInfo(1, "A", "B");
    SendAll(half, Bytes(info.begin(), info.begin() + 10), 10);
    // Both are closed by the collector: reading gives end of stream.
    for (const int fd : {silent, half}) {
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char c;
        EXPECT_EQ(recv(fd, &c, 1, 0), 0);
        close(fd);
    }
    const int last = ConnectTcp(port);
    ASSERT_GE(last, 0);
    SendAll(last, Concat({Announce(), Command(10)}), 1 << 20);
    close(last);
    ASSERT_EQ(p.WaitExit(), 0) << p.Stderr();
    const std::string summary = p.Stderr();
    EXPECT_NE(summary.find("3 connections (2 closed after 1 s without a byte (1 in the middle of a command))"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("timed out 1"), std::string::npos) << summary;
    EXPECT_EQ(Figure(summary, "commands"), 5) << summary;
}

TEST(CollectorProcess, FullConnectionTableMakesRoomForANewcomer) {
    CollectorProcess p;
    p.Start({"--transport", "tcp", "--port", "0", "--max-connections", "3", "--until-ended", "--duration", "20"});
    const std::string ready = p.WaitReady();
    ASSERT_FALSE(ready.empty()) << p.Stderr();
    const auto port = static_cast<uint16_t>(std::stoi(ready));
    // Someone holds every slot without sending...
    std::vector<int> squatters;
    for (int i = 0; i < 8; ++i) {
        squatters.push_back(ConnectTcp(port));
        ASSERT_GE(squatters.back(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // ...and the agent still gets in.
    const int agent = ConnectTcp(port);
    ASSERT_GE(agent, 0);
    SendAll(agent, Concat({Announce(), Calls(), Command(10)}), 1 << 20);
    close(agent);
    ASSERT_EQ(p.WaitExit(), 0) << p.Stderr();
    for (const int fd : squatters) {
        close(fd);
    }
    const std::string summary = p.Stderr();
    EXPECT_NE(summary.find("9 connections (6 closed to admit newer ones (limit 3))"), std::string::npos) << summary;
    EXPECT_EQ(Figure(summary, "commands"), 8) << summary;
}

TEST(CollectorProcess, HalfWrittenCommandOnTheFifoTimesOut) {
    CollectorProcess p;
    p.Start({"--transport", "pipe", "--idle-timeout", "1", "--until-ended", "--duration", "20"});
    ASSERT_EQ(p.WaitReady(), QuorixCollect::DefaultPipeName) << p.Stderr();
    const fs::path fifo = p.Dir() / QuorixCollect::DefaultPipeName;
    const Bytes info = MethodInfo(1, "A", "B");
    // A writer dies in the middle of a command; the next one must not be misread after it.
    for (const Bytes& part : {Bytes(info.begin(), info.begin() + 10), Concat({Announce(), Command(10)})}) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, part.data(), part.size()), static_cast<ssize_t>(part.size()));
        close(fd);
        if (part.size() == 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        }
    }
    ASSERT_EQ(p.WaitExit(), 0) << p.Stderr();
    const std::string summary = p.Stderr();
    EXPECT_NE(summary.find("timed out 1"), std::string::npos) << summary;
    EXPECT_EQ(Figure(summary, "commands"), 5) << summary;
}

TEST(CollectorProcess, HugeMethodNamesStayWithinTheMemoryBound) {
    CollectorProcess p;
    p.Start({"--transport", "tcp", "--port", "0", "--max-memory", "64", "--until-ended", "--duration", "60"}, false);
    const std::string ready = p.WaitReady();
    ASSERT_FALSE(ready.empty()) << p.Stderr();
    const int fd = ConnectTcp(static_cast<uint16_t>(std::stoi(ready)));
    ASSERT_GE(fd, 0);
    SendAll(fd, Announce(), 1 << 20);
    // 20,000 different names of 32 KB each: 650 MB of names.
    const std::string cls(16000, 'C');
    std::string method(16000, 'm');
    Bytes batch;
    for (uint32_t f = 0; f < 20000; ++f) {
        memcpy(method.data(), &f, sizeof f);
        const Bytes info = MethodInfo(f, cls, method);
        batch.insert(batch.end(), info.begin(), info.end());
        if (batch.size() >= (4u << 20)) {
            SendAll(fd, batch, batch.size());
            batch.clear();
        }
    }
    SendAll(fd, Concat({batch, Command(10)}), 1 << 30);
    close(fd);
    ASSERT_EQ(p.WaitExit(), 0) << p.Stderr();
    const std::string summary = p.Stderr();
    EXPECT_EQ(Figure(summary, "commands"), 20005) << summary;
    EXPECT_NE(summary.find("function names stored cut to 256 bytes"), std::string::npos) << summary;
    // The process as a whole stays near its bound.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(summary, m, std::regex("peak resident ([0-9.]+) MiB"))) << summary;
    EXPECT_LT(std::stod(m[1]), 96.0) << summary;
}

namespace {

// A collector exporting to `url` over TCP, fed one process with a call, then stopped by its
// --duration; seconds from start to exit.
double ExportOneProcess(CollectorProcess& p, const std::string& url, std::vector<std::string> extra = {},
                        std::vector<std::string> env = {}) {
    std::vector<std::string> args = {"--transport", "tcp", "--port", "0", "--otlp-min-duration", "0"};
    if (!url.empty()) {
        args.insert(args.end(), {"--otlp", url});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    const auto start = std::chrono::steady_clock::now();
    p.Start(args, false, std::move(env));
    const std::string ready = p.WaitReady();
    EXPECT_FALSE(ready.empty()) << p.Stderr();
    if (ready.empty()) {
        return 0;
    }
    const int fd = ConnectTcp(static_cast<uint16_t>(std::stoi(ready)));
    EXPECT_GE(fd, 0);
    SendAll(fd, Concat({Announce(), Calls(), Command(10)}), 1 << 20);
    close(fd);
    EXPECT_EQ(p.WaitExit(20), 0) << p.Stderr();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(CollectorProcess, ASilentReceiverDelaysTheExitByTheExportLimitOnly) {
    ScriptedReceiver receiver([](int fd, const HttpRequest&, const std::atomic<bool>& stop) {
        ScriptedReceiver::Silent(fd, stop);
        return false;
    });
    CollectorProcess p;
    // The request waits for its 10 s timeout; the 5 s exit limit cuts it.
    const double seconds = ExportOneProcess(p, receiver.Url(), {"--duration", "1.5"});
    EXPECT_GT(seconds, 6.0) << p.Stderr();
    EXPECT_LT(seconds, 8.5) << p.Stderr();
    EXPECT_NE(p.Stderr().find("1 not delivered by the exit deadline"), std::string::npos) << p.Stderr();
}

TEST(CollectorProcess, AnEndlessAnswerStaysWithinTheMemoryBound) {
    ScriptedReceiver receiver([](int fd, const HttpRequest&, const std::atomic<bool>& stop) {
        ScriptedReceiver::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999\r\n\r\n");
        ScriptedReceiver::Forever(fd, std::string(1 << 20, 'x'), stop);
        return false;
    });
    CollectorProcess p;
    ExportOneProcess(p, receiver.Url(), {"--max-memory", "32", "--until-ended", "--duration", "20"});
    const std::string summary = p.Stderr();
    EXPECT_NE(summary.find("otlp: 1 spans exported"), std::string::npos) << summary;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(summary, m, std::regex("peak resident ([0-9.]+) MiB"))) << summary;
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps freed memory in quarantine: resident size says nothing here.
    GTEST_SKIP() << "resident size under the address sanitizer";
#endif
    EXPECT_LT(std::stod(m[1]), 48.0) << summary;
}

TEST(CollectorProcess, TheOpenTelemetryVariablesTurnTheExportOnAndAreChecked) {
    ScriptedReceiver receiver([](int fd, const HttpRequest&, const std::atomic<bool>&) {
        return ScriptedReceiver::Send(fd, ScriptedReceiver::Answer(200));
    });
    {
        CollectorProcess p;
        ExportOneProcess(p, "", {"--until-ended", "--duration", "20"},
                         {"OTEL_EXPORTER_OTLP_ENDPOINT=" + receiver.Url(), "OTEL_EXPORTER_OTLP_HEADERS=x-api-key=k3y",
                          "OTEL_SERVICE_NAME=from-env", "OTEL_RESOURCE_ATTRIBUTES=team=shop"});
        EXPECT_NE(p.Stderr().find("otlp: 1 spans exported to " + receiver.Url() + "/v1/traces"), std::string::npos)
            << p.Stderr();
        EXPECT_NE(p.Stderr().find("http/protobuf"), std::string::npos) << p.Stderr();
        EXPECT_EQ(p.Stderr().find("k3y"), std::string::npos) << p.Stderr();
        const auto requests = receiver.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].Header("x-api-key"), "k3y");
        EXPECT_NE(requests[0].Header("User-Agent").find("quorix-collect/"), std::string::npos);
        EXPECT_NE(requests[0].body.find("from-env"), std::string::npos);
        EXPECT_NE(requests[0].body.find("team"), std::string::npos);
    }
    // A malformed value: one error naming the variable, nothing of the secret, no start.
    CollectorProcess bad;
    bad.Start({"--transport", "tcp", "--port", "0"}, false,
              {"OTEL_EXPORTER_OTLP_ENDPOINT=" + receiver.Url(), "OTEL_EXPORTER_OTLP_HEADERS=x-api-key k3y"});
    EXPECT_EQ(bad.WaitExit(), 2);
    const auto lines = Lines(bad.Stderr());
    ASSERT_GE(lines.size(), 1u) << bad.Stderr();
    EXPECT_EQ(lines[0].rfind("quorix-collect: OTEL_EXPORTER_OTLP_HEADERS: entry 1 has no '='", 0), 0u) << lines[0];
    EXPECT_EQ(bad.Stderr().find("k3y"), std::string::npos);
    EXPECT_FALSE(fs::exists(bad.Dir() / "ready"));
}

uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

TEST(CollectorProcess, QuorixRunSaysWhenItsCollectorDied) {
    // The "program" finds its sibling collector through quorix-run's children.
    const std::string killCollector =
        "for c in $(cat /proc/$PPID/task/*/children); do "
        "[ \"$(cat /proc/$c/comm)\" = quorix-collect ] && kill -9 $c; done; sleep 0.2; exit 3";
    for (const bool kill : {false, true}) {
        CollectorProcess p;
        p.StartRun(
            {"--no-tree", "--port", std::to_string(FreePort()), "--", "sh", "-c", kill ? killCollector : "exit 3"},
            {"QUORIX_PROFILER_PATH=/nonexistent"});
        const int code = p.WaitExit(20);
        const std::string err = p.Stderr();
        if (kill) {
            EXPECT_EQ(code, 125) << err;
            EXPECT_NE(err.find("the collector died while the program ran (killed by signal 9"), std::string::npos)
                << err;
            EXPECT_NE(err.find("the program exited with 3"), std::string::npos) << err;
        } else {
            EXPECT_EQ(code, 3) << err;  // the program's own code
            EXPECT_NE(err.find("quorix-collect summary"), std::string::npos) << err;
            EXPECT_EQ(err.find("collector died"), std::string::npos) << err;
        }
    }
}
