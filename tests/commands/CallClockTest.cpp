#include "commands/CallClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

TEST(CallClockTest, StampsFollowTheWallClockAndNeverRunBackwards) {
    CallClock::Reset();
    EXPECT_FALSE(CallClock::UsesCounter());
    const int64_t wall = CallClock::WallMicroseconds();
    EXPECT_LE(std::llabs(CallClock::NowMicroseconds() - wall), 2000);

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
        EXPECT_LE(std::llabs(CallClock::NowMicroseconds() - CallClock::WallMicroseconds()), 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        CallClock::Calibrate();
    }
    CallClock::Reset();
    EXPECT_FALSE(CallClock::UsesCounter());
}
