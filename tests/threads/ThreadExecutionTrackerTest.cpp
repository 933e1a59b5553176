#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "environment/Logger.h"
#include "threads/ThreadExecutionTracker.h"

namespace {

// Time stands still unless the test moves it.
struct ManualClock {
    int64_t now = 5'000'000'000;
    TrackerClock Source() {
        return [this] { return now; };
    }
};

// Routes the agent's log into a temporary file at Debug level.
class DebugLog {
public:
    DebugLog() {
        char pattern[] = "/tmp/qx-tracker-XXXXXX";
        const char* made = mkdtemp(pattern);
        folder = made != nullptr ? made : "/tmp";
        logger = std::make_unique<Logger>(LogLevel::Debug, folder, false, 1);
        previous = g_Logger;
        g_Logger = logger.get();
    }
    ~DebugLog() {
        g_Logger = previous;
        logger.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    size_t Count(const std::string& needle) {
        logger->Flush(std::chrono::seconds(5));
        std::ifstream file(logger->GetFilePath());
        std::stringstream content;
        content << file.rdbuf();
        const std::string text = content.str();
        size_t count = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
        return count;
    }

private:
    std::string folder;
    std::unique_ptr<Logger> logger;
    Logger* previous = nullptr;
};

TEST(ThreadExecutionTrackerTest, TenCallsPerWindowAreAllowedAndEachRefusalIsLogged) {
    DebugLog log;
    ManualClock clock;
    ThreadExecutionTracker tracker(7, clock.Source());
    for (int call = 1; call <= 10; ++call) EXPECT_TRUE(tracker.TrackFunction(101)) << "call " << call;
    clock.now += 999'999;  // still the same window
    EXPECT_FALSE(tracker.TrackFunction(101));
    EXPECT_FALSE(tracker.TrackFunction(101));
    EXPECT_EQ(log.Count("____TrackFunction____: Hit rate limit for function 101 (11 calls/sec)"), 1u);
    EXPECT_EQ(log.Count("____TrackFunction____: Hit rate limit for function 101 (12 calls/sec)"), 1u);
}

TEST(ThreadExecutionTrackerTest, AWindowEndsOnlyWithACallMoreThanItsLengthAfterItsStart) {
    ManualClock clock;
    ThreadExecutionTracker tracker(7, clock.Source());
    for (int call = 0; call < 11; ++call) tracker.TrackFunction(101);
    clock.now += ThreadExecutionTracker::DefaultWindowLength;  // exactly the length: not yet over
    EXPECT_FALSE(tracker.TrackFunction(101));

    clock.now += 1;
    EXPECT_TRUE(tracker.TrackFunction(101));  // opens a new window counting from 1
    for (int call = 2; call <= 10; ++call) EXPECT_TRUE(tracker.TrackFunction(101)) << "call " << call;
    EXPECT_FALSE(tracker.TrackFunction(101));
}

TEST(ThreadExecutionTrackerTest, AClockSteppedBackOpensANewWindow) {
    ManualClock clock;
    ThreadExecutionTracker tracker(7, clock.Source());
    for (int call = 0; call < 11; ++call) tracker.TrackFunction(101);
    clock.now -= 3'600'000'000;
    EXPECT_TRUE(tracker.TrackFunction(101));
}

TEST(ThreadExecutionTrackerTest, DisabledIsFinalAndStopsCounting) {
    ManualClock clock;
    ThreadExecutionTracker tracker(7, clock.Source());
    EXPECT_FALSE(tracker.IsDisabled(55));
    EXPECT_EQ(tracker.EntryCount(), 1u) << "asking creates the entry";

    tracker.DisableFunction(55);
    EXPECT_TRUE(tracker.IsDisabled(55));
    clock.now += 10 * ThreadExecutionTracker::DefaultWindowLength;
    EXPECT_FALSE(tracker.TrackFunction(55));
    EXPECT_TRUE(tracker.IsDisabled(55));

    tracker.DisableFunction(56);  // an unseen id can be disabled too
    EXPECT_TRUE(tracker.IsDisabled(56));
    EXPECT_EQ(tracker.EntryCount(), 2u);
}

TEST(ThreadExecutionTrackerTest, FunctionsAreCountedIndependently) {
    ManualClock clock;
    ThreadExecutionTracker tracker(7, clock.Source());
    for (int call = 0; call < 10; ++call) EXPECT_TRUE(tracker.TrackFunction(1));
    EXPECT_FALSE(tracker.TrackFunction(1));
    for (int call = 0; call < 10; ++call) EXPECT_TRUE(tracker.TrackFunction(2));
    tracker.DisableFunction(3);
    EXPECT_FALSE(tracker.TrackFunction(3));
    EXPECT_FALSE(tracker.IsDisabled(1));
    EXPECT_FALSE(tracker.IsDisabled(2));
    EXPECT_EQ(tracker.GetThreadId(), 7u);
}

TEST(ThreadExecutionTrackerTest, WallClockIsInMicroseconds) {
    const auto before =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const int64_t now = ThreadExecutionTracker::CurrentTimeMicros();
    EXPECT_GE(now, before - 1'000'000);
    EXPECT_LE(now, before + 60'000'000);

    ThreadExecutionTracker tracker(9);  // the real clock: a fresh function is allowed at once
    EXPECT_TRUE(tracker.TrackFunction(1));
}

}  // namespace
