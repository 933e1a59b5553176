#include <gtest/gtest.h>

#include "viewers/ViewerRecorder.h"
#include "wire/WireFormat.h"

using namespace QuorixCollect;

namespace {

// Commands as the session hands them over, built by hand.
struct Stream {
    ViewerRecorder& recorder;

    void Send(CommandType type, uint32_t pid, uint32_t tid, int64_t ts, uint32_t functionId = 0) {
        DecodedCommand c;
        c.type = static_cast<uint8_t>(type);
        c.pid = pid;
        c.tid = tid;
        c.ts = ts;
        c.functionId = functionId;
        recorder.OnCommand(c);
    }
    void Name(uint32_t pid, uint32_t functionId, const std::string& cls, const std::string& method) {
        DecodedCommand c;
        c.type = static_cast<uint8_t>(CommandType::MethodInfo);
        c.pid = pid;
        c.functionId = functionId;
        c.className = cls;
        c.methodName = method;
        recorder.OnCommand(c);
    }
    void Begin(uint32_t pid, uint32_t tid, int64_t ts, uint32_t f) { Send(CommandType::BeginCall, pid, tid, ts, f); }
    void End(uint32_t pid, uint32_t tid, int64_t ts, uint32_t f) { Send(CommandType::EndCall, pid, tid, ts, f); }
    void Unwind(uint32_t pid, uint32_t tid, int64_t ts, uint32_t f) { Send(CommandType::UnwindCall, pid, tid, ts, f); }
};

const ViewerRecorder::Call* FindCall(const ViewerRecorder& r, const std::string& name) {
    for (const auto& c : r.Calls()) {
        if (r.Frames()[c.frame] == name) {
            return &c;
        }
    }
    return nullptr;
}

}  // namespace

TEST(ViewerRecorder, UnwindsEndAtTheUnwindAndOpenFramesCloseAtTheProcessEnd) {
    ViewerRecorder r;
    Stream s{r};
    s.Send(CommandType::ProcessStarted, 1, 0, 0);
    s.Name(1, 10, "Shop.Orders", "Run");
    s.Name(1, 11, "Shop.Orders", "Check");
    s.Name(1, 12, "Shop.Orders", "Wait");
    s.Begin(1, 7, 100, 10);
    s.Begin(1, 7, 110, 11);
    DecodedCommand raised;
    raised.type = static_cast<uint8_t>(CommandType::ExceptionRaised);
    raised.pid = 1;
    raised.tid = 7;
    raised.ts = 140;
    raised.exceptionId = 0xabc;
    r.OnCommand(raised);
    s.Unwind(1, 7, 150, 11);
    s.End(1, 7, 200, 10);
    s.Begin(1, 7, 210, 12);  // never ends
    s.Send(CommandType::ProcessEnded, 1, 0, 300);
    r.Finish();

    const auto* check = FindCall(r, "Shop.Orders::Check");
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->end, 150);
    EXPECT_EQ(check->flags, ViewerRecorder::Unwound);
    const auto* wait = FindCall(r, "Shop.Orders::Wait");
    ASSERT_NE(wait, nullptr);
    EXPECT_EQ(wait->end, 300);
    EXPECT_EQ(wait->flags, ViewerRecorder::ClosedAtEnd);
    EXPECT_EQ(r.GetStats().closedAtEnd, 1u);
    ASSERT_EQ(r.Exceptions().size(), 1u);
    EXPECT_EQ(r.Frames()[r.Exceptions()[0].frame], "Shop.Orders::Check");
    EXPECT_EQ(r.Exceptions()[0].unwound, 1u);

    // Flame: Run 100 us with Check 40 us below it, Wait 90 us on its own.
    const auto& flame = r.Flame();
    double run = 0, check_ = 0, wait_ = 0;
    for (size_t i = 1; i < flame.size(); ++i) {
        const std::string& name = r.Frames()[flame[i].frame];
        (name == "Shop.Orders::Run" ? run : name == "Shop.Orders::Check" ? check_ : wait_) += flame[i].totalMicros;
    }
    EXPECT_DOUBLE_EQ(run, 100);
    EXPECT_DOUBLE_EQ(check_, 40);
    EXPECT_DOUBLE_EQ(wait_, 90);
}

TEST(ViewerRecorder, APidThatComesBackIsANewRunAndThreadsNeverMix) {
    ViewerRecorder r;
    Stream s{r};
    s.Send(CommandType::ProcessStarted, 5, 0, 0);
    s.Name(5, 1, "A", "First");
    s.Begin(5, 9, 10, 1);
    s.Send(CommandType::ProcessEnded, 5, 0, 50);
    // Same pid, same thread id, same function id: another program.
    s.Send(CommandType::ProcessStarted, 5, 0, 1000);
    s.Name(5, 1, "B", "Second");
    s.Begin(5, 9, 1010, 1);
    s.End(5, 9, 1020, 1);
    // A second process at the same time with the same thread id.
    s.Send(CommandType::ProcessStarted, 6, 0, 1000);
    s.Begin(6, 9, 1005, 1);
    s.End(6, 9, 1030, 1);
    r.Finish();

    ASSERT_EQ(r.Runs().size(), 3u);
    EXPECT_EQ(r.Runs()[1].pid, 5u);
    EXPECT_EQ(r.Runs()[1].ordinal, 1u);
    ASSERT_EQ(r.Threads().size(), 3u);
    const auto* first = FindCall(r, "A::First");
    const auto* second = FindCall(r, "B::Second");
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->thread, second->thread);
    EXPECT_EQ(first->flags, ViewerRecorder::ClosedAtEnd);
    // The other process never named function 1: it keeps its id rather than borrowing a name.
    EXPECT_NE(FindCall(r, "function#1"), nullptr);
}

