#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "compare/Baseline.h"
#include "requests/RequestJson.h"

using namespace QuorixCollect;

namespace {

constexpr size_t Unbounded = size_t{1} << 30;

std::string RequestLine(const std::string& method, const std::string& path, double ms, int sql) {
    Request r;
    r.id = 1;
    r.kind = "http";
    r.method = method;
    r.path = path;
    r.status = 200;
    r.startNs = 1000000000;
    r.endNs = r.startNs + static_cast<uint64_t>(ms * 1e6);
    for (int i = 0; i < sql; ++i) {
        SqlStatement s;
        s.system = "postgresql";
        s.text = "select 1";
        r.sql.push_back(s);
    }
    std::string out;
    AppendRequestJson(out, r);
    return out;
}

const EndpointFigures* Find(const std::vector<EndpointFigures>& all, const std::string& endpoint) {
    for (const auto& f : all) {
        if (f.endpoint == endpoint) return &f;
    }
    return nullptr;
}

}  // namespace

// The collector's own --requests lines (and the live view's array) give per-endpoint figures.
TEST(Baseline, ReadsRequestLinesAndArraysIntoEndpointFigures) {
    std::string lines;
    for (int i = 1; i <= 20; ++i) lines += RequestLine("GET", "/orders/" + std::to_string(i), i, 2) + "\n";
    lines += RequestLine("POST", "/cart", 7, 0) + "\n";
    Baseline b;
    std::string error;
    ASSERT_TRUE(b.Parse(lines, Unbounded, error)) << error;
    EXPECT_EQ(b.GetKind(), Baseline::Kind::Requests);
    const auto figures = b.Endpoints().Figures();
    const EndpointFigures* orders = Find(figures, "GET /orders/{id}");
    ASSERT_NE(orders, nullptr);
    EXPECT_EQ(orders->count, 20u);
    EXPECT_DOUBLE_EQ(orders->p50, 10);
    EXPECT_DOUBLE_EQ(orders->p95, 19);
    EXPECT_DOUBLE_EQ(orders->sqlPerRequest, 2);
    ASSERT_NE(Find(figures, "POST /cart"), nullptr);

    Baseline array;
    ASSERT_TRUE(array.Parse("[" + RequestLine("GET", "/a", 3, 1) + ",\n" + RequestLine("GET", "/a", 5, 1) + "]",
                            Unbounded, error))
        << error;
    ASSERT_EQ(array.Endpoints().Figures().size(), 1u);
    EXPECT_EQ(array.Endpoints().Figures()[0].count, 2u);
}

TEST(Baseline, ReadsFoldedStacks) {
    Baseline b;
    std::string error;
    ASSERT_TRUE(b.Parse("Main;Orders::Load 120\nMain 30\nMain;Orders::Load;Db::Query 800\n", Unbounded, error))
        << error;
    EXPECT_EQ(b.GetKind(), Baseline::Kind::Folded);
    ASSERT_EQ(b.Stacks().size(), 3u);
    EXPECT_EQ(b.Stacks()[2].first, "Main;Orders::Load;Db::Query");
    EXPECT_DOUBLE_EQ(b.Stacks()[2].second, 800);
}

// Every file that cannot serve says why in one line, and nothing of it is kept.
TEST(Baseline, RefusesEmptyTruncatedAndForeignFilesWithOneReason) {
    const std::string good = RequestLine("GET", "/a", 3, 1);
    struct Case {
        const char* what;
        std::string text;
        const char* says;
    } cases[] = {
        {"empty", "", "empty"},
        {"blank", "  \n\n", "empty"},
        {"requests cut in their last line", good + "\n" + good.substr(0, good.size() / 2), "cut off"},
        {"a broken line inside", good + "\n{\"id\":\n" + good + "\n", "line 2 is not JSON"},
        {"JSON of another kind", "{\"resourceSpans\":[]}\n", "not a request"},
        {"an array cut off", "[" + good + ",\n" + good.substr(0, 40), "cut off"},
        {"no request in it", "[]", "no requests"},
        {"folded cut in its last line", "Main;A 10\nMain;B", "cut off"},
        {"a broken folded line", "Main;A 10\nnot a stack\nMain 3\n", "line 2 is not a folded stack"},
        {"text of another format", "<html><body>hello</body></html>\n", "neither"},
        {"a speedscope file", "  {\"$schema\": \"https://www.speedscope.app/file-format-schema.json\"}",
         "not a request"},
    };
    for (const auto& c : cases) {
        Baseline b;
        std::string error;
        EXPECT_FALSE(b.Parse(c.text, Unbounded, error)) << c.what;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.what;
        EXPECT_EQ(b.GetKind(), Baseline::Kind::None) << c.what;
        EXPECT_EQ(b.Endpoints().Requests(), 0u) << c.what;
    }
}

TEST(Baseline, AMissingFileOrADirectoryIsRefused) {
    Baseline b;
    std::string error;
    EXPECT_FALSE(b.Read("/nonexistent/earlier.requests", Unbounded, error));
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
    EXPECT_FALSE(b.Read("/tmp", Unbounded, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

    char path[] = "/tmp/qx-baseline-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text = RequestLine("GET", "/a", 3, 1) + "\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    EXPECT_TRUE(b.Read(path, Unbounded, error)) << error;
    // Larger than what it may take of the memory bound.
    EXPECT_FALSE(b.Read(path, 16, error));
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    unlink(path);
}
