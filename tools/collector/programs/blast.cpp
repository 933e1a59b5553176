// quorix-blast: replays a synthetic but realistic command stream to a collector as fast as it
// can, to measure how many messages per second the collector decodes. Not part of the agent.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/WireProtocol.h"

namespace {

using Command = WireProtocol::CommandType;

using Bytes = std::vector<uint8_t>;

struct Options {
    std::string transport = "tcp";
    uint16_t port = 2799;
    std::string pipePath = "\\\\.\\pipe\\QuorixAgent_v1";
    uint64_t messages = 20000000;
    size_t writeSize = 256 * 1024;
    uint32_t pid = 4242;
    uint32_t threads = 8;
    bool announce = true;
    bool end = true;
    bool web = false;  // request-shaped: async web requests with statements, joined across threads
};

// Where the time stamps and the object addresses of a block sit, so that each replay of it can
// move them on: a replay that repeated them would look to the collector like time going back and
// like the same objects again.
struct Movable {
    std::vector<size_t> stamps;
    std::vector<size_t> addresses;
};

class Writer {
public:
    explicit Writer(Bytes& output, Movable* movable = nullptr) : out(output), moves(movable) {}
    // An 8-byte address that each replay moves on.
    void Address(uint64_t v) {
        if (moves != nullptr) moves->addresses.push_back(out.size());
        U64(v);
    }
    void U8(uint8_t v) { out.push_back(v); }
    void U16(uint16_t v) { Le(v, 2); }
    void U32(uint32_t v) { Le(v, 4); }
    void U64(uint64_t v) { Le(v, 8); }
    void Text16(const std::string& s) {
        U16(static_cast<uint16_t>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    }
    // Opens a command; Finish() writes its length.
    size_t Start(WireProtocol::CommandType type, uint32_t pid, uint32_t tid, int64_t ts) {
        const size_t at = out.size();
        U16(0);
        U8(static_cast<uint8_t>(type));
        U32(pid);
        U32(tid);
        if (moves != nullptr) moves->stamps.push_back(out.size());
        U64(static_cast<uint64_t>(ts));
        return at;
    }
    void Finish(size_t at) {
        const auto length = static_cast<uint16_t>(out.size() - at);
        out[at] = static_cast<uint8_t>(length);
        out[at + 1] = static_cast<uint8_t>(length >> 8);
    }

private:
    void Le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }
    Bytes& out;
    Movable* moves;
};

constexpr uint32_t FunctionCount = 40;

// The functions of the request-shaped stream, after the plain ones.
enum WebFunction : uint32_t {
    Entry = FunctionCount + 1,
    GetPath,
    Handler,
    HandlerMoveNext,
    AddContinuation,
    Dispatch,
    CommandCtor,
    ExecuteReader,
    SetStatus,
    FinishContinuations,
    WebFunctionEnd,
};

const char* const WebNames[][2] = {
    {"Microsoft.AspNetCore.Hosting.HostingApplication", "ProcessRequestAsync"},
    {"Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol", "get_Path"},
    {"Shop.Web.Handler", "Get:[AsyncStateMachine]"},
    {"Shop.Web.Handler+<Get>d__1", "MoveNext"},
    {"System.Threading.Tasks.Task", "AddTaskContinuation"},
    {"System.Threading.ThreadPoolWorkQueue", "Dispatch"},
    {"Npgsql.NpgsqlCommand", ".ctor"},
    {"Npgsql.NpgsqlCommand", "ExecuteReader"},
    {"Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol", "set_StatusCode"},
    {"System.Threading.Tasks.Task", "FinishContinuations"},
};

std::string ClassOf(uint32_t f) {
    static const char* const Classes[] = {"Shop.Orders.OrderProcessor", "Shop.Orders.PriceCalculator",
                                          "Shop.Data.OrderRepository", "Shop.Web.OrdersController",
                                          "Shop.Inventory.StockService"};
    return Classes[f % 5];
}

std::string MethodOf(uint32_t f) { return "Step" + std::to_string(f); }

// A synthetic stream of one or more "requests" per thread: nested calls several levels deep,
// loops of small leaf calls, and now and then a captured string argument and return value.
class PatternBuilder {
public:
    PatternBuilder(uint32_t processId, uint32_t threadCount, bool webShape)
        : pid(processId), threads(threadCount), web(webShape) {}

