#include "uplink/RelayWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "UplinkTestSupport.h"
#include "commands/ProcessEndedCommand.h"
#include "commands/ProcessFrequencyCommand.h"
#include "commands/ProcessStartedCommand.h"
#include "commands/ProcessTypeCommand.h"
#include "commands/ProfilerVersionCommand.h"
#include "commands/ThreadEndedCommand.h"
#include "commands/ThreadStartedCommand.h"
#include "uplink/ThreadBuffer.h"
#include "uplink/AgentUplink.h"

namespace {

constexpr int64_t Second = 1000000000;

std::atomic<int64_t> fakeNow{0};
int64_t FakeClock() { return fakeNow.load(); }

// Records what it is given; can hold the relay thread inside Send until released.
class RecordingUplink : public AgentUplink {
public:
    bool Connect() override { return true; }
    bool Send(const uint8_t* data, int32_t length) override {
        std::unique_lock<std::mutex> lock(mutex);
        ++sendCalls;
        changed.notify_all();
        changed.wait(lock, [this] { return !holding; });
        messages.emplace_back(data, data + length);
        return answer;
    }
    bool Close() override { return true; }
    bool SupportsBatching() override { return batching; }

    void Hold() {
        std::lock_guard<std::mutex> lock(mutex);
        holding = true;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        holding = false;
        changed.notify_all();
    }
    size_t SendCalls() {
        std::lock_guard<std::mutex> lock(mutex);
        return sendCalls;
    }
    std::vector<std::vector<uint8_t>> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }

    bool answer = true;
    bool batching = false;

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    size_t sendCalls = 0;
    std::vector<std::vector<uint8_t>> messages;
};

class ThrowingCommand : public CommandBase {
public:
    ThrowingCommand() : CommandBase(1, 0, Calls::ProcessStarted) {}
    uint8_t* GetPayload() override { throw std::runtime_error("payload exploded"); }
    int16_t GetPayloadLength() override { return 19; }
};

class WrappingCommand : public CommandBase {
public:
    WrappingCommand() : CommandBase(1, 0, Calls::BeginCall) {}
    uint8_t* GetPayload() override { return GetDefaultPayload(); }
    int16_t GetPayloadLength() override { return static_cast<int16_t>(40000); }
};

class RelayWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeNow = 0;
        relay = new RelayWorker();
        relay->SetClock(&FakeClock);
    }
    void TearDown() override {
        relay->Stop();
        uplink.Release();
        // A worker that did not end in time keeps its object: leak it rather than free it under the thread.
        if (relay->WaitForExit(10000)) delete relay;
    }
    bool WaitForMessages(size_t count) {
        return WaitUntil([&] { return uplink.Messages().size() >= count; });
    }

    RecordingUplink uplink;
    RelayWorker* relay = nullptr;
};

ProcessTypeCommand* NewProcessType() { return new ProcessTypeCommand(1, "DOTNET_CORE", "8.0", ""); }

}  // namespace

TEST_F(RelayWorkerTest, CommandsEnqueuedBeforeStartAreSentInOrderOnceRunning) {
    relay->Enqueue(new ProcessStartedCommand(1));
    relay->Enqueue(new ThreadStartedCommand(1, 2));
    relay->Enqueue(new ProcessEndedCommand(1));
    EXPECT_EQ(relay->GetQueuedMessages(), 3u);
    EXPECT_EQ(relay->GetQueuedBytes(), 57u);

    relay->Start(&uplink);
    ASSERT_TRUE(WaitForMessages(3));
    const auto messages = uplink.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0][2], 9);
    EXPECT_EQ(messages[1][2], 7);
    EXPECT_EQ(messages[2][2], 10);
    EXPECT_EQ(messages[1].size(), 19u);
    EXPECT_TRUE(WaitUntil([&] { return relay->GetSentCount() == 3; }));
    EXPECT_EQ(relay->GetQueuedBytes(), 0u);
}

