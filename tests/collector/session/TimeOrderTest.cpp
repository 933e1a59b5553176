#include "session/TimeOrder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "WireBytes.h"
#include "session/CollectorSession.h"

using namespace QuorixCollect;
using CollectorTest::BeginCall;
using CollectorTest::Bytes;
using CollectorTest::Command;
using CollectorTest::EndCall;

namespace {

struct Seen {
    uint32_t tid;
    int64_t ts;
};

struct Recorder {
    std::vector<Seen> seen;
    TimeOrder::Deliver Sink() {
        return [this](const uint8_t* m, size_t) {
            Seen s{};
            std::memcpy(&s.tid, m + 7, 4);
            std::memcpy(&s.ts, m + 11, 8);
            seen.push_back(s);
        };
    }
};

TimeOrder::Options Window(int64_t micros) {
    TimeOrder::Options o;
    o.windowNanos = micros * 1000;
    return o;
}

void Take(TimeOrder& order, const Bytes& b, TimeOrder::Clock::time_point now = {}) {
    order.Take(b.data(), b.size(), now);
}

}  // namespace

// The agent hands over one thread's batch after another's: what ran later on one thread can
// come first. Across threads the stamps decide; within a thread its own order stays, even where
// its stamps step back.
TEST(TimeOrder, ThreadsMergedByStampThreadsOwnOrderKept) {
    Recorder r;
    TimeOrder order(Window(100), r.Sink());
    Take(order, BeginCall(1, {}, 2, 50));  // thread 2's batch first
    Take(order, EndCall(1, 2, 60));
    Take(order, BeginCall(1, {}, 1, 10));  // thread 1 ran before it
    Take(order, EndCall(1, 1, 40));
    Take(order, BeginCall(1, {}, 1, 35));  // a stamp stepping back stays after its predecessor
    EXPECT_TRUE(r.seen.empty()) << "all within the window of the newest stamp";
    Take(order, BeginCall(1, {}, 3, 1000));  // moves the window past all of the above
    ASSERT_EQ(r.seen.size(), 5u);
    const std::vector<std::pair<uint32_t, int64_t>> expected = {{1, 10}, {1, 40}, {1, 35}, {2, 50}, {2, 60}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(r.seen[i].tid, expected[i].first) << i;
        EXPECT_EQ(r.seen[i].ts, expected[i].second) << i;
    }
    EXPECT_GE(order.GetStats().reordered, 1u);
    order.ReleaseAll();
    ASSERT_EQ(r.seen.size(), 6u);
    EXPECT_EQ(order.BytesHeld(), 0u);
}

TEST(TimeOrder, QuietProcessLetGoByOurClockAndEndReleasesFirst) {
    Recorder r;
    TimeOrder::Options o = Window(1000);
    o.idle = std::chrono::milliseconds(50);
    TimeOrder order(o, r.Sink());
    const auto t0 = TimeOrder::Clock::now();
    Take(order, BeginCall(1, {}, 1, 10), t0);
    order.Tick(t0 + std::chrono::milliseconds(10));
    EXPECT_TRUE(r.seen.empty());
    order.Tick(t0 + std::chrono::milliseconds(60));
    EXPECT_EQ(r.seen.size(), 1u);

    Take(order, BeginCall(1, {}, 2, 20), t0);
    Take(order, Command(1, Bytes(13, 0), 999, 5, 15), t0);  // another process is held apart
    order.ReleaseProcess(4711);
    ASSERT_EQ(r.seen.size(), 2u);
    EXPECT_EQ(r.seen[1].tid, 2u);
    order.ReleaseAll();
    EXPECT_EQ(r.seen.size(), 3u);
}

