#include "uplink/FailureLog.h"

#include <gtest/gtest.h>

#include "UplinkTestSupport.h"

namespace {

int64_t fakeNow = 0;
int64_t FakeClock() { return fakeNow; }

}  // namespace

TEST(FailureLogTest, AFailureThatKeepsComingIsOneLinePerIntervalWithItsCount) {
    LogCapture log;
    fakeNow = 1000;
    FailureLog failures(&FakeClock);
    EXPECT_TRUE(failures.Report("Unable to OPEN pipe: %s - %s", "p", "No such device or address"));
    for (int i = 0; i < 1000; ++i) {
        fakeNow += 1000000;  // a pass every millisecond
        EXPECT_FALSE(failures.Report("Unable to OPEN pipe: %s - %s", "p", "No such device or address"));
    }
    EXPECT_TRUE(failures.IsFailing());
    fakeNow = 1000 + FailureLog::RepeatInterval;
    EXPECT_TRUE(failures.Report("Unable to OPEN pipe: %s - %s", "p", "No such device or address"));
    EXPECT_EQ(log.Count("[   ERROR] Unable to OPEN pipe: p - No such device or address\n"), 1u);
    EXPECT_EQ(log.Count("[   ERROR] Unable to OPEN pipe: p - No such device or address (1000 more times since "
                        "the last report)\n"),
              1u);
    EXPECT_EQ(log.Count("ERROR"), 2u);
}

TEST(FailureLogTest, ADifferentFailureOrOneAfterASuccessIsLoggedAtOnce) {
    LogCapture log;
    fakeNow = 5;
    FailureLog failures(&FakeClock);
    EXPECT_TRUE(failures.Report("connect: %d", 111));
    EXPECT_FALSE(failures.Report("connect: %d", 111));
    EXPECT_TRUE(failures.Report("write: %d", 32));
    failures.Succeeded();
    EXPECT_FALSE(failures.IsFailing());
    EXPECT_TRUE(failures.Report("write: %d", 32));
    EXPECT_EQ(log.Count("[   ERROR] connect: 111\n"), 1u);
    EXPECT_EQ(log.Count("[   ERROR] write: 32\n"), 2u);
    EXPECT_EQ(log.Count("more times"), 0u);
}