    // Commands of the announcement: process start, frequency, type, version, method names.
    Bytes Announce() {
        Bytes b;
        Writer w(b);
        size_t at = w.Start(Command::ProcessStarted, pid, 1, 0);
        w.Finish(at);
        at = w.Start(Command::ProcessFrequency, pid, 1, 0);
        w.U64(1000000);
        w.Finish(at);
        at = w.Start(Command::ProcessType, pid, 1, 0);
        w.Text16(".NET CORE 10.0.0");
        w.Text16("DOTNET_CORE");
        w.Finish(at);
        at = w.Start(Command::ProfilerVersion, pid, 1, 0);
        w.Text16("2.3.0");
        w.Finish(at);
        for (uint32_t f = 1; f <= FunctionCount; ++f) {
            at = w.Start(Command::MethodInfo, pid, 1, 0);
            w.U32(f);
            w.Text16(ClassOf(f));
            w.Text16(MethodOf(f));
            w.Finish(at);
        }
        for (uint32_t f = Entry; f < WebFunctionEnd; ++f) {
            at = w.Start(Command::MethodInfo, pid, 1, 0);
            w.U32(f);
            w.Text16(WebNames[f - Entry][0]);
            w.Text16(WebNames[f - Entry][1]);
            w.Finish(at);
        }
        return b;
    }

    Bytes End() {
        Bytes b;
        Writer w(b);
        w.Finish(w.Start(Command::ProcessEnded, pid, 1, 0));
        return b;
    }

    // About `bytes` of balanced calls, threads interleaved request by request.
    Bytes Calls(size_t bytes, uint64_t& messages) {
        Bytes b;
        b.reserve(bytes + 4096);
        Writer w(b, &moves);
        const int64_t first = ts;
        messages = 0;
        uint32_t request = 0;
        while (b.size() < bytes) {
            const uint32_t tid = 1000 + request % threads;
            if (web) {
                WebRequest(w, tid, 1000 + (request + 1) % threads, request, messages);
            } else {
                Request(w, tid, request, messages);
            }
            ++request;
        }
        span = ts - first + 10;
        requests = request;
        return b;
    }

    // Moves the block's time stamps past its last one, and its objects to fresh addresses.
    void Advance(Bytes& block) {
        ++replays;
        for (size_t at : moves.stamps) {
            Add(block, at, static_cast<uint64_t>(span));
        }
        // Addresses stay inside their 2^40 range, clear of those of the last replays.
        const uint64_t shift = (static_cast<uint64_t>(requests) << 8) * replays % (uint64_t{1} << 40);
        const uint64_t back = (static_cast<uint64_t>(requests) << 8) * (replays - 1) % (uint64_t{1} << 40);
        for (size_t at : moves.addresses) {
            uint64_t v;
            memcpy(&v, block.data() + at, sizeof v);
            v = v - back + shift;
            memcpy(block.data() + at, &v, sizeof v);
        }
    }

private:
    static void Add(Bytes& block, size_t at, uint64_t delta) {
        uint64_t v;
        memcpy(&v, block.data() + at, sizeof v);
        v += delta;
        memcpy(block.data() + at, &v, sizeof v);
    }

    void Begin(Writer& w, uint32_t tid, uint32_t f, uint64_t& messages, bool withArgument = false) {
        ts += 3;
        const size_t at = w.Start(Command::BeginCall, pid, tid, ts);
        w.U32(f);
        w.U64(0);
        if (withArgument) {
            w.U8(1);
            // String record "sql": length, type, name, byte count, UTF-16 text.
            const std::string text = "SELECT * FROM Orders WHERE Id = @id";
            w.U16(static_cast<uint16_t>(2 + 3 + 2 + 2 * text.size()));
            w.U8(static_cast<uint8_t>(WireProtocol::ValueType::String));
            w.U8(3);
            w.U8('s');
            w.U8('q');
            w.U8('l');
            w.U16(static_cast<uint16_t>(2 * text.size()));
            for (char c : text) {
                w.U8(static_cast<uint8_t>(c));
                w.U8(0);
            }
        } else {
            w.U8(0);
        }
        w.Finish(at);
        ++messages;
    }

