#include "uplink/PipeUplink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "UplinkTestSupport.h"
#include "commands/ProcessEndedCommand.h"
#include "commands/ProcessStartedCommand.h"
#include "uplink/RelayWorker.h"

namespace {

// The collector's end of the FIFO.
class Reader {
public:
    explicit Reader(const std::string& path) : fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
    ~Reader() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    // Everything that is in the pipe right now.
    std::vector<uint8_t> Drain() {
        std::vector<uint8_t> data;
        uint8_t buffer[65536];
        ssize_t got;
        while ((got = read(fd, buffer, sizeof(buffer))) > 0) data.insert(data.end(), buffer, buffer + got);
        return data;
    }

    int fd;
};

bool SendMessage(PipeUplink& uplink, const std::vector<uint8_t>& message) {
    return uplink.Send(message.data(), static_cast<int32_t>(message.size()));
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

bool IsFifo(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
}

std::string FileText(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool SigpipeBlockedOrPending() {
    sigset_t mask;
    sigset_t pending;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    sigpending(&pending);
    return sigismember(&mask, SIGPIPE) == 1 || sigismember(&pending, SIGPIPE) == 1;
}

class PipeUplinkTest : public ::testing::Test {
protected:
    void SetUp() override { previousDisposition = signal(SIGPIPE, SIG_DFL); }
    void TearDown() override { signal(SIGPIPE, previousDisposition); }

    TempFolder folder;
    LogCapture log;
    sighandler_t previousDisposition = SIG_DFL;
};

}  // namespace

TEST_F(PipeUplinkTest, WithoutReaderMessagesAreDroppedAndTheCauseIsLoggedOncePerSpell) {
    const std::string path = folder.Path("agent-pipe");
    PipeUplink uplink(Wide(path));
    EXPECT_EQ(uplink.GetPipePath(), path);
    EXPECT_TRUE(uplink.SupportsBatching());

    // The relay tries on every pass: a reader that never comes must not fill the log.
    for (int attempt = 0; attempt < 200; ++attempt) {
        EXPECT_FALSE(uplink.Prepare());
        EXPECT_FALSE(SendMessage(uplink, Message(19, 1)));
    }
    EXPECT_TRUE(IsFifo(path));
    const std::string noReader = "[   ERROR] Unable to OPEN pipe: " + path + " - No such device or address\n";
    EXPECT_EQ(log.Count("[    INFO] PipeUplink::PipeUplink - " + path + "\n"), 1u);
    EXPECT_EQ(log.Count(noReader), 1u);
    EXPECT_EQ(log.Count("ERROR"), 1u);
    EXPECT_EQ(log.Count("Unable to CREATE pipe"), 0u);

    // Once a reader came and went, its absence is news again, told once more.
    {
        Reader reader(path);
        EXPECT_TRUE(SendMessage(uplink, Message(19, 2)));
    }
    for (int attempt = 0; attempt < 50; ++attempt) EXPECT_FALSE(SendMessage(uplink, Message(19, 3)));
    EXPECT_EQ(log.Count("[   ERROR] Failed to write to named pipe: 32\n"), 1u);
    EXPECT_EQ(log.Count(noReader), 2u);
    EXPECT_EQ(log.Count("ERROR"), 3u);
}

TEST_F(PipeUplinkTest, LateReaderGetsTheNextMessages) {
    const std::string path = folder.Path("agent-pipe");
    PipeUplink uplink(Wide(path));
    EXPECT_FALSE(SendMessage(uplink, Message(19, 1)));

    Reader reader(path);
    ASSERT_GE(reader.fd, 0);
    const std::vector<uint8_t> first = Message(19, 2);
    const std::vector<uint8_t> second = Message(5000, 3);
    EXPECT_TRUE(SendMessage(uplink, first));
    EXPECT_TRUE(SendMessage(uplink, second));
    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(reader.Drain(), expected);
    EXPECT_EQ(log.Count("[    INFO] Successfully created pipe: " + path + "\n"), 1u);
}

TEST_F(PipeUplinkTest, ExistingFifoIsReusedAndCreationFailureIsLogged) {
    const std::string path = folder.Path("existing");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    Reader reader(path);
    PipeUplink uplink(Wide(path));
    EXPECT_TRUE(SendMessage(uplink, Message(19, 4)));
    EXPECT_EQ(reader.Drain(), Message(19, 4));
    EXPECT_EQ(log.Count("Unable to CREATE pipe"), 0u);

    const std::string unreachable = folder.Path("missing-folder/pipe");
    PipeUplink broken(Wide(unreachable));
    EXPECT_FALSE(SendMessage(broken, Message(19, 4)));
    EXPECT_EQ(log.Count("[   ERROR] Unable to CREATE pipe: " + unreachable + " - No such file or directory\n"), 1u);
}

TEST_F(PipeUplinkTest, FifoItCreatesIsOwnerOnlyAndRemovedOnlyIfStillItsOwn) {
    const std::string path = folder.Path("made-by-agent");
    {
        PipeUplink uplink(Wide(path));
        EXPECT_FALSE(SendMessage(uplink, Message(19, 1)));
    }
    struct stat status {};
    ASSERT_EQ(lstat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_TRUE(PipeUplink::RemoveCreatedFifo());
    EXPECT_FALSE(IsFifo(path));
    EXPECT_FALSE(PipeUplink::RemoveCreatedFifo());  // once only

    // One the collector made stays.
    const std::string theirs = folder.Path("made-by-collector");
    ASSERT_EQ(mkfifo(theirs.c_str(), 0600), 0);
    {
        Reader reader(theirs);
        PipeUplink uplink(Wide(theirs));
        EXPECT_TRUE(SendMessage(uplink, Message(19, 2)));
    }
    EXPECT_FALSE(PipeUplink::RemoveCreatedFifo());
    EXPECT_TRUE(IsFifo(theirs));

    // Nor is whatever replaced ours at the same path.
    {
        PipeUplink uplink(Wide(path));
        EXPECT_FALSE(SendMessage(uplink, Message(19, 3)));
    }
    ASSERT_EQ(unlink(path.c_str()), 0);
    std::ofstream(path) << "someone else's";
    EXPECT_FALSE(PipeUplink::RemoveCreatedFifo());
    EXPECT_EQ(FileText(path), "someone else's");
}

TEST_F(PipeUplinkTest, ReaderLeavingIsSurvivedAndANewReaderGetsLaterMessages) {
    const std::string path = folder.Path("agent-pipe");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    PipeUplink uplink(Wide(path));
    auto reader = std::make_unique<Reader>(path);
    EXPECT_TRUE(SendMessage(uplink, Message(19, 1)));
    reader.reset();

    // SIGPIPE is at its default disposition: a raised signal would end the test run.
    EXPECT_FALSE(SendMessage(uplink, Message(19, 2)));
    EXPECT_EQ(log.Count("[   ERROR] Failed to write to named pipe: 32\n"), 1u);
    EXPECT_FALSE(SigpipeBlockedOrPending());

    Reader next(path);
    const std::vector<uint8_t> later = Message(19, 3);
    EXPECT_TRUE(SendMessage(uplink, later));
    EXPECT_EQ(next.Drain(), later);
}

TEST_F(PipeUplinkTest, SymbolicLinkAtThePathIsRefusedAndItsTargetUntouched) {
    const std::string target = folder.Path("precious.txt");
    { std::ofstream(target) << "keep me"; }
    const std::string path = folder.Path("agent-pipe");
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);

    PipeUplink uplink(Wide(path));
    EXPECT_FALSE(SendMessage(uplink, Message(19, 1)));
    EXPECT_EQ(FileText(target), "keep me");
    EXPECT_EQ(log.Count("[   ERROR] Unable to OPEN pipe: " + path + " - Too many levels of symbolic links\n"), 1u);
}

TEST_F(PipeUplinkTest, RegularFileAtThePathIsRefusedAndUntouched) {
    const std::string path = folder.Path("agent-pipe");
    { std::ofstream(path) << "not a pipe"; }

    PipeUplink uplink(Wide(path));
    EXPECT_FALSE(SendMessage(uplink, Message(19, 1)));
    EXPECT_EQ(FileText(path), "not a pipe");
    EXPECT_EQ(log.Count("[   ERROR] Unable to OPEN pipe: " + path + " - not a FIFO\n"), 1u);
}

TEST_F(PipeUplinkTest, FifoOthersMayWriteOrOfAnotherUserIsRefusedWithOneLine) {
    const std::string path = folder.Path("planted");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    ASSERT_EQ(chmod(path.c_str(), 0622), 0);
    Reader reader(path);
    ASSERT_GE(reader.fd, 0);
    PipeUplink uplink(Wide(path));
    for (int attempt = 0; attempt < 20; ++attempt) EXPECT_FALSE(SendMessage(uplink, Message(19, 1)));
    EXPECT_TRUE(reader.Drain().empty());
    EXPECT_EQ(log.Count("[   ERROR] Unable to OPEN pipe: " + path + " - writable by group or others\n"), 1u);
    EXPECT_EQ(log.Count("ERROR"), 1u);

    if (geteuid() == 0) {
        ASSERT_EQ(chmod(path.c_str(), 0600), 0);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        for (int attempt = 0; attempt < 20; ++attempt) EXPECT_FALSE(SendMessage(uplink, Message(19, 2)));
        EXPECT_TRUE(reader.Drain().empty());
        EXPECT_EQ(log.Count("[   ERROR] Unable to OPEN pipe: " + path + " - owned by another user\n"), 1u);
        ASSERT_EQ(chown(path.c_str(), geteuid(), getegid()), 0);
    } else {
        ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    }
    // Made safe, it is used.
    EXPECT_TRUE(SendMessage(uplink, Message(19, 3)));
    EXPECT_EQ(reader.Drain(), Message(19, 3));
}

TEST_F(PipeUplinkTest, AMessageThePipeTookInPartIsFinishedBeforeAnythingElse) {
    const std::string path = folder.Path("agent-pipe");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    PipeUplink uplink(Wide(path));
    Reader reader(path);

    // The reader does not read: the pipe takes a few messages whole and one in part, whose rest
    // waits; nothing may pass it, so the messages after it are dropped.
    int accepted = 0;
    for (int i = 0; i < 8; ++i) {
        if (SendMessage(uplink, Message(20000, static_cast<uint8_t>(i)))) ++accepted;
    }
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 8);
    EXPECT_GT(uplink.PendingTailBytes(), 0u);
    EXPECT_EQ(uplink.GetDroppedCount(), static_cast<uint64_t>(8 - accepted));
    EXPECT_EQ(log.Count("[Uplink] Named pipe full, 1 messages dropped so far"), 1u);
    EXPECT_EQ(log.Count("Named pipe full"), 1u);  // rate-limited

    // Room again: the rest of the begun message goes first, then the next one, on the same descriptor.
    std::vector<uint8_t> stream = reader.Drain();
    EXPECT_TRUE(SendMessage(uplink, Message(20000, 0xEE)));
    EXPECT_EQ(uplink.PendingTailBytes(), 0u);
    const std::vector<uint8_t> rest = reader.Drain();
    stream.insert(stream.end(), rest.begin(), rest.end());
    std::vector<std::vector<uint8_t>> messages;
    ASSERT_TRUE(SplitMessages(stream, messages));
    ASSERT_EQ(messages.size(), static_cast<size_t>(accepted + 1));
    for (int i = 0; i < accepted; ++i)
        EXPECT_EQ(messages[static_cast<size_t>(i)], Message(20000, static_cast<uint8_t>(i)));
    EXPECT_EQ(messages.back(), Message(20000, 0xEE));
}

TEST_F(PipeUplinkTest, DropWarningCountsMessagesNotWrites) {
    const std::string path = folder.Path("agent-pipe");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    PipeUplink uplink(Wide(path));
    Reader reader(path);
    // One batch of twice what the pipe holds, written with a few calls: the warning tells messages.
    const std::vector<uint8_t> small = Message(64, 1);
    std::vector<uint8_t> batch;
    for (int i = 0; i < 2048; ++i) batch.insert(batch.end(), small.begin(), small.end());
    const MessageRun run{batch.data(), batch.size(), 0};
    const BatchResult result = uplink.SendRuns(&run, 1, AgentUplink::MonotonicNow() + 20000000);
    ASSERT_GT(result.delivered, 0u);
    ASSERT_LT(result.delivered, 2048u);
    EXPECT_EQ(result.failed, 2048u - result.delivered);
    EXPECT_EQ(result.timedOut, result.failed);
    EXPECT_EQ(uplink.GetDroppedCount(), result.failed);
    EXPECT_EQ(log.Count("[Uplink] Named pipe full, " + std::to_string(result.failed) + " messages dropped so far"), 1u);
}

// A reader that pauses 120 ms of every 150 ms, as a busy collector may: messages above the
// pipe's atomic size are taken in part again and again, and every one still arrives whole.
TEST_F(PipeUplinkTest, PausingReaderGetsEveryLargeMessageWhole) {
    const std::string path = folder.Path("agent-pipe");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    PipeUplink uplink(Wide(path));
    std::vector<uint8_t> stream;
    std::atomic<bool> done{false};
    Reader reader(path);
    std::thread reading([&] {
        while (!done.load()) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
            while (std::chrono::steady_clock::now() < until) {
                uint8_t buffer[1000];  // small reads leave odd amounts in the pipe
                const ssize_t got = read(reader.fd, buffer, sizeof(buffer));
                if (got > 0)
                    stream.insert(stream.end(), buffer, buffer + got);
                else
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
        }
    });
    constexpr int Batches = 12;
    constexpr int PerBatch = 40;
    std::vector<std::vector<uint8_t>> sent;
    uint64_t delivered = 0;
    for (int b = 0; b < Batches; ++b) {
        std::vector<MessageRun> runs;
        const size_t first = sent.size();
        for (int i = 0; i < PerBatch; ++i)
            sent.push_back(Message(4143 + static_cast<size_t>(i % 7), static_cast<uint8_t>(b * PerBatch + i)));
        for (size_t i = first; i < sent.size(); ++i) runs.push_back({sent[i].data(), sent[i].size(), 1});
        delivered += uplink.SendRuns(runs.data(), runs.size(), AgentUplink::MonotonicNow() + 5000000000LL).delivered;
    }
    EXPECT_EQ(delivered, static_cast<uint64_t>(Batches * PerBatch));
    EXPECT_EQ(uplink.GetDroppedCount(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return uplink.PendingTailBytes() == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    done = true;
    reading.join();
    const std::vector<uint8_t> rest = reader.Drain();
    stream.insert(stream.end(), rest.begin(), rest.end());
    std::vector<std::vector<uint8_t>> messages;
    ASSERT_TRUE(SplitMessages(stream, messages));
    EXPECT_EQ(messages, sent);
}

TEST_F(PipeUplinkTest, ReaderGoneIsNoticedBeforeWritingAndTheNextOpenIsANewConnection) {
    const std::string path = folder.Path("agent-pipe");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    PipeUplink uplink(Wide(path));
    auto reader = std::make_unique<Reader>(path);
    ASSERT_TRUE(uplink.Prepare());
    EXPECT_EQ(uplink.Generation(), 1u);
    ASSERT_TRUE(uplink.Prepare());
    EXPECT_EQ(uplink.Generation(), 1u);
    reader.reset();
    EXPECT_FALSE(uplink.Prepare());
    Reader next(path);
    ASSERT_TRUE(uplink.Prepare());
    EXPECT_EQ(uplink.Generation(), 2u);
    EXPECT_FALSE(SigpipeBlockedOrPending());
}

TEST_F(PipeUplinkTest, ReaderLeavingAFullPipeIsNoticedByLargeMessagesToo) {
    const std::string path = folder.Path("agent-pipe");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    PipeUplink uplink(Wide(path));
    auto reader = std::make_unique<Reader>(path);
    while (SendMessage(uplink, Message(20000, 1))) {}
    reader.reset();

    // No room will ever come: instead of waiting and dropping, the broken pipe is seen and closed.
    EXPECT_FALSE(SendMessage(uplink, Message(20000, 2)));
    EXPECT_EQ(log.Count("Failed to write to named pipe: 32"), 1u);
    EXPECT_EQ(uplink.GetDroppedCount(), 1u);
    EXPECT_FALSE(SigpipeBlockedOrPending());
}

TEST_F(PipeUplinkTest, RelayThreadSurvivesReadersComingAndGoing) {
    const std::string path = folder.Path("agent-pipe");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    PipeUplink uplink(Wide(path));
    auto* relay = new RelayWorker();
    relay->Start(&uplink);

    auto reader = std::make_unique<Reader>(path);
    relay->Enqueue(new ProcessStartedCommand(1));
    ASSERT_TRUE(WaitUntil([&] { return relay->GetSentCount() == 1; }));
    EXPECT_EQ(reader->Drain().size(), 19u);
    reader.reset();

    // Written by the relay thread into a pipe nobody reads: the signal must stay contained there.
    relay->Enqueue(new ProcessEndedCommand(1));
    ASSERT_TRUE(WaitUntil([&] { return relay->GetFailedCount() == 1; }));

    Reader next(path);
    relay->Enqueue(new ProcessEndedCommand(2));
    // The new reader first gets the start of the process it missed.
    ASSERT_TRUE(WaitUntil([&] { return relay->GetSentCount() == 3; }));
    const std::vector<uint8_t> received = next.Drain();
    ASSERT_EQ(received.size(), 38u);
    EXPECT_EQ(received[2], 9);
    EXPECT_EQ(received[21], 10);
    EXPECT_EQ(received[22], 2);

    relay->Stop();
    if (relay->WaitForExit(10000)) delete relay;
}
