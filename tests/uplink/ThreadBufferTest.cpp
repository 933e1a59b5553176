#include "uplink/ThreadBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// A framed message: 16-bit length, then a 32-bit sequence number, then filler.
std::vector<uint8_t> Message(uint32_t sequence, size_t length) {
    std::vector<uint8_t> bytes(length, static_cast<uint8_t>(sequence));
    bytes[0] = static_cast<uint8_t>(length);
    bytes[1] = static_cast<uint8_t>(length >> 8);
    std::memcpy(bytes.data() + 2, &sequence, 4);
    return bytes;
}

// Reads every whole message of what Peek returns, checking that they come in sequence.
size_t Drain(ThreadBuffer& buffer, uint32_t& next) {
    std::vector<ThreadBuffer::Span> runs;
    buffer.Peek(runs);
    size_t messages = 0;
    for (const auto& run : runs) {
        size_t offset = 0;
        while (offset < run.length) {
            const uint8_t* at = run.data + offset;
            const size_t length = static_cast<size_t>(at[0]) | (static_cast<size_t>(at[1]) << 8);
            EXPECT_GE(length, 6u);
            EXPECT_LE(offset + length, run.length) << "a message runs over the end of its run";
            if (length < 6 || offset + length > run.length) return messages;
            uint32_t sequence = 0;
            std::memcpy(&sequence, at + 2, 4);
            EXPECT_EQ(sequence, next);
            next = sequence + 1;
            offset += length;
            ++messages;
        }
    }
    buffer.Consume();
    return messages;
}

}  // namespace

TEST(ThreadBufferTest, MessagesComeOutWholeAndInOrderAcrossChunks) {
    ThreadBuffer buffer;
    uint32_t written = 0, next = 0;
    // Lengths that do not divide a chunk, so messages meet its end at every offset.
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < 997; ++i) {
            const size_t length = 19 + static_cast<size_t>((written * 7) % 300);
            const auto message = Message(written, length);
            ASSERT_TRUE(buffer.Append(message.data(), message.size()));
            ++written;
        }
        Drain(buffer, next);
        EXPECT_TRUE(buffer.IsEmpty());
    }
    EXPECT_EQ(next, written);
    EXPECT_EQ(buffer.GetDroppedCount(), 0u);
    // A steady stream reuses its chunks: nothing beyond the spares stays taken from the budget.
    EXPECT_LE(ThreadBuffer::BudgetInUse(), (ThreadBuffer::SpareChunksKept + 1) * sizeof(uint8_t) * 64 * 1024);
}

TEST(ThreadBufferTest, ABacklogGrowsUpToTheSharedBudgetThenDropsAndCounts) {
    // Four chunks for calls; the sixteenth beyond them is the relay queue's.
    ThreadBuffer::SetBudget(4 * 64 * 1024 * 16 / 15);
    {
        ThreadBuffer first, second;
        const auto message = Message(0, 1000);
        size_t accepted = 0;
        for (int i = 0; i < 1000; ++i) accepted += first.Append(message.data(), message.size()) ? 1 : 0;
        // Its own chunk plus the four the budget allows, 65 messages each.
        EXPECT_EQ(accepted, 5u * 65u);
        EXPECT_EQ(first.GetDroppedCount(), 1000u - accepted);
        EXPECT_TRUE(first.TakeFilledChunk());  // the writer moved to a new chunk: time to wake the reader
        // Another thread still reports into its own first chunk.
        EXPECT_TRUE(second.Append(message.data(), message.size()));
        EXPECT_EQ(first.Reserve(70000), nullptr);  // larger than a chunk: never
        // The calls filled their share: a thread's start or a name still finds room in the queue's.
        EXPECT_TRUE(ThreadBuffer::ChargeBudget(1000));
        ThreadBuffer::ReleaseBudget(1000);

        // Once read, the chunks come back and there is room again.
        std::vector<ThreadBuffer::Span> runs;
        EXPECT_EQ(first.Peek(runs), 5u);
        first.Consume();
        EXPECT_TRUE(first.IsEmpty());
        EXPECT_TRUE(first.Append(message.data(), message.size()));
    }
    EXPECT_EQ(ThreadBuffer::BudgetInUse(), 0u);
    ThreadBuffer::SetBudget(ThreadBuffer::DefaultBudgetBytes);
}

TEST(ThreadBufferTest, ABusyWriterKeepsMoreSpareChunksOnlyWhileTheBudgetIsRoomy) {
    constexpr size_t Chunk = 64 * 1024;
    const auto message = Message(0, 1000);  // 65 to a chunk
    auto backlogThenDrain = [&](int chunks) {
        ThreadBuffer buffer;
        for (int i = 0; i < chunks * 65; ++i) buffer.Append(message.data(), message.size());
        std::vector<ThreadBuffer::Span> runs;
        buffer.Peek(runs);
        buffer.Consume();
        return ThreadBuffer::BudgetInUse() / Chunk;  // while the buffer lives: its spares and its current chunk
    };
    EXPECT_EQ(backlogThenDrain(30), ThreadBuffer::SpareChunksKeptWhileRoomy + 1u);
    ThreadBuffer::SetBudget(8 * Chunk);  // full with the backlog: never roomy while draining
    EXPECT_EQ(backlogThenDrain(30), ThreadBuffer::SpareChunksKept + 1u);
    ThreadBuffer::SetBudget(ThreadBuffer::DefaultBudgetBytes);
    EXPECT_EQ(ThreadBuffer::BudgetInUse(), 0u);
}

