#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "memory/MemoryBudget.h"

namespace QuorixCollect {

// Function names of one process, kept in one arena so that a name costs its bytes only and a
// process that starts over frees them all at once.
class NameTable {
public:
    explicit NameTable(MemoryBudget& chargedTo) : arena(&chargedTo), index(&chargedTo), budget(chargedTo) {}
    ~NameTable() { Clear(); }

    struct Name {
        std::string_view text;  // null view when the id has no name
        bool jsonSafe;          // JSON takes it without escaping
    };
    Name Find(uint32_t functionId) const;
    // False when the budget refuses (the previous name, if any, stays).
    bool Store(uint32_t functionId, std::string_view name);
    void Clear();
    size_t Size() const { return entries.size(); }

private:
    struct Entry {
        uint32_t functionId;
        bool jsonSafe;
        std::string_view name;
    };
    TextArena arena;
    IndexTable index;
    std::vector<Entry> entries;
    MemoryBudget& budget;
};

}  // namespace QuorixCollect
