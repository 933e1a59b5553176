#include <gtest/gtest.h>

#include "calltree/CallTree.h"
#include "session/CollectorSession.h"
#include "WireBytes.h"

using namespace QuorixCollect;
using namespace CollectorTest;

namespace {

std::string Names(uint32_t, uint32_t id) { return "F" + std::to_string(id); }

std::string Render(const CallTreeBuilder& b, size_t maxLines = 0, size_t maxDepth = 40) {
    CallTreeBuilder::RenderOptions o;
    o.maxLines = maxLines;
    o.maxDepth = maxDepth;
    o.functionName = Names;
    return b.Render(o);
}

}  // namespace

TEST(CallTree, NestingDurationsAndValues) {
    CallTreeBuilder b;
    b.Begin(1, 7, 100, 1, "");
    b.Begin(1, 7, 110, 2, "count=5");
    b.End(1, 7, 150, 2, false, "true");
    b.Begin(1, 7, 160, 3, "");
    b.End(1, 7, 170, 3, true, "");
    b.End(1, 7, 300, 1, false, "");
    const ThreadTree* t = b.FindThread(1, 7);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(b.Children(t->root).size(), 1u);
    const auto calls = b.Children(b.Children(t->root)[0]);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(b.Node(calls[1]).tailCalls, 1u);
    EXPECT_TRUE(t->stack.empty());
    EXPECT_EQ(t->maxDepth, 2u);
    EXPECT_EQ(Render(b),
              "  thread 7 (pid 1): 3 calls, max depth 2\n"
              "    F1()  200 us\n"
              "      F2(count=5) -> true  40 us\n"
              "      F3()  10 us  [tail call]\n");
}

TEST(CallTree, UnwindsExceptionsAndMissingEnds) {
    CallTreeBuilder b;
    b.Begin(1, 7, 0, 1, "");
    b.Begin(1, 7, 10, 2, "");
    b.Begin(1, 7, 20, 3, "");
    b.Exception(1, 7, 25, 0xABC);
    b.Unwind(1, 7, 30, 3);
    b.Unwind(1, 7, 31, 2);
    b.Begin(1, 7, 40, 4, "");
    b.Begin(1, 7, 41, 5, "");
    // F1 ends while F4 and F5 are open: both are closed and marked.
    b.End(1, 7, 50, 1, false, "");
    // An end nobody began.
    b.End(1, 7, 60, 9, false, "");
    b.Begin(1, 7, 70, 6, "");
    EXPECT_EQ(b.GetStats().orphanEnds, 1u);
    EXPECT_EQ(b.GetStats().missingEnds, 2u);
    EXPECT_EQ(Render(b),
              "  thread 7 (pid 1): 6 calls, max depth 3, 1 still open\n"
              "    F1()  50 us\n"
              "      F2()  21 us  [unwound]\n"
              "        F3()  10 us  [unwound]\n"
              "          ! exception 0xabc\n"
              "      F4()  10 us  [no end seen]\n"
              "        F5()  9 us  [no end seen]\n"
              "    F6()  [open]\n");
}

TEST(CallTree, ThreadsAreSeparate) {
    CallTreeBuilder b;
    b.Begin(1, 7, 0, 1, "");
    b.Begin(1, 8, 0, 2, "");
    b.End(1, 7, 5, 1, false, "");
    b.Begin(2, 7, 0, 1, "");
    EXPECT_EQ(b.ThreadCount(), 3u);
    EXPECT_TRUE(b.FindThread(1, 7)->stack.empty());
    EXPECT_EQ(b.FindThread(1, 8)->stack.size(), 1u);
    EXPECT_EQ(b.GetStats().orphanEnds, 0u);
}