TEST(ViewerRecorder, KeepsTheLongestCallsAndCountsTheRest) {
    ViewerRecorder::Limits limits;
    limits.keptCalls = 3;
    ViewerRecorder r(limits);
    Stream s{r};
    s.Name(1, 1, "N", "Outer");
    s.Name(1, 2, "N", "Inner");
    s.Begin(1, 1, 0, 1);
    int64_t t = 1;
    for (int i = 1; i <= 10; ++i) {
        s.Begin(1, 1, t, 2);
        t += i;
        s.End(1, 1, t, 2);
    }
    s.End(1, 1, t + 1, 1);
    r.Finish();

    ASSERT_EQ(r.Calls().size(), 3u);
    EXPECT_EQ(r.GetStats().calls, 11u);
    EXPECT_EQ(r.GetStats().callsNotKept, 8u);
    EXPECT_DOUBLE_EQ(r.GetStats().longestLeftOutMicros, 8);
    // Sorted by sequence: the outer call first, then the two longest inner ones.
    EXPECT_EQ(r.Frames()[r.Calls()[0].frame], "N::Outer");
    EXPECT_DOUBLE_EQ(r.Calls()[1].micros, 9);
    EXPECT_DOUBLE_EQ(r.Calls()[2].micros, 10);
    EXPECT_GE(r.Calls()[0].lastSeq, r.Calls()[2].seq);
    // The flame graph still counts every call.
    EXPECT_EQ(r.Flame().size(), 3u);
}

TEST(ViewerRecorder, BoundsHoldAndShrinkInProportion) {
    ViewerRecorder::Limits limits;
    limits.flameNodes = 3;  // root and two stacks
    limits.capturedRows = 1;
    ViewerRecorder r(limits);
    Stream s{r};
    for (uint32_t f = 1; f <= 4; ++f) {
        s.Begin(1, 1, f * 10, f);
    }
    for (uint32_t f = 4; f >= 1; --f) {
        s.End(1, 1, 100 + f, f);
    }
    r.Finish();
    EXPECT_EQ(r.Flame().size(), 3u);
    EXPECT_EQ(r.GetStats().flameMerged, 2u);
    EXPECT_EQ(r.GetStats().orphanEnds, 0u);

    const ViewerRecorder::Limits big;
    const size_t worst = big.WorstCaseBytes();
    const ViewerRecorder::Limits small = big.ScaledTo(worst / 4);
    EXPECT_LE(small.WorstCaseBytes(), worst / 4 + 4096);
    EXPECT_LT(small.keptCalls, big.keptCalls);
    EXPECT_EQ(big.ScaledTo(worst).keptCalls, big.keptCalls);
}

TEST(ViewerRecorder, CallsOfAProcessStillRunningCloseAtItsLastStampWhenTheCollectorStops) {
    ViewerRecorder r;
    Stream s{r};
    s.Name(3, 1, "Svc", "Serve");
    s.Name(3, 2, "Svc", "Handle");
    s.Begin(3, 1, 100, 1);
    s.Begin(3, 1, 120, 2);
    s.Begin(3, 2, 130, 2);  // another thread, ends normally
    s.End(3, 2, 170, 2);
    r.Finish();
    s.Begin(3, 1, 500, 2);  // after the stop: ignored
    ASSERT_EQ(r.Calls().size(), 3u);
    for (const auto& c : r.Calls()) {
        const bool open = r.Threads()[c.thread].tid == 1;
        EXPECT_EQ(c.flags, open ? ViewerRecorder::ClosedAtEnd : 0) << r.Frames()[c.frame];
        if (open) {
            EXPECT_EQ(c.end, 170);
        }
    }
    EXPECT_EQ(r.GetStats().closedAtEnd, 2u);
}

TEST(ViewerRecorder, AMillionCallsStayWithinTheBound) {
    ViewerRecorder::Limits limits;
    limits.keptCalls = 1000;
    limits.flameNodes = 5000;
    limits.frames = 10000;
    ViewerRecorder r(limits);
    Stream s{r};
    int64_t t = 0;
    // Distinct functions nested three deep, so that stacks and names run past their limits.
    for (uint32_t i = 0; i < 333334; ++i) {
        const uint32_t f = 1 + i % 4000;
        s.Begin(1, 1 + i % 8, t, f);
        s.Begin(1, 1 + i % 8, t + 1, f + 4000);
        s.Begin(1, 1 + i % 8, t + 2, f + 8000);
        s.End(1, 1 + i % 8, t + 3 + i % 7, f + 8000);
        s.End(1, 1 + i % 8, t + 4 + i % 7, f + 4000);
        s.End(1, 1 + i % 8, t + 5 + i % 7, f);
        t += 10;
    }
    r.Finish();
    EXPECT_EQ(r.GetStats().calls, 1000002u);
    EXPECT_EQ(r.Calls().size(), 1000u);
    EXPECT_LE(r.Flame().size(), 5000u);
    EXPECT_EQ(r.Frames().size(), 10000u);
    EXPECT_GT(r.GetStats().framesNotKept, 0u);
    EXPECT_GT(r.GetStats().flameMerged, 0u);
    EXPECT_LE(r.BytesHeld(), limits.WorstCaseBytes());
    // The kept calls are the longest: every one at least as long as anything left out.
    for (const auto& c : r.Calls()) {
        EXPECT_GE(c.micros, r.GetStats().longestLeftOutMicros);
    }
}
