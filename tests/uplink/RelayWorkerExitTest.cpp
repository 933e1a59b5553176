// The end of the process over real streams: whatever the reader does and however busy the app's
// threads are, the stream the collector gets at exit ends with the whole last message.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "UplinkTestSupport.h"
#include "commands/ProcessEndedCommand.h"
#include "uplink/PipeUplink.h"
#include "uplink/RelayWorker.h"
#include "uplink/TcpUplink.h"
#include "uplink/ThreadBuffer.h"

namespace {

constexpr int ProcessEndedType = 10;

// A busy collector: reads for 30 ms of every 150 ms, in reads of an odd size that leave part
// messages in the kernel, and keeps every byte. For TCP it reads the first connection it accepts.
class PausingReader {
public:
    PausingReader(int descriptor, bool listening) : fd(descriptor), listener(listening) {
        thread = std::thread([this] { Run(); });
    }
    ~PausingReader() {
        Stop();
        if (fd >= 0) close(fd);
        if (connection >= 0) close(connection);
    }
    void Stop() {
        done = true;
        if (thread.joinable()) thread.join();
    }
    // After Stop: the whole stream, with what is still in the kernel. Bytes a socket took still
    // reach the peer after the process ended, so TCP is read until it stays quiet.
    std::vector<uint8_t> Drain() {
        const int source = listener ? connection : fd;
        uint8_t buffer[65536];
        for (;;) {
            ssize_t got = 0;
            while (source >= 0 && (got = recvOrRead(source, buffer, sizeof(buffer))) > 0)
                stream.insert(stream.end(), buffer, buffer + got);
            pollfd entry{source, POLLIN, 0};
            if (!listener || source < 0 || got == 0 || poll(&entry, 1, 1500) != 1) return stream;
        }
    }

private:
    ssize_t recvOrRead(int source, uint8_t* buffer, size_t size) const {
        return listener ? recv(source, buffer, size, MSG_DONTWAIT) : read(source, buffer, size);
    }
    void Run() {
        while (!done.load()) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
            while (std::chrono::steady_clock::now() < until) {
                if (listener && connection < 0) {
                    pollfd entry{fd, POLLIN, 0};
                    if (poll(&entry, 1, 5) == 1) connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                    continue;
                }
                const int source = listener ? connection : fd;
                pollfd entry{source, POLLIN, 0};
                if (poll(&entry, 1, 5) != 1) continue;
                uint8_t buffer[7919];
                const ssize_t got = recvOrRead(source, buffer, sizeof(buffer));
                if (got > 0) stream.insert(stream.end(), buffer, buffer + got);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a slow consumer
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
        }
    }

    int fd;
    bool listener;
    int connection = -1;
    std::atomic<bool> done{false};
    std::vector<uint8_t> stream;
    std::thread thread;
};

// Passes everything to a real transport and knows whether a write is under way.
class WatchedUplink : public AgentUplink {
public:
    explicit WatchedUplink(std::unique_ptr<AgentUplink> transport) : inner(std::move(transport)) {}
    bool Connect() override { return inner->Connect(); }
    bool Send(const uint8_t* data, int32_t length) override { return inner->Send(data, length); }
    bool Close() override { return inner->Close(); }
    bool SupportsBatching() override { return inner->SupportsBatching(); }
    bool Prepare() override {
        const bool ready = inner->Prepare();
        while (Generation() < inner->Generation()) CountConnection();
        return ready;
    }
    BatchResult SendRuns(const MessageRun* runs, size_t runCount, int64_t deadline) override {
        writing.fetch_add(1);
        const BatchResult result = inner->SendRuns(runs, runCount, deadline);
        writing.fetch_sub(1);
        return result;
    }
    bool Writing() const { return writing.load() != 0; }

private:
    std::unique_ptr<AgentUplink> inner;
    std::atomic<int> writing{0};
};

struct Stream {
    std::unique_ptr<WatchedUplink> uplink;
    std::unique_ptr<PausingReader> reader;
};

Stream Fifo(const TempFolder& folder) {
    const std::string path = folder.Path("agent-pipe");
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    Stream stream;
    stream.reader = std::make_unique<PausingReader>(fd, false);
    stream.uplink =
        std::make_unique<WatchedUplink>(std::make_unique<PipeUplink>(std::wstring(path.begin(), path.end())));
    return stream;
}

Stream Tcp() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    // A small receive window, so that the backlog waits on the agent's side as behind a slow peer.
    const int window = 16 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof(window));
    EXPECT_EQ(listen(fd, 4), 0);
    Stream stream;
    stream.reader = std::make_unique<PausingReader>(fd, true);
    stream.uplink = std::make_unique<WatchedUplink>(std::make_unique<TcpUplink>(ntohs(address.sin_port)));
    return stream;
}