    void End(Writer& w, uint32_t tid, uint32_t f, uint64_t& messages, bool withReturn = false) {
        ts += 5;
        const size_t at = w.Start(Command::EndCall, pid, tid, ts);
        w.U32(f);
        w.U8(0);
        if (withReturn) {
            // Int32 record: length 6, type, empty name, 4 bytes.
            w.U16(6);
            w.U8(static_cast<uint8_t>(WireProtocol::ValueType::Int32));
            w.U8(0);
            w.U32(1);
        } else {
            w.U16(0);
        }
        w.Finish(at);
        ++messages;
    }

    void Request(Writer& w, uint32_t tid, uint32_t request, uint64_t& messages) {
        const uint32_t entry = 1 + request % 4;
        Begin(w, tid, entry, messages);
        for (uint32_t step = 0; step < 6; ++step) {
            const uint32_t mid = 5 + (request + step) % 10;
            Begin(w, tid, mid, messages);
            // A loop of small leaf calls.
            for (uint32_t i = 0; i < 8; ++i) {
                const uint32_t leaf = 15 + (step + i) % 20;
                Begin(w, tid, leaf, messages);
                End(w, tid, leaf, messages);
            }
            if (step == 3) {
                const bool capture = request % 64 == 0;
                Begin(w, tid, 35, messages, capture);
                End(w, tid, 35, messages, capture);
            }
            End(w, tid, mid, messages);
        }
        End(w, tid, entry, messages);
    }

    // A value record of a number: length, type, name, 8 bytes.
    static void Number(Writer& w, const char* name, WireProtocol::ValueType type, uint64_t value,
                       bool address = false) {
        const size_t n = strlen(name);
        w.U16(static_cast<uint16_t>(2 + n + 8));
        w.U8(static_cast<uint8_t>(type));
        w.U8(static_cast<uint8_t>(n));
        for (size_t i = 0; i < n; ++i) w.U8(static_cast<uint8_t>(name[i]));
        if (address) {
            w.Address(value);
        } else {
            w.U64(value);
        }
    }
    static void Utf16(Writer& w, const char* name, const std::string& text) {
        const size_t n = strlen(name);
        w.U16(static_cast<uint16_t>(2 + n + 2 + 2 * text.size()));
        w.U8(static_cast<uint8_t>(WireProtocol::ValueType::String));
        w.U8(static_cast<uint8_t>(n));
        for (size_t i = 0; i < n; ++i) w.U8(static_cast<uint8_t>(name[i]));
        w.U16(static_cast<uint16_t>(2 * text.size()));
        for (char c : text) {
            w.U8(static_cast<uint8_t>(c));
            w.U8(0);
        }
    }
    // A begin with one captured number or text, or none.
    void BeginWith(Writer& w, uint32_t tid, uint32_t f, uint64_t instance, uint64_t& messages,
                   const char* name = nullptr, uint64_t number = 0, const std::string* text = nullptr) {
        ts += 3;
        const size_t at = w.Start(Command::BeginCall, pid, tid, ts);
        w.U32(f);
        if (instance != 0) {
            w.Address(instance);
        } else {
            w.U64(0);
        }
        w.U8(name != nullptr ? 1 : 0);
        if (text != nullptr) {
            Utf16(w, name, *text);
        } else if (name != nullptr) {
            Number(w, name, WireProtocol::ValueType::UInt64, number, number >= AddressBase);
        }
        w.Finish(at);
        ++messages;
    }
    void EndWith(Writer& w, uint32_t tid, uint32_t f, uint64_t& messages, uint64_t address = 0,
                 const std::string* text = nullptr) {
        ts += 5;
        const size_t at = w.Start(Command::EndCall, pid, tid, ts);
        w.U32(f);
        w.U8(0);
        if (text != nullptr) {
            Utf16(w, "", *text);
        } else if (address != 0) {
            Number(w, "", WireProtocol::ValueType::UInt64, address, true);
        } else {
            w.U16(0);
        }
        w.Finish(at);
        ++messages;
    }

