#include <gtest/gtest.h>

#include "compare/EndpointComparison.h"
#include "compare/FlameDiff.h"

using namespace QuorixCollect;

namespace {

EndpointFigures Figures(const std::string& endpoint, double p50, double p95, double sql, uint64_t count = 30) {
    EndpointFigures f;
    f.endpoint = endpoint;
    f.count = count;
    f.p50 = p50;
    f.p95 = p95;
    f.sqlPerRequest = sql;
    return f;
}

const EndpointChange& Of(const std::vector<EndpointChange>& all, const std::string& endpoint) {
    for (const auto& c : all) {
        if (c.endpoint == endpoint) return c;
    }
    static EndpointChange none;
    ADD_FAILURE() << "no " << endpoint;
    return none;
}

}  // namespace

// Slower at p95 by both the share and the milliseconds, or more statements per request, is a
// regression; noise on a fast endpoint, a faster endpoint and one of either run alone are not.
TEST(EndpointComparison, MarksRegressionsAndLeavesTheRestUnmarked) {
    const std::vector<EndpointFigures> before = {
        Figures("GET /orders/{id}", 4, 6, 1), Figures("GET /slow", 10, 12, 0),   Figures("GET /fast", 1, 2, 0),
        Figures("GET /chatty", 3, 5, 1),      Figures("GET /better", 40, 80, 3), Figures("GET /gone", 1, 1, 0),
        Figures("GET /steady", 20, 100, 0),
    };
    const std::vector<EndpointFigures> now = {
        Figures("GET /orders/{id}", 4.5, 7, 1),  // unchanged within noise
        Figures("GET /slow", 70, 75, 0),         // much slower
        Figures("GET /fast", 1, 6, 0),           // three times slower, but only by 4 ms
        Figures("GET /chatty", 3, 5, 2),         // one statement more per request
        Figures("GET /better", 10, 20, 1),       // faster, fewer statements
        Figures("GET /new", 5, 9, 4),            // not in the earlier run
        Figures("GET /steady", 20, 115, 0),      // 15 ms more, but only 15 %
    };
    const auto changes = CompareEndpoints(before, now, RegressionRules{});
    ASSERT_EQ(changes.size(), 8u);
    EXPECT_TRUE(Of(changes, "GET /slow").regression);
    ASSERT_EQ(Of(changes, "GET /slow").why.size(), 1u);
    EXPECT_NE(Of(changes, "GET /slow").why[0].find("p95"), std::string::npos);
    EXPECT_TRUE(Of(changes, "GET /chatty").regression);
    EXPECT_NE(Of(changes, "GET /chatty").why[0].find("SQL per request"), std::string::npos);
    for (const char* same : {"GET /orders/{id}", "GET /fast", "GET /better", "GET /new", "GET /gone", "GET /steady"}) {
        EXPECT_FALSE(Of(changes, same).regression) << same;
    }
    // Regressions first.
    EXPECT_TRUE(changes[0].regression);
    EXPECT_TRUE(changes[1].regression);
    EXPECT_FALSE(Of(changes, "GET /new").before);
    EXPECT_FALSE(Of(changes, "GET /gone").now);

    const std::string json = EndpointComparisonJson(changes, RegressionRules{}, "earlier.requests");
    EXPECT_NE(json.find("\"regressions\":2"), std::string::npos) << json;
    EXPECT_NE(json.find("\"endpoint\":\"GET /new\",\"before\":null"), std::string::npos) << json;
    const std::string lines = EndpointComparisonLines(changes, "earlier.requests");
    EXPECT_NE(lines.find("6 endpoints in both runs, 2 regressions"), std::string::npos) << lines;
    EXPECT_NE(lines.find("regression GET /slow: p95 12.0 ms -> 75.0 ms"), std::string::npos) << lines;
}

// Two runs' stacks in one tree: a frame is as wide as the larger of its totals, never narrower
// than its callees, and its own change plus its callees' is its total change.
TEST(FlameDiff, MergesBothRunsWithTheChangePerFrame) {
    const FlameDiff::Stacks before = {{"Main;Load", 100}, {"Main;Load;Query", 50}, {"Main;Old", 40}};
    const FlameDiff::Stacks now = FlameDiff::FromFolded("Main;Load 100\nMain;Load;Query 250\nMain;New 10\n");
    ASSERT_EQ(now.size(), 3u);
    const std::string json = FlameDiff::Json(before, now, "earlier.folded");
    EXPECT_NE(json.find("\"beforeMicros\":190,\"nowMicros\":360"), std::string::npos) << json;
    // Query grew by 200 by itself; Load did not change itself.
    EXPECT_NE(json.find("{\"n\":\"Query\",\"v\":250,\"d\":200,\"now\":250,\"before\":50"), std::string::npos) << json;
    EXPECT_NE(json.find("{\"n\":\"Load\",\"v\":350,\"d\":0,"), std::string::npos) << json;
    // What is gone stays drawn, shrunk to nothing.
    EXPECT_NE(json.find("{\"n\":\"Old\",\"v\":40,\"d\":-40,\"now\":0,\"before\":40"), std::string::npos) << json;
    EXPECT_NE(json.find("{\"n\":\"Main\",\"v\":400,"), std::string::npos) << json;
}
