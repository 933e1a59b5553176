#include "uplink/StreamWriter.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "UplinkTestSupport.h"

namespace {

std::vector<MessageRun> RunsOf(const std::vector<std::vector<uint8_t>>& messages) {
    std::vector<MessageRun> runs;
    for (const auto& message : messages) runs.push_back({message.data(), message.size(), 1});
    return runs;
}

}  // namespace

TEST(StreamWriterTest, TheRestOfATornMessageIsFoundAcrossRuns) {
    const std::vector<std::vector<uint8_t>> messages{Message(10, 1), Message(30, 2), Message(5, 3)};
    const auto runs = RunsOf(messages);
    std::vector<uint8_t> tail;
    EXPECT_EQ(StreamWriter::TornTail(runs.data(), runs.size(), 10, tail), 0u);  // a boundary
    EXPECT_EQ(StreamWriter::TornTail(runs.data(), runs.size(), 45, tail), 0u);  // all of it
    EXPECT_TRUE(tail.empty());
    EXPECT_EQ(StreamWriter::TornTail(runs.data(), runs.size(), 17, tail), 23u);
    EXPECT_EQ(tail, std::vector<uint8_t>(messages[1].begin() + 7, messages[1].end()));

    // Several messages in one run, cut inside the second.
    std::vector<uint8_t> joined(messages[0]);
    joined.insert(joined.end(), messages[1].begin(), messages[1].end());
    const MessageRun one{joined.data(), joined.size(), 0};
    tail.clear();
    EXPECT_EQ(StreamWriter::TornTail(&one, 1, 11, tail), 29u);
    EXPECT_EQ(tail, std::vector<uint8_t>(messages[1].begin() + 1, messages[1].end()));
}

// A socket with a tiny buffer takes every write in small pieces: each message still arrives whole,
// and a reader that stops leaves the stream at a message boundary or reports it torn.
TEST(StreamWriterTest, ShortWritesAreCarriedOnUntilEveryMessageIsWhole) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    const int small = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    std::vector<std::vector<uint8_t>> messages;
    for (int i = 0; i < 60; ++i)
        messages.push_back(Message(3000 + static_cast<size_t>(i) * 17, static_cast<uint8_t>(i)));
    const auto runs = RunsOf(messages);

    std::vector<uint8_t> received;
    std::thread reader([&] {
        uint8_t buffer[700];
        while (received.size() < 60 * 3000) {
            const ssize_t got = read(pair[1], buffer, sizeof(buffer));
            if (got > 0)
                received.insert(received.end(), buffer, buffer + got);
            else
                std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        // Drain what is left.
        for (int quiet = 0; quiet < 200; ++quiet) {
            const ssize_t got = read(pair[1], buffer, sizeof(buffer));
            if (got > 0) {
                received.insert(received.end(), buffer, buffer + got);
                quiet = 0;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    const StreamWriter::Outcome outcome =
        StreamWriter(pair[0], true).Write(runs.data(), runs.size(), AgentUplink::MonotonicNow() + 10000000000LL, 0);
    reader.join();
    EXPECT_FALSE(outcome.torn);
    EXPECT_EQ(outcome.error, 0);
    std::vector<std::vector<uint8_t>> split;
    ASSERT_TRUE(SplitMessages(received, split));
    EXPECT_EQ(split, messages);

    // Nobody reads now: the writer gives up at the deadline, and says whether it did so mid-message.
    const StreamWriter::Outcome stalled =
        StreamWriter(pair[0], true).Write(runs.data(), runs.size(), AgentUplink::MonotonicNow() + 30000000, 0);
    EXPECT_TRUE(stalled.timedOut);
    EXPECT_GT(stalled.bytes, 0u);
    EXPECT_EQ(stalled.torn, StreamWriter::WholeMessageBytes(runs.data(), runs.size(), stalled.bytes) != stalled.bytes);
    std::vector<uint8_t> tail;
    EXPECT_EQ(StreamWriter::TornTail(runs.data(), runs.size(), stalled.bytes, tail) > 0, stalled.torn);
    close(pair[0]);
    close(pair[1]);
}

TEST(StreamWriterTest, PipeWritesHoldWholeMessagesWithinTheAtomicLimit) {
    // Another writer's bytes can land between any two writes: a pipe with room for 4096 bytes
    // takes the first message whole and none of the second, instead of 4096 bytes that end
    // inside it.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    const std::vector<std::vector<uint8_t>> messages{Message(3000, 1), Message(3000, 2), Message(9000, 3)};
    const auto runs = RunsOf(messages);
    const StreamWriter::Outcome outcome =
        StreamWriter(ends[1], false, 4096)
            .Write(runs.data(), runs.size(), StreamWriter::MonotonicNow() + 50000000LL, 0);
    EXPECT_EQ(outcome.bytes, 3000u);
    EXPECT_FALSE(outcome.torn);
    EXPECT_TRUE(outcome.timedOut);
    uint8_t buffer[4096];
    EXPECT_EQ(read(ends[0], buffer, sizeof(buffer)), 3000);
    close(ends[0]);
    close(ends[1]);
}

TEST(StreamWriterTest, AMessageBegunBeforeTheStartCapMayEndUpToTheFinishCap) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    const std::vector<std::vector<uint8_t>> messages{Message(6000, 1), Message(40, 2)};
    const auto runs = RunsOf(messages);
    const int64_t now = StreamWriter::MonotonicNow();
    // The end of the process: no message begun after 50 ms, a begun one finished within 2 s.
    AgentUplink::SetDeadlineCaps(now + 50000000LL, now + 2000000000LL);
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        uint8_t buffer[8192];
        size_t total = 0;
        while (total < 6000) {
            const ssize_t n = read(ends[0], buffer, sizeof(buffer));
            if (n <= 0) break;
            total += static_cast<size_t>(n);
        }
    });
    const StreamWriter::Outcome outcome =
        StreamWriter(ends[1], false).Write(runs.data(), runs.size(), now + 5000000000LL, 1000000000LL);
    reader.join();
    AgentUplink::SetDeadlineCap(INT64_MAX);
    close(ends[0]);
    close(ends[1]);
    // The first message ended whole after the start cap (the pipe had room for the second then).
    EXPECT_FALSE(outcome.torn);
    EXPECT_GE(outcome.bytes, 6000u);
}

TEST(StreamWriterTest, AReaderThatKeepsTakingGetsTheWholeBatchPastTheDeadline) {
    // The deadline is for a reader that takes nothing: one that takes 4 KiB every 10 ms gets 200
    // KiB, five times what it could take before a deadline 100 ms away.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    std::vector<std::vector<uint8_t>> messages;
    for (int i = 0; i < 50; ++i) messages.push_back(Message(4096, static_cast<uint8_t>(i)));
    const auto runs = RunsOf(messages);
    ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    std::thread reader([&] {
        uint8_t buffer[4096];
        size_t total = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (total < 50 * 4096 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const ssize_t n = read(ends[0], buffer, sizeof(buffer));
            if (n > 0) total += static_cast<size_t>(n);
        }
    });
    const StreamWriter::Outcome outcome =
        StreamWriter(ends[1], false).Write(runs.data(), runs.size(), StreamWriter::MonotonicNow() + 100000000LL, 0);
    reader.join();
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(outcome.bytes, 50u * 4096u);
    EXPECT_FALSE(outcome.timedOut);
}
