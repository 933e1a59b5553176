#include "uplink/RelayWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "UplinkTestSupport.h"
#include "commands/BeginCallCommand.h"
#include "commands/EndCallCommand.h"
#include "commands/MethodInfoCommand.h"
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

// A stream transport that keeps every message it takes, can be down, can take only the first
// messages of its next batch, and can make the next batch go to a new connection.
class StreamRecorder : public AgentUplink {
public:
    bool Connect() override { return true; }
    bool Send(const uint8_t*, int32_t) override { return false; }
    bool Close() override { return true; }
    bool SupportsBatching() override { return true; }
    bool Prepare() override {
        std::lock_guard<std::mutex> lock(mutex);
        ++prepared;
        if (!up) return false;
        if (reconnect) CountConnection();
        reconnect = false;
        return true;
    }
    BatchResult SendRuns(const MessageRun* runs, size_t runCount, int64_t) override {
        std::lock_guard<std::mutex> lock(mutex);
        BatchResult result;
        ForEachMessage(runs, runCount, [&](const uint8_t* message, size_t length) {
            if (result.delivered < allow) {
                messages.emplace_back(message, message + length);
                ++result.delivered;
            } else {
                ++result.failed;
                if (stalled) ++result.timedOut;
            }
        });
        allow = SIZE_MAX;
        ++batches;
        return result;
    }

    void SetUp(bool isUp) {
        std::lock_guard<std::mutex> lock(mutex);
        up = isUp;
    }
    void NewConnection() {
        std::lock_guard<std::mutex> lock(mutex);
        reconnect = true;
    }
    // The next batch hands over its first `count` messages only (the rest as not read in time when stalled).
    void AllowNext(size_t count, bool asStalled) {
        std::lock_guard<std::mutex> lock(mutex);
        allow = count;
        stalled = asStalled;
    }
    std::vector<int> Types(size_t from = 0) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<int> types;
        for (size_t i = from; i < messages.size(); ++i) types.push_back(messages[i][2]);
        return types;
    }
    std::vector<std::vector<uint8_t>> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages.size();
    }
    size_t Batches() {
        std::lock_guard<std::mutex> lock(mutex);
        return batches;
    }

private:
    std::mutex mutex;
    bool up = true;
    bool reconnect = true;
    bool stalled = false;
    size_t allow = SIZE_MAX;
    size_t batches = 0;
    size_t prepared = 0;
    std::vector<std::vector<uint8_t>> messages;
};

// As the hooks write: a message a new collector needs marks its chunk.
void Append(ThreadBuffer& buffer, CommandBase&& command, bool mark = true) {
    std::unique_ptr<uint8_t[]> bytes(command.GetPayload());
    const size_t length = static_cast<size_t>(command.GetPayloadLength());
    uint8_t* at = buffer.Reserve(length);
    ASSERT_NE(at, nullptr);
    std::memcpy(at, bytes.get(), length);
    if (mark && command.GetCallType() == Calls::MethodInfo) buffer.MarkContext();
    buffer.Commit(length);
}

uint64_t U64At(const std::vector<uint8_t>& message, size_t offset) {
    uint64_t value = 0;
    std::memcpy(&value, message.data() + offset, 8);
    return value;
}

}  // namespace