    // One async web request: the entry starts a handler that awaits, and its continuation runs
    // three statements with a loop of leaf calls each on another thread, then sets the status
    // and finishes the handler's task. About 80 messages.
    void WebRequest(Writer& w, uint32_t tid, uint32_t other, uint32_t request, uint64_t& messages) {
        const uint64_t base = AddressBase + (static_cast<uint64_t>(request) << 8);
        const uint64_t box = base + 1, awaited = base + 2, connection = base + 3, command = base + 4;
        static const std::string path = "/orders/42";
        static const std::string text = "SELECT * FROM orders WHERE id = @id";
        BeginWith(w, tid, Entry, 0, messages);
        BeginWith(w, tid, GetPath, connection, messages);
        EndWith(w, tid, GetPath, messages, 0, &path);
        BeginWith(w, tid, Handler, 0, messages);
        BeginWith(w, tid, HandlerMoveNext, 0, messages, "AsyncTaskId", 0);
        BeginWith(w, tid, AddContinuation, awaited, messages, "tc", box);
        EndWith(w, tid, AddContinuation, messages);
        EndWith(w, tid, HandlerMoveNext, messages);
        EndWith(w, tid, Handler, messages, box);
        EndWith(w, tid, Entry, messages);
        BeginWith(w, other, Dispatch, 0, messages);
        BeginWith(w, other, HandlerMoveNext, 0, messages, "AsyncTaskId", box);
        for (uint32_t q = 0; q < 3; ++q) {
            BeginWith(w, other, CommandCtor, command + q * 16, messages, "cmdText", 0, &text);
            EndWith(w, other, CommandCtor, messages);
            BeginWith(w, other, ExecuteReader, command + q * 16, messages);
            for (uint32_t i = 0; i < 8; ++i) {
                const uint32_t leaf = 15 + (q + i) % 20;
                Begin(w, other, leaf, messages);
                End(w, other, leaf, messages);
            }
            EndWith(w, other, ExecuteReader, messages);
        }
        BeginWith(w, other, SetStatus, connection, messages, "value", 200);
        EndWith(w, other, SetStatus, messages);
        BeginWith(w, other, FinishContinuations, box, messages);
        EndWith(w, other, FinishContinuations, messages);
        EndWith(w, other, HandlerMoveNext, messages);
        EndWith(w, other, Dispatch, messages);
    }

    static constexpr uint64_t AddressBase = 0x7f0000000000ULL;

    uint32_t pid;
    uint32_t threads;
    bool web;
    int64_t ts = 1000;
    Movable moves;
    int64_t span = 0;
    uint32_t requests = 0;
    uint64_t replays = 0;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--transport" && (v = next())) {
            o.transport = v;
        } else if (a == "--port" && (v = next())) {
            o.port = static_cast<uint16_t>(strtoul(v, nullptr, 10));
        } else if (a == "--pipe" && (v = next())) {
            o.pipePath = v;
        } else if (a == "--messages" && (v = next())) {
            o.messages = strtoull(v, nullptr, 10);
        } else if (a == "--write-size" && (v = next())) {
            o.writeSize = strtoul(v, nullptr, 10);
        } else if (a == "--threads" && (v = next())) {
            o.threads = static_cast<uint32_t>(strtoul(v, nullptr, 10));
        } else if (a == "--pid" && (v = next())) {
            o.pid = static_cast<uint32_t>(strtoul(v, nullptr, 10));
        } else if (a == "--no-announce") {
            o.announce = false;
        } else if (a == "--web") {
            o.web = true;
        } else if (a == "--no-end") {
            o.end = false;
        } else {
            fprintf(
                stderr,
                "usage: quorix-blast [--transport tcp|pipe|udp] [--port N] [--pipe PATH] [--messages N]\n"
                "                    [--write-size BYTES] [--threads N] [--pid N] [--no-announce] [--no-end] [--web]\n"
                "Sends a synthetic stream of begin/end calls to quorix-collect as fast as possible.\n");
            return false;
        }
    }
    if (o.writeSize < 1024 || o.threads == 0 ||
        (o.transport != "tcp" && o.transport != "pipe" && o.transport != "udp")) {
        fprintf(stderr, "quorix-blast: bad option value\n");
        return false;
    }
    return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            perror("quorix-blast: write");
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Streams: the block is written in pieces of the write size, again and again.
bool SendStream(int fd, const Options& o, const Bytes& announce, Bytes& block, PatternBuilder& pattern,
                uint64_t blockMessages, const Bytes& end, uint64_t& sent) {
    if (o.announce && !WriteAll(fd, announce.data(), announce.size())) {
        return false;
    }
    while (sent < o.messages) {
        for (size_t at = 0; at < block.size(); at += o.writeSize) {
            if (!WriteAll(fd, block.data() + at, std::min(o.writeSize, block.size() - at))) {
                return false;
            }
        }
        sent += blockMessages;
        pattern.Advance(block);
    }
    return !o.end || WriteAll(fd, end.data(), end.size());
}

