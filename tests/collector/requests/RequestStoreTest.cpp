#include <gtest/gtest.h>

#include "requests/RequestStore.h"

using namespace QuorixCollect;

namespace {

Request Made(uint64_t id, uint64_t callsLeftOut = 0, uint64_t itemsLeftOut = 0) {
    Request r;
    r.id = id;
    r.kind = "http";
    r.method = "GET";
    r.path = "/orders/" + std::to_string(id);
    r.status = 200;
    r.startNs = 1000000000;
    r.endNs = r.startNs + 2000000;
    r.callsLeftOut = callsLeftOut;
    r.itemsLeftOut = itemsLeftOut;
    return r;
}

}  // namespace

// The report keeps the newest requests within its bound; what its bounds and each request's own
// left out is counted for the drops box.
TEST(RequestStore, KeepsTheNewestWithinItsBoundAndCountsWhatWasLeftOut) {
    RequestStore probe(SIZE_MAX);
    probe.RequestEnded(Made(1));
    const size_t one = probe.Bytes();
    ASSERT_GT(one, 0u);

    RequestStore store(one * 2 + one / 2);
    store.RequestEnded(Made(1, 5));
    store.RequestEnded(Made(2, 0, 3));
    store.RequestEnded(Made(3, 7, 1));
    EXPECT_EQ(store.Count(), 2u);
    EXPECT_EQ(store.LetGo(), 1u);
    EXPECT_LE(store.Bytes(), one * 2 + one / 2);
    // A request let go still counts for what its own bounds left out.
    EXPECT_EQ(store.CallsLeftOut(), 12u);
    EXPECT_EQ(store.ItemsLeftOut(), 4u);
    const std::string json = store.JsonArray();
    EXPECT_EQ(json.front(), '[');
    EXPECT_EQ(json.back(), ']');
    EXPECT_EQ(json.find("\"id\":1,"), std::string::npos);
    EXPECT_LT(json.find("\"id\":2,"), json.find("\"id\":3,"));
    EXPECT_NE(json.find("\"},\n{\"id\":3,"), std::string::npos) << json;
}

TEST(RequestStore, NoRequestIsAnEmptyArray) {
    RequestStore store(1024);
    EXPECT_EQ(store.JsonArray(), "[]");
    EXPECT_EQ(store.LetGo(), 0u);
}