// The window is time of the app's clock: at a nanosecond clock 100 µs are 100,000 ticks.
TEST(TimeOrder, WindowFollowsTheProcessClock) {
    Recorder r;
    TimeOrder order(Window(100), r.Sink());
    order.SetFrequency(4711, 1'000'000'000);
    Take(order, BeginCall(1, {}, 1, 1'000'000));
    Take(order, BeginCall(1, {}, 2, 1'050'000));
    EXPECT_TRUE(r.seen.empty());
    Take(order, BeginCall(1, {}, 2, 1'100'001));
    EXPECT_EQ(r.seen.size(), 1u);
    // A command further behind the newest than the window is late: still delivered in its turn.
    Take(order, BeginCall(1, {}, 3, 10));
    EXPECT_EQ(r.seen.size(), 2u);
    EXPECT_EQ(r.seen[1].ts, 10);
    EXPECT_EQ(order.GetStats().late, 1u);
}

// Bounded in bytes: the oldest go early, and everything is still delivered exactly once.
TEST(TimeOrder, BoundLetsTheOldestGoAndLosesNothing) {
    Recorder r;
    TimeOrder::Options o = Window(1'000'000'000);
    o.maxBytes = 4096;
    TimeOrder order(o, r.Sink());
    for (int i = 0; i < 1000; ++i) {
        Take(order, BeginCall(1, {}, 1 + i % 7, 1000 + i));
    }
    EXPECT_LE(order.BytesHeld(), 4096u);
    EXPECT_GT(order.GetStats().forced, 0u);
    order.ReleaseAll();
    ASSERT_EQ(r.seen.size(), 1000u);
    for (size_t i = 1; i < r.seen.size(); ++i) {
        EXPECT_LT(r.seen[i - 1].ts, r.seen[i].ts) << i;
    }
}

// In a session: the matcher sees a continuation after the call that ran before it on another
// thread, and the process's end after everything the process said.
TEST(TimeOrder, SessionAppliesInTimeOrderAndEndsLast) {
    CollectorSession::Options options;
    options.timeOrder = true;
    std::vector<std::string> lines;
    CollectorSession session(options, [&](const std::string& line) { lines.push_back(line); });
    auto feed = [&](const Bytes& b) { session.OnStreamData(1, b.data(), b.size()); };
    feed(Command(9));
    feed(BeginCall(5, {}, 2, 300));
    feed(EndCall(5, 2, 400));
    feed(BeginCall(6, {}, 1, 100));
    feed(EndCall(6, 1, 200));
    EXPECT_EQ(session.TotalCommands(), 1u) << "calls held within the window";
    // The final delivery report counts what came before it, and follows it.
    feed(Command(20, CollectorTest::Builder().U8(1).U64(4).U64(0).U64(0).U64(0).bytes, 4711, 0, 140));
    feed(Command(10, {}, 4711, 0, 150));
    EXPECT_TRUE(session.AllProcessesEnded());
    ASSERT_EQ(session.TotalCommands(), 7u);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_NE(lines[1].find("\"tid\":1"), std::string::npos) << lines[1];
    EXPECT_NE(lines[3].find("\"tid\":2"), std::string::npos) << lines[3];
    EXPECT_NE(lines[5].find("DeliveryStatistics"), std::string::npos) << lines[5];
    EXPECT_NE(lines[6].find("ProcessEnded"), std::string::npos) << lines[6];
    EXPECT_EQ(session.Matcher().GetStats().begins, 2u);
}

// Stamps are whatever the wire says: at the ends of their range nothing overflows, and all is
// still delivered in a thread's order.
TEST(TimeOrder, StampsAtTheEndsOfTheirRange) {
    Recorder r;
    TimeOrder order(Window(100), r.Sink());
    Take(order, BeginCall(1, {}, 1, INT64_MIN + 5));
    Take(order, BeginCall(1, {}, 2, INT64_MAX));
    Take(order, BeginCall(1, {}, 1, INT64_MIN));
    EXPECT_EQ(r.seen.size(), 2u);
    order.ReleaseAll();
    ASSERT_EQ(r.seen.size(), 3u);
    EXPECT_EQ(r.seen[2].ts, INT64_MAX);
}