TEST_F(RelayWorkerTest, CommandsEnqueuedBeforeStartAreSentInOrderOnceRunning) {
    relay->Enqueue(new ProcessStartedCommand(1));
    relay->Enqueue(new ThreadStartedCommand(1, 2));
    relay->Enqueue(new ProcessEndedCommand(1));
    EXPECT_EQ(relay->GetQueuedMessages(), 3u);
    // Each with its bookkeeping.
    EXPECT_EQ(relay->GetQueuedBytes(), 3 * (19 + RelayWorker::QueuedMessageOverhead));

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
    const size_t each = 19 + RelayWorker::QueuedMessageOverhead;
    relay->SetMaxQueuedBytes(3 * each);
    for (int i = 0; i < 5; ++i) relay->Enqueue(new ProcessStartedCommand(1));
    EXPECT_EQ(relay->GetQueuedMessages(), 3u);
    EXPECT_EQ(relay->GetDroppedCount(), 2u);
    EXPECT_EQ(
        log.Count("[Relay] Queue full (" + std::to_string(3 * each) + " bytes waiting), 1 messages dropped so far"),
        1u);
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

TEST_F(RelayWorkerTest, QueueSharesTheThreadBuffersBudget) {
    ThreadBuffer::SetBudget(ThreadBuffer::BudgetInUse() + 2 * (19 + RelayWorker::QueuedMessageOverhead));
    for (int i = 0; i < 3; ++i) relay->Enqueue(new ProcessStartedCommand(1));
    EXPECT_EQ(relay->GetQueuedMessages(), 2u);
    EXPECT_EQ(relay->GetDroppedCount(), 1u);
    relay->Start(&uplink);
    ASSERT_TRUE(WaitForMessages(2));
    // Handed over: the budget is free again.
    ASSERT_TRUE(WaitUntil([&] { return relay->GetQueuedBytes() == 0; }));
    relay->Enqueue(new ProcessStartedCommand(1));
    EXPECT_EQ(relay->GetDroppedCount(), 1u);
    ThreadBuffer::SetBudget(ThreadBuffer::DefaultBudgetBytes);
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

TEST_F(RelayWorkerTest, ANewConnectionGetsTheAnnouncementsAndEveryNameBeforeAnyCall) {
    StreamRecorder stream;
    auto* buffer = new ThreadBuffer();
    relay->Register(buffer);
    relay->Enqueue(new ProcessStartedCommand(1));
    relay->Enqueue(new ProcessFrequencyCommand(1, 1000000));
    relay->Enqueue(NewProcessType());
    relay->Enqueue(new ProfilerVersionCommand(1));
    Append(*buffer, MethodInfoCommand(1, 5, 42, "Shop.Cart", "Add"));
    Append(*buffer, BeginCallCommand(1, 5, 42));
    Append(*buffer, EndCallCommand(1, 5, 42, false));
    relay->Start(&stream);
    ASSERT_TRUE(WaitUntil([&] { return stream.Count() == 7; }));
    EXPECT_EQ(stream.Types(), (std::vector<int>{9, 11, 12, 104, 3, 1, 2}));
    EXPECT_EQ(relay->GetKnownFunctionCount(), 1u);

    // The collector restarts: the next call comes after what a new reader needs to read it.
    stream.NewConnection();
    Append(*buffer, BeginCallCommand(1, 5, 42));
    ASSERT_TRUE(WaitUntil([&] { return stream.Count() == 13; }));
    EXPECT_EQ(stream.Types(7), (std::vector<int>{9, 11, 12, 104, 3, 1}));
    EXPECT_EQ(stream.Messages()[11], stream.Messages()[4]);  // the name as the thread sent it

    // The same connection again: nothing is repeated.
    Append(*buffer, EndCallCommand(1, 5, 42, false));
    ASSERT_TRUE(WaitUntil([&] { return stream.Count() == 14; }));
    EXPECT_EQ(stream.Types(13), (std::vector<int>{2}));
    buffer->Retire();
}

TEST_F(RelayWorkerTest, ANameCountsAsSentOnlyOnceTheTransportTookIt) {
    for (const size_t allowed : {0u, 1u}) {
        SCOPED_TRACE(allowed);
        StreamRecorder stream;
        auto* worker = new RelayWorker();
        auto* buffer = new ThreadBuffer();
        worker->Register(buffer);
        Append(*buffer, MethodInfoCommand(1, 5, 42, "Shop.Cart", "Add"));
        Append(*buffer, BeginCallCommand(1, 5, 42));
        stream.AllowNext(allowed, true);
        worker->Start(&stream);
        ASSERT_TRUE(WaitUntil([&] { return stream.Batches() >= 1; }));
        Append(*buffer, EndCallCommand(1, 5, 42, false));
        ASSERT_TRUE(WaitUntil([&] { return stream.Count() == 2; }));
        // Given up: sent again before the thread's next command. Taken: never again.
        EXPECT_EQ(stream.Types(), (std::vector<int>{3, 2}));
        EXPECT_EQ(worker->GetTimedOutCount(), 2u - allowed);
        buffer->Retire();
        worker->Stop();
        if (worker->WaitForExit(10000)) delete worker;
    }
}

TEST_F(RelayWorkerTest, NamesSeenWhileNoCollectorListensReachTheFirstOne) {
    StreamRecorder stream;
    stream.SetUp(false);
    auto* buffer = new ThreadBuffer();
    relay->Register(buffer);
    relay->Enqueue(new ProcessStartedCommand(1));
    Append(*buffer, MethodInfoCommand(1, 5, 42, "Shop.Cart", "Add"));
    Append(*buffer, BeginCallCommand(1, 5, 42));
    relay->Start(&stream);
    ASSERT_TRUE(WaitUntil([&] { return relay->GetFailedCount() == 3; }));
    EXPECT_EQ(relay->GetTimedOutCount(), 0u);
    stream.SetUp(true);
    Append(*buffer, EndCallCommand(1, 5, 42, false));
    ASSERT_TRUE(WaitUntil([&] { return stream.Count() == 3; }));
    EXPECT_EQ(stream.Types(), (std::vector<int>{9, 3, 2}));
    buffer->Retire();
}

TEST_F(RelayWorkerTest, DeliveryReportsCountEveryMessageByWhatBecameOfIt) {
    StreamRecorder stream;
    relay->ReportDelivery(77, Second);
    relay->SetMaxQueuedBytes(2 * (19 + RelayWorker::QueuedMessageOverhead));
    for (int i = 0; i < 3; ++i) relay->Enqueue(new ThreadStartedCommand(1, static_cast<uint64_t>(i)));  // one dropped
    stream.AllowNext(1, true);  // one taken, one not read in time
    relay->Start(&stream);
    ASSERT_TRUE(WaitUntil([&] { return relay->GetTimedOutCount() == 1; }));
    stream.SetUp(false);
    relay->Enqueue(new ThreadStartedCommand(1, 9));  // no collector: send failed
    ASSERT_TRUE(WaitUntil([&] { return relay->GetFailedCount() == 2; }));
    stream.SetUp(true);
    EXPECT_EQ(stream.Types(), (std::vector<int>{7}));

    fakeNow = 2 * Second;
    ASSERT_TRUE(WaitUntil([&] { return stream.Count() == 2; }));
    auto report = stream.Messages()[1];
    ASSERT_EQ(report.size(), static_cast<size_t>(DeliveryStatisticsCommand::Length));
    EXPECT_EQ(report[2], Calls::DeliveryStatistics);
    EXPECT_EQ(report[3], 77);
    EXPECT_EQ(report[19], 0);          // not the final one
    EXPECT_EQ(U64At(report, 20), 1u);  // sent
    EXPECT_EQ(U64At(report, 28), 1u);  // queue full
    EXPECT_EQ(U64At(report, 36), 1u);  // send failed
    EXPECT_EQ(U64At(report, 44), 1u);  // pipe full

    // At the end, a final report comes just before the end of the process.
    EXPECT_TRUE(relay->Finish(new ProcessEndedCommand(77), std::chrono::milliseconds(1000)));
    EXPECT_EQ(stream.Types(), (std::vector<int>{7, 20, 20, 10}));
    report = stream.Messages()[2];
    EXPECT_EQ(report[19], 1);
    EXPECT_EQ(U64At(report, 20), 2u);
}