TEST(CallTree, LoopsCollapseAndOutputIsBounded) {
    CallTreeBuilder b;
    b.Begin(1, 7, 0, 1, "");
    for (int i = 0; i < 1000; ++i) {
        b.Begin(1, 7, 10 * i, 2, "");
        b.End(1, 7, 10 * i + 3, 2, false, "");
    }
    b.End(1, 7, 20000, 1, false, "");
    EXPECT_EQ(Render(b),
              "  thread 7 (pid 1): 1001 calls, max depth 2\n"
              "    F1()  20000 us\n"
              "      F2  x1000  total 3000 us\n");

    // A deep recursion is cut by depth, and the line limit is reported.
    CallTreeBuilder deep;
    for (int i = 0; i < 100; ++i) {
        deep.Begin(1, 7, i, 100 + i, "");
    }
    const std::string text = Render(deep, 0, 5);
    EXPECT_NE(text.find("... 95 nested entries not shown"), std::string::npos) << text;
    const std::string cut = Render(deep, 3, 40);
    EXPECT_NE(cut.find("call tree cut after 3 lines"), std::string::npos) << cut;
}

TEST(CallTree, MemoryLimitsKeepNestingRight) {
    CallTreeBuilder::Limits limits;
    limits.maxNodes = 3;
    limits.maxStackDepth = 10;
    CallTreeBuilder b(limits);
    b.Begin(1, 7, 0, 1, "");
    b.Begin(1, 7, 1, 2, "");
    b.Begin(1, 7, 2, 3, "");
    b.Begin(1, 7, 3, 4, "");  // not stored
    b.Begin(1, 7, 4, 5, "");  // below a dropped frame
    b.End(1, 7, 5, 5, false, "");
    b.End(1, 7, 6, 4, false, "");
    b.End(1, 7, 7, 3, false, "");
    EXPECT_EQ(b.GetStats().droppedNodes, 2u);
    EXPECT_EQ(b.GetStats().orphanEnds, 0u);
    EXPECT_EQ(b.GetStats().missingEnds, 0u);
    // F3, the deepest entry kept, still saw its own end.
    uint32_t f3 = b.FindThread(1, 7)->root;
    for (int level = 0; level < 3; ++level) {
        ASSERT_EQ(b.Children(f3).size(), 1u);
        f3 = b.Children(f3)[0];
    }
    EXPECT_EQ(b.Node(f3).id, 3u);
    EXPECT_EQ(b.Node(f3).returned, 1u);
    for (int i = 0; i < 20; ++i) {
        b.Begin(1, 7, 10, 50, "");
    }
    EXPECT_EQ(b.FindThread(1, 7)->stack.size(), 10u);
}

TEST(CallTree, SessionBuildsTreesWithNamesAndValues) {
    CollectorSession s(CollectorSession::Options{}, nullptr);
    const Bytes stream = Concat({
        Command(11, Builder().U64(1000000).bytes),
        MethodInfo(101, "Shop.Cart", "Add"),
        MethodInfo(102, "Shop.Db", "Save"),
        BeginCall(101, {Record(6, "count", {2, 0, 0, 0}), Record(12, "sku", Builder().U16(4).Raw(Utf16(u"A1")).bytes)},
                  7, 1000),
        BeginCall(102, {}, 7, 1100),
        Exception(0x55, 7, 1150),
        Unwind(102, 7, 1200),
        EndCall(101, 7, 1500, false, Record(2, "", {1})),
    });
    s.OnStreamData(1, stream.data(), stream.size());
    const std::string summary = s.RenderSummary({});
    EXPECT_NE(summary.find("    Shop.Cart::Add(count=2, sku=\"A1\") -> true  500 us\n"
                           "      Shop.Db::Save()  100 us  [unwound]\n"
                           "        ! exception 0x55\n"),
              std::string::npos)
        << summary;

    CollectorSession::SummaryOptions noTree;
    noTree.tree = false;
    EXPECT_EQ(s.RenderSummary(noTree).find("Shop.Cart::Add"), std::string::npos);
}