TEST_F(RelayWorkerTest, StreamTransportsGetMessagesBackToBackInBoundedWrites) {
    uplink.batching = true;
    const int count = 500;  // 9500 bytes: more than one write's worth
    for (int i = 0; i < count; ++i) relay->Enqueue(new ThreadStartedCommand(1, static_cast<uint64_t>(i)));
    relay->Start(&uplink);
    ASSERT_TRUE(WaitUntil([&] { return relay->GetSentCount() == static_cast<uint64_t>(count); }));
    EXPECT_TRUE(relay->WaitUntilDrained(std::chrono::milliseconds(1000)));

    std::vector<uint8_t> stream;
    for (const auto& write : uplink.Messages()) {
        EXPECT_LE(write.size(), RelayWorker::MaxBatchBytes);
        EXPECT_EQ(write.size() % 19, 0u);  // never a message cut between writes
        stream.insert(stream.end(), write.begin(), write.end());
    }
    EXPECT_LT(uplink.Messages().size(), 10u);
    ASSERT_EQ(stream.size(), 19u * count);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(stream[19 * i + 2], 7);
        EXPECT_EQ(stream[19 * i + 7], static_cast<uint8_t>(i));  // in order
    }
}

TEST_F(RelayWorkerTest, AnnouncementsPassOncePerThirtySecondsEachOnItsOwn) {
    // A freshly booted host: the monotonic clock reads less than the interval.
    fakeNow = 5 * Second;
    relay->Enqueue(NewProcessType());
    fakeNow = 15 * Second;
    relay->Enqueue(NewProcessType());                   // 10 s later: throttled
    relay->Enqueue(new ProfilerVersionCommand(1));      // its own limit: passes
    relay->Enqueue(new ProcessFrequencyCommand(1, 1));  // never limited
    relay->Enqueue(new ProcessFrequencyCommand(1, 1));
    fakeNow = 36 * Second;
    relay->Enqueue(NewProcessType());               // 31 s after the accepted one: passes
    relay->Enqueue(new ProfilerVersionCommand(1));  // 21 s after its accepted one: throttled
    fakeNow = 45 * Second;
    relay->Enqueue(new ProfilerVersionCommand(1));  // 30 s exactly: passes

    EXPECT_EQ(relay->GetThrottledCount(), 2u);
    relay->Start(&uplink);
    ASSERT_TRUE(WaitForMessages(6));
    std::vector<int> types;
    for (const auto& message : uplink.Messages()) types.push_back(message[2]);
    EXPECT_EQ(types, (std::vector<int>{12, 104, 11, 11, 12, 104}));
}

TEST_F(RelayWorkerTest, FirstAnnouncementPassesAtClockZero) {
    relay->Enqueue(NewProcessType());
    relay->Enqueue(new ProfilerVersionCommand(1));
    EXPECT_EQ(relay->GetQueuedMessages(), 2u);
    EXPECT_EQ(relay->GetThrottledCount(), 0u);
}

TEST_F(RelayWorkerTest, QueueBeyondItsByteBoundDropsAndWarnsAtARate) {
    LogCapture log;
    relay->SetMaxQueuedBytes(3 * 19);
    for (int i = 0; i < 5; ++i) relay->Enqueue(new ProcessStartedCommand(1));
    EXPECT_EQ(relay->GetQueuedMessages(), 3u);
    EXPECT_EQ(relay->GetDroppedCount(), 2u);
    EXPECT_EQ(log.Count("[Relay] Queue full (57 bytes waiting), 1 messages dropped so far"), 1u);
    EXPECT_EQ(log.Count("Queue full"), 1u);

    fakeNow = 6 * Second;
    relay->Enqueue(new ProcessStartedCommand(1));
    EXPECT_EQ(log.Count("Queue full"), 2u);
    EXPECT_EQ(log.Count("3 messages dropped so far"), 1u);

    // Draining makes room again.
    relay->Start(&uplink);
    ASSERT_TRUE(WaitForMessages(3));
    ASSERT_TRUE(WaitUntil([&] { return relay->GetQueuedBytes() == 0; }));
    relay->Enqueue(new ProcessEndedCommand(1));
    ASSERT_TRUE(WaitForMessages(4));
    EXPECT_EQ(relay->GetDroppedCount(), 3u);
}

TEST_F(RelayWorkerTest, StopEndsTheWorkerWithoutSendingTheRest) {
    LogCapture log;
    uplink.Hold();
    relay->Start(&uplink);
    relay->Enqueue(new ProcessStartedCommand(1));
    ASSERT_TRUE(WaitUntil([&] { return uplink.SendCalls() == 1; }));
    relay->Enqueue(new ProcessEndedCommand(1));
    relay->Enqueue(new ProcessEndedCommand(1));

    relay->Stop();
    uplink.Release();
    ASSERT_TRUE(relay->WaitForExit(10000));
    EXPECT_EQ(uplink.Messages().size(), 1u);
    EXPECT_EQ(relay->GetQueuedMessages(), 2u);

    // After the stop nothing more is queued.
    relay->Enqueue(new ProcessEndedCommand(1));
    EXPECT_EQ(relay->GetQueuedMessages(), 2u);

    const std::string text = log.Text();
    EXPECT_NE(text.find("[    INFO] RelayWorker - Started\n"), std::string::npos);
    EXPECT_NE(text.find("[    INFO] RelayWorker [Start] Run\n"), std::string::npos);
    EXPECT_NE(text.find("[    INFO] RelayWorker [End] Run\n"), std::string::npos);
}

