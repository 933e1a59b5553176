#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "live/LiveStore.h"

using namespace QuorixCollect;

namespace {

std::string Json(int id) { return "{\"id\":" + std::to_string(id) + ",\"pad\":\"" + std::string(90, 'x') + "\"}"; }

}  // namespace

// The live view keeps the newest requests within its bytes; the oldest go first and are counted,
// and a reader asking from a number it already has gets only what came after it.
TEST(LiveStore, KeepsTheNewestWithinItsBoundAndServesWhatCameAfter) {
    const size_t one = Json(1).size();
    LiveStore store(one * 3);
    for (int i = 1; i <= 5; ++i) store.Add(Json(i));
    EXPECT_EQ(store.Count(), 3u);
    EXPECT_EQ(store.LetGo(), 2u);
    EXPECT_LE(store.Bytes(), one * 3);

    const auto all = store.Since(0);
    EXPECT_EQ(all.last, 5u);
    EXPECT_EQ(all.letGo, 2u);
    ASSERT_EQ(all.requests.size(), 3u);
    EXPECT_EQ(*all.requests[0], Json(3));
    EXPECT_EQ(LiveStore::JsonArray(all), "[" + Json(3) + ",\n" + Json(4) + ",\n" + Json(5) + "]");

    const auto after4 = store.Since(4);
    ASSERT_EQ(after4.requests.size(), 1u);
    EXPECT_EQ(*after4.requests[0], Json(5));
    EXPECT_TRUE(store.Since(5).requests.empty());
    EXPECT_TRUE(store.Since(99).requests.empty());
    EXPECT_EQ(LiveStore::JsonArray(store.Since(5)), "[]");
    // A reader behind the oldest kept gets everything kept.
    EXPECT_EQ(store.Since(1).requests.size(), 3u);

    // A request larger than the whole bound is let go at once, and counted.
    store.Add(std::string(one * 4, ' '));
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_EQ(store.LetGo(), 6u);
    EXPECT_EQ(store.Since(0).last, 6u);
}

// A snapshot stays whole while the collector goes on adding and letting go.
TEST(LiveStore, SnapshotsStayWholeWhileRequestsComeAndGo) {
    LiveStore store(Json(1).size() * 50);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint64_t since = 0;
        while (!done) {
            const auto s = store.Since(since);
            for (const auto& r : s.requests) ASSERT_EQ(r->front(), '{');
            since = s.last;
        }
    });
    for (int i = 1; i <= 20000; ++i) store.Add(Json(i));
    done = true;
    reader.join();
    EXPECT_EQ(store.Since(0).last, 20000u);
    EXPECT_EQ(store.Count() + store.LetGo(), 20000u);
}

TEST(LiveStore, TheComparisonIsReplacedWhole) {
    LiveStore store(1024);
    EXPECT_EQ(store.Comparison(), "");
    store.Publish("{\"kind\":\"requests\"}");
    EXPECT_EQ(store.Comparison(), "{\"kind\":\"requests\"}");
}