// UDP: one command per datagram, many datagrams per system call.
bool SendDatagrams(int fd, const Options& o, const Bytes& announce, Bytes& block, PatternBuilder& pattern,
                   const Bytes& end, uint64_t& sent) {
    auto split = [](const Bytes& b) {
        std::vector<iovec> out;
        for (size_t at = 0; at + 2 <= b.size();) {
            const size_t n = b[at] | (b[at + 1] << 8);
            out.push_back({const_cast<uint8_t*>(b.data() + at), n});
            at += n;
        }
        return out;
    };
    auto send = [fd](std::vector<iovec>& list, uint64_t limit, uint64_t& count) {
        constexpr size_t Batch = 512;
        mmsghdr msgs[Batch];
        for (size_t i = 0; i < list.size() && count < limit;) {
            const size_t n = std::min<size_t>({Batch, list.size() - i, static_cast<size_t>(limit - count)});
            for (size_t k = 0; k < n; ++k) {
                msgs[k] = {};
                msgs[k].msg_hdr.msg_iov = &list[i + k];
                msgs[k].msg_hdr.msg_iovlen = 1;
            }
            const int r = sendmmsg(fd, msgs, static_cast<unsigned>(n), 0);
            if (r < 0 && (errno == EINTR || errno == ENOBUFS || errno == EAGAIN)) {
                continue;
            }
            if (r <= 0) {
                perror("quorix-blast: sendmmsg");
                return false;
            }
            i += static_cast<size_t>(r);
            count += static_cast<uint64_t>(r);
        }
        return true;
    };
    auto announceList = split(announce);
    auto blockList = split(block);
    auto endList = split(end);
    uint64_t ignored = 0;
    if (o.announce && !send(announceList, UINT64_MAX, ignored)) {
        return false;
    }
    while (sent < o.messages) {
        if (!send(blockList, o.messages, sent)) {
            return false;
        }
        pattern.Advance(block);
    }
    return !o.end || send(endList, UINT64_MAX, ignored);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    PatternBuilder pattern(o.pid, o.threads, o.web);
    uint64_t blockMessages = 0;
    Bytes block = pattern.Calls(4 * 1024 * 1024, blockMessages);
    const Bytes announce = pattern.Announce();
    const Bytes end = pattern.End();

    int fd = -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(o.port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (o.transport == "pipe") {
        fd = open(o.pipePath.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            // A larger pipe means fewer wake-ups on both sides, as a tuned agent would have it.
            fcntl(fd, F_SETPIPE_SZ, 1 << 20);
        }
    } else {
        fd = socket(AF_INET, o.transport == "tcp" ? SOCK_STREAM : SOCK_DGRAM, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        perror("quorix-blast: cannot reach the collector");
        return 1;
    }

    uint64_t sent = 0;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = o.transport == "udp" ? SendDatagrams(fd, o, announce, block, pattern, end, sent)
                                         : SendStream(fd, o, announce, block, pattern, blockMessages, end, sent);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(fd);
    printf("sent %llu call messages in %.3f s: %.0f messages/s (%s)\n", static_cast<unsigned long long>(sent), seconds,
           seconds > 0 ? static_cast<double>(sent) / seconds : 0.0, o.transport.c_str());
    return ok ? 0 : 1;
}