TEST_F(RelayWorkerTest, BadCommandsAreLoggedAndDroppedWithoutEscaping) {
    LogCapture log;
    relay->Enqueue(nullptr);
    relay->Enqueue(new ThrowingCommand());
    relay->Enqueue(new WrappingCommand());
    EXPECT_EQ(relay->GetQueuedMessages(), 0u);
    EXPECT_EQ(log.Count("[   ERROR] RelayWorker::Enqueue - Exception: payload exploded\n"), 1u);
    EXPECT_EQ(log.Count("[   ERROR] RelayWorker::Enqueue - Exception: command length out of range\n"), 1u);
}

TEST_F(RelayWorkerTest, FailedSendsAreCountedAndTheWorkerGoesOn) {
    uplink.answer = false;
    relay->Start(&uplink);
    relay->Enqueue(new ProcessStartedCommand(1));
    relay->Enqueue(new ProcessEndedCommand(1));
    ASSERT_TRUE(WaitForMessages(2));
    EXPECT_TRUE(WaitUntil([&] { return relay->GetFailedCount() == 2; }));
    EXPECT_EQ(relay->GetSentCount(), 0u);
}

TEST_F(RelayWorkerTest, ConcurrentProducersKeepTheirOwnOrder) {
    relay->Start(&uplink);
    constexpr int Producers = 4;
    constexpr int PerProducer = 500;
    std::vector<std::thread> producers;
    for (int p = 0; p < Producers; ++p) {
        producers.emplace_back([this, p] {
            for (int i = 0; i < PerProducer; ++i) relay->Enqueue(new ThreadStartedCommand(p, i));
        });
    }
    for (auto& producer : producers) producer.join();
    ASSERT_TRUE(WaitForMessages(Producers * PerProducer));

    std::vector<int> next(Producers, 0);
    for (const auto& message : uplink.Messages()) {
        const int producer = message[3];
        const int sequence = message[7] | (message[8] << 8);
        ASSERT_EQ(sequence, next[producer]);
        ++next[producer];
    }
}

TEST_F(RelayWorkerTest, CallsGoBetweenTheQueueAndWhatFollowsThemAndTheLastMessageEndsAll) {
    auto* buffer = new ThreadBuffer();
    relay->Register(buffer);
    const std::vector<uint8_t> call = Message(26, 0x42);
    ASSERT_TRUE(buffer->Append(call.data(), call.size()));
    relay->EnqueueAfterCalls(new ThreadEndedCommand(1, 9));  // follows the call buffered before it
    relay->Enqueue(new ThreadStartedCommand(1, 9));          // goes ahead of the calls
    relay->Start(&uplink);
    ASSERT_TRUE(WaitForMessages(3));
    EXPECT_TRUE(relay->Finish(new ProcessEndedCommand(1), std::chrono::milliseconds(500)));
    ASSERT_TRUE(buffer->Append(call.data(), call.size()));  // too late: the end was announced
    std::vector<int> types;
    for (const auto& message : uplink.Messages()) types.push_back(message[2]);
    EXPECT_EQ(types, (std::vector<int>{7, 0x42, 8, 10}));
    EXPECT_TRUE(relay->WaitForExit(2000));
    buffer->Retire();
}

TEST_F(RelayWorkerTest, AStalledUplinkHoldsTheEndOnlyForItsBudget) {
    uplink.Hold();
    relay->Start(&uplink);
    relay->Enqueue(new ProcessStartedCommand(1));
    ASSERT_TRUE(WaitUntil([&] { return uplink.SendCalls() == 1; }));
    // Finish comes back (without the end delivered) instead of waiting for the uplink.
    EXPECT_FALSE(relay->Finish(new ProcessEndedCommand(1), std::chrono::milliseconds(200)));
    EXPECT_EQ(uplink.Messages().size(), 0u);
}