// A backlog of large messages waits for the reader when the process ends; `callers` threads keep
// calling through the end. After Finish returns the process would be gone: the stream must hold
// only whole messages, end with the last one, and nothing may follow it.
void ExpectWholeTailEndingTheProcess(Stream stream, int callers, LogCapture& log) {
    auto* relay = new RelayWorker();
    auto* backlog = new ThreadBuffer();
    relay->Register(backlog);
    for (int i = 0; i < 120; ++i) {
        const std::vector<uint8_t> large = Message(30000 + static_cast<size_t>(i % 13), 0x42);
        ASSERT_TRUE(backlog->Append(large.data(), large.size()));
    }
    std::atomic<bool> calling{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < callers; ++t) {
        auto* buffer = new ThreadBuffer();
        relay->Register(buffer);
        threads.emplace_back([buffer, &calling, t] {
            const std::vector<uint8_t> call = Message(26 + static_cast<size_t>(t), 0x01);
            while (calling.load(std::memory_order_relaxed)) {
                for (int i = 0; i < 64; ++i) buffer->Append(call.data(), call.size());
                std::this_thread::yield();
            }
            buffer->Retire();
        });
    }
    relay->Start(stream.uplink.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a batch is under way

    const bool ended = relay->Finish(new ProcessEndedCommand(1), std::chrono::milliseconds(750));
    // The process ends here: a write still under way would be cut where it stands.
    const bool cut = stream.uplink->Writing();
    stream.reader->Stop();
    const std::vector<uint8_t> atExit = stream.reader->Drain();
    calling = false;
    for (std::thread& thread : threads) thread.join();

    EXPECT_TRUE(ended);
    EXPECT_FALSE(cut) << "the process would end inside a write";
    std::vector<std::vector<uint8_t>> messages;
    ASSERT_TRUE(SplitMessages(atExit, messages))
        << "the stream ends inside a message after " << atExit.size() << " bytes\n"
        << log.Text();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back()[2], ProcessEndedType);
    size_t ends = 0;
    for (const auto& message : messages) ends += message[2] == ProcessEndedType ? 1 : 0;
    EXPECT_EQ(ends, 1u);
    EXPECT_GT(relay->GetFailedCount(), 0u) << "the backlog should not have fit in the budget";
    if (relay->WaitForExit(10000)) delete relay;
}

class RelayWorkerExitTest : public ::testing::Test {
protected:
    void TearDown() override { AgentUplink::SetDeadlineCap(INT64_MAX); }

    TempFolder folder;
    LogCapture log;
};

}  // namespace

TEST_F(RelayWorkerExitTest, FifoUnderAPausingReaderEndsWithTheWholeLastMessage) {
    ExpectWholeTailEndingTheProcess(Fifo(folder), 0, log);
}

TEST_F(RelayWorkerExitTest, FifoWithThreadsStillCallingEndsWithTheWholeLastMessage) {
    ExpectWholeTailEndingTheProcess(Fifo(folder), 4, log);
}

TEST_F(RelayWorkerExitTest, TcpUnderAPausingReaderEndsWithTheWholeLastMessage) {
    ExpectWholeTailEndingTheProcess(Tcp(), 0, log);
}

TEST_F(RelayWorkerExitTest, TcpWithThreadsStillCallingEndsWithTheWholeLastMessage) {
    ExpectWholeTailEndingTheProcess(Tcp(), 4, log);
}