TEST(ThreadBufferTest, ConcurrentWriterAndReaderLoseNothingWhileThereIsRoom) {
    ThreadBuffer buffer;
    constexpr uint32_t Count = 400000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        uint32_t sequence = 0;
        while (sequence < Count) {
            const size_t length = 26 + (sequence % 3) * 3;
            uint8_t* at = buffer.Reserve(length);
            if (at == nullptr) {
                std::this_thread::yield();
                continue;
            }
            const auto message = Message(sequence, length);
            std::memcpy(at, message.data(), length);
            buffer.Commit(length);
            ++sequence;
        }
        done = true;
    });
    uint32_t next = 0;
    while (!done.load() || !buffer.IsEmpty()) Drain(buffer, next);
    writer.join();
    EXPECT_EQ(next, Count);
}

TEST(ThreadBufferTest, AMarkedMessageMarksTheRunsOfItsChunkOnlyUntilTheChunkIsReused) {
    ThreadBuffer buffer;
    const std::vector<uint8_t> plain = Message(0, 1000);
    ASSERT_TRUE(buffer.Append(plain.data(), plain.size()));
    std::vector<ThreadBuffer::Span> runs;
    buffer.Peek(runs);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_FALSE(runs[0].mayHoldContext);
    buffer.Consume();

    uint8_t* at = buffer.Reserve(plain.size());
    ASSERT_NE(at, nullptr);
    std::memcpy(at, plain.data(), plain.size());
    buffer.MarkContext();
    buffer.Commit(plain.size());
    runs.clear();
    buffer.Peek(runs);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(runs[0].mayHoldContext);
    buffer.Consume();

    // Past the marked chunk: the next chunks (new or reused) start unmarked.
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(buffer.Append(plain.data(), plain.size()));
    runs.clear();
    buffer.Peek(runs);
    ASSERT_GE(runs.size(), 2u);
    EXPECT_TRUE(runs[0].mayHoldContext);
    for (size_t r = 1; r < runs.size(); ++r) EXPECT_FALSE(runs[r].mayHoldContext);
    buffer.Consume();
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(buffer.Append(plain.data(), plain.size()));
    runs.clear();
    buffer.Peek(runs);
    for (const auto& run : runs) EXPECT_FALSE(run.mayHoldContext);
    buffer.Consume();
}

TEST(ThreadBufferTest, AWriterWaitsForRoomWhileTheReaderKeepsUpAndWaitsOnceWhenItStops) {
    ThreadBuffer::SetBudget(4 * 64 * 1024 * 16 / 15);
    ThreadBuffer::SetRoomWait(100000000);  // 100 ms
    ThreadBuffer::SetReaderKeepsUp(true);
    {
        ThreadBuffer buffer;
        const auto message = Message(0, 1000);  // 65 to a chunk
        std::atomic<bool> reading{true};
        std::thread reader([&] {
            std::vector<ThreadBuffer::Span> runs;
            while (reading.load()) {
                runs.clear();
                buffer.Peek(runs);
                buffer.Consume();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        // Twenty chunks through a budget of four: the writer waits instead of dropping.
        for (int i = 0; i < 20 * 65; ++i) ASSERT_TRUE(buffer.Append(message.data(), message.size()));
        EXPECT_EQ(buffer.GetDroppedCount(), 0u);
        EXPECT_GT(ThreadBuffer::GetWaitCount(), 0u);
        reading = false;
        reader.join();

        // The reader stopped: one wait in vain, then drops without waiting.
        for (int i = 0; i < 10 * 65; ++i) buffer.Append(message.data(), message.size());
        EXPECT_GT(buffer.GetDroppedCount(), 0u);
        EXPECT_FALSE(ThreadBuffer::WaitsForRoom());
        const uint64_t waits = ThreadBuffer::GetWaitCount();
        for (int i = 0; i < 65; ++i) buffer.Append(message.data(), message.size());
        EXPECT_EQ(ThreadBuffer::GetWaitCount(), waits);
        // A reader taking batches again turns waiting back on.
        ThreadBuffer::SetReaderKeepsUp(true);
        EXPECT_TRUE(ThreadBuffer::WaitsForRoom());
        std::vector<ThreadBuffer::Span> runs;
        buffer.Peek(runs);
        buffer.Consume();
    }
    ThreadBuffer::SetRoomWait(0);
    ThreadBuffer::SetBudget(ThreadBuffer::DefaultBudgetBytes);
    EXPECT_EQ(ThreadBuffer::BudgetInUse(), 0u);
}
