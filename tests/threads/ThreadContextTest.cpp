#include <gtest/gtest.h>

#include "threads/ThreadContext.h"

TEST(ThreadContextTest, BlacklistStackMatchesOnlyTheTop) {
    ThreadContext context(1, DOTNET_CORE);
    EXPECT_FALSE(context.EndTrackingBlacklistFunction(5));

    context.BeginTrackingBlacklistFunction(10);
    context.BeginTrackingBlacklistFunction(20);
    EXPECT_FALSE(context.EndTrackingBlacklistFunction(10));  // not on top
    EXPECT_TRUE(context.EndTrackingBlacklistFunction(20));
    EXPECT_TRUE(context.EndTrackingBlacklistFunction(10));
    EXPECT_FALSE(context.EndTrackingBlacklistFunction(10));
}

TEST(ThreadContextTest, EntryPointForgetsAnnouncedFunctionsAndPendingBlacklistFrames) {
    ThreadContext context(1, DOTNET_CORE);
    context.TrackFunction(7);
    context.TrackFunction(7);
    EXPECT_TRUE(context.IsTracked(7));
    EXPECT_FALSE(context.IsTracked(8));
    for (uint64_t i = 0; i < 1500; ++i) context.BeginTrackingBlacklistFunction(i);  // several storage blocks
    EXPECT_EQ(context.BlacklistDepth(), 1500u);
    EXPECT_TRUE(context.EndTrackingBlacklistFunction(1499));

    context.TrackEntryPoint();
    EXPECT_FALSE(context.IsTracked(7));
    EXPECT_EQ(context.BlacklistDepth(), 0u);
    EXPECT_FALSE(context.EndTrackingBlacklistFunction(1498));
}

TEST(ThreadContextTest, AnnouncedFunctionsAreKnownWhateverTheirIdAndForgottenTogether) {
    ThreadContext context(1, DOTNET_CORE);
    const uint64_t dense = ThreadContext::DenseIds;
    const uint64_t ids[] = {0, 63, 64, 101, 4097, dense - 1, dense, dense + 5, 0xFFFFFFFFFFFFull};
    for (uint64_t id : ids) {
        EXPECT_FALSE(context.IsTracked(id)) << id;
        context.TrackFunction(id);
    }
    for (uint64_t id : ids) EXPECT_TRUE(context.IsTracked(id)) << id;
    for (uint64_t id : {uint64_t{1}, uint64_t{65}, dense - 2, dense + 1}) EXPECT_FALSE(context.IsTracked(id)) << id;
    context.TrackEntryPoint();
    for (uint64_t id : ids) EXPECT_FALSE(context.IsTracked(id)) << id;
}

TEST(ThreadContextTest, OsThreadIdIsDefinedBeforeMappingAndLastMappingWins) {
    ThreadContext context(42, DOTNET_CORE);
    EXPECT_EQ(context.GetThreadId(), 42u);
    EXPECT_EQ(context.GetOSThreadId(), ThreadContext::UnknownOSThreadId);
    context.SetOSThreadId(100);
    context.SetOSThreadId(200);
    EXPECT_EQ(context.GetOSThreadId(), 200u);
    EXPECT_FALSE(context.GetDisabled());
}