TEST(CallTree, RepeatedRequestsAggregateIntoOneEntryPerPlace) {
    CallTreeBuilder b;
    // A million calls of the same shape: a request with two steps, one of them a loop.
    int64_t ts = 0;
    for (int request = 0; request < 100000; ++request) {
        b.Begin(1, 7, ts, 1, "");
        b.Begin(1, 7, ts + 1, 2, "");
        for (int i = 0; i < 7; ++i) {
            b.Begin(1, 7, ts + 2, 3, "");
            b.End(1, 7, ts + 4, 3, false, "");
        }
        b.End(1, 7, ts + 5, 2, false, "");
        b.Begin(1, 7, ts + 6, 4, "id=1");
        b.End(1, 7, ts + 9, 4, false, request % 2 == 0 ? "true" : "false");
        b.End(1, 7, ts + 10, 1, false, "");
        ts += 10;
    }
    EXPECT_EQ(b.EntryCount(), 4u);
    EXPECT_EQ(b.FindThread(1, 7)->calls, 1000000u);
    EXPECT_EQ(Render(b),
              "  thread 7 (pid 1): 1000000 calls, max depth 3\n"
              "    F1  x100000  total 1000000 us\n"
              "      F2  x100000  total 400000 us\n"
              "        F3  x700000  total 1400000 us\n"
              "      F4(id=1) -> <various>  x100000  total 300000 us\n");

    // The same function from another place is another entry; an exception raised twice at
    // the same place is one.
    b.Begin(1, 7, 0, 3, "");
    b.Exception(1, 7, 1, 0xAB);
    b.Exception(1, 7, 2, 0xAB);
    b.Unwind(1, 7, 3, 3);
    EXPECT_EQ(b.EntryCount(), 6u);
    const std::string text = Render(b);
    EXPECT_NE(text.find("    F3()  3 us  [unwound]\n      ! exception 0xab  x2\n"), std::string::npos) << text;
}

TEST(CallTree, DistinctArgumentsAreCappedPerPlace) {
    CallTreeBuilder::Limits limits;
    limits.maxArgumentVariants = 3;
    CallTreeBuilder b(limits);
    b.Begin(1, 7, 0, 1, "");
    for (int i = 0; i < 1000; ++i) {
        const std::string sql = "sql=\"SELECT " + std::to_string(i) + "\"";
        b.Begin(1, 7, 10 * i, 2, sql);
        b.End(1, 7, 10 * i + 1, 2, false, "");
    }
    b.End(1, 7, 20000, 1, false, "");
    EXPECT_EQ(b.EntryCount(), 1u + 3u + 1u);
    const std::string text = Render(b);
    EXPECT_NE(text.find("      F2(sql=\"SELECT 0\")  1 us\n"), std::string::npos) << text;
    EXPECT_NE(text.find("      F2(<various>)  x997  total 997 us\n"), std::string::npos) << text;

    // Texts that only ever differ are not stored: the hundred-thousandth distinct argument and
    // return value cost no more memory than the tenth. (F1 has ended, so these calls are at the root.)
    const size_t before = b.BytesUsed();
    for (int i = 0; i < 100000; ++i) {
        const std::string n = std::to_string(i);
        b.Begin(1, 7, 0, 2, "sql=\"SELECT " + n + "\"");
        b.End(1, 7, 1, 2, false, "0x" + n);
    }
    EXPECT_LT(b.BytesUsed() - before, 4096u);  // the few new entries at the root only
    EXPECT_EQ(b.GetStats().valuesNotKept, 0u);
    EXPECT_NE(Render(b).find("\n    F2(<various>) -> <various>  x99997  total 99997 us\n"), std::string::npos)
        << Render(b);
}

TEST(CallTree, ByteBoundKeepsNestingAndCountsWhatIsLeftOut) {
    CallTreeBuilder::Limits limits;
    limits.maxBytes = 2 * 1024 * 1024;
    CallTreeBuilder b(limits);
    // Every call a new place: ever deeper recursion of ever new functions, then back out.
    uint32_t depth = 0;
    for (uint32_t f = 1; f <= 200000; ++f) {
        b.Begin(1, 7, f, f, "arg=" + std::to_string(f));
        ++depth;
        if (depth == 50) {
            for (uint32_t k = 0; k < 50; ++k) {
                b.End(1, 7, f + 1, f - k, false, std::to_string(f));
            }
            depth = 0;
        }
    }
    const auto& stats = b.GetStats();
    EXPECT_LE(b.BytesUsed(), b.BytesLimit());
    EXPECT_GT(stats.droppedNodes, 0u);
    EXPECT_GT(b.EntryCount(), 1000u);
    // Nesting stayed right all along: every end found its begin.
    EXPECT_EQ(stats.orphanEnds, 0u);
    EXPECT_EQ(stats.missingEnds, 0u);
    EXPECT_TRUE(b.FindThread(1, 7)->stack.empty());
    EXPECT_EQ(stats.droppedNodes + b.EntryCount(), 200000u);
}
