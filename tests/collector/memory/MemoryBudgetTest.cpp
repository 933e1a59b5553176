#include <gtest/gtest.h>

#include <string>

#include "memory/MemoryBudget.h"

using namespace QuorixCollect;

TEST(MemoryBudget, TablesFindEverythingAndStopAtTheirBudget) {
    MemoryBudget budget(64 * 1024);
    IndexTable table(&budget);
    std::vector<uint64_t> keys;
    // Keys that collide in their low bits stress the probing.
    for (uint32_t i = 0;; ++i) {
        const uint64_t key = static_cast<uint64_t>(i) << 20;
        const uint64_t hash = IndexTable::Mix(key);
        if (!table.Insert(hash, i)) {
            break;
        }
        keys.push_back(key);
    }
    ASSERT_GT(keys.size(), 1000u);
    EXPECT_LE(budget.Used(), budget.Limit());
    EXPECT_EQ(budget.Used(), table.Bytes());
    EXPECT_TRUE(budget.Refused());
    for (uint32_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(table.Find(IndexTable::Mix(keys[i]), [&](uint32_t v) { return keys[v] == keys[i]; }), i);
    }
    EXPECT_EQ(table.Find(IndexTable::Mix(12345), [&](uint32_t v) { return keys[v] == 12345; }), IndexTable::NotFound);
    table.Clear();
    EXPECT_EQ(budget.Used(), 0u);
}

TEST(MemoryBudget, ArenaChargesItsBlocksAndRefusesBeyondTheBound) {
    MemoryBudget budget(100 * 1024);
    TextArena arena(&budget);
    const std::string text(1000, 'x');
    size_t stored = 0;
    std::vector<std::string_view> views;
    for (;;) {
        const std::string_view v = arena.Store(text);
        if (v.data() == nullptr) {
            break;
        }
        views.push_back(v);
        ++stored;
    }
    // Nearly the whole budget holds texts: blocks cost their size, not a header per text.
    EXPECT_GE(stored * text.size(), budget.Limit() * 3 / 4);
    EXPECT_EQ(budget.Used(), arena.Bytes());
    for (const auto& v : views) {
        ASSERT_EQ(v, text);
    }
    EXPECT_EQ(arena.Store("").size(), 0u);
    EXPECT_NE(arena.Store("").data(), nullptr);
    arena.Clear();
    EXPECT_EQ(budget.Used(), 0u);
}
