#include "commands/CallClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

TEST(CallClockTest, StampsFollowTheWallClockAndNeverRunBackwards) {
    CallClock::Reset();
    EXPECT_FALSE(CallClock::UsesCounter());
    // The wall clock read on both sides, so that a pause of this thread cannot fail the check.
    auto expectNearWall = [] {
        const int64_t before = CallClock::WallMicroseconds();
        const int64_t stamp = CallClock::NowMicroseconds();
        const int64_t after = CallClock::WallMicroseconds();
        EXPECT_GE(stamp, before - 1000);
        EXPECT_LE(stamp, after + 1000);
    };
    expectNearWall();

    for (int i = 0; i < 4; ++i) {
        CallClock::Calibrate();
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
    }
    // Where the counter cannot be trusted the wall clock serves; either way the stamps agree with it.
    for (int round = 0; round < 5; ++round) {
        int64_t previous = CallClock::NowMicroseconds();
        for (int i = 0; i < 200000; ++i) {
            const int64_t now = CallClock::NowMicroseconds();
            ASSERT_GE(now, previous);
            previous = now;
        }
        expectNearWall();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        CallClock::Calibrate();
    }
    CallClock::Reset();
    EXPECT_FALSE(CallClock::UsesCounter());
}
