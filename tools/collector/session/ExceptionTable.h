#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "memory/MemoryBudget.h"
#include "wire/CommandDecoder.h"

namespace QuorixCollect {

// What the ExceptionDetails commands said, by process and exception id, for every display of an
// exception: the call trees, the report and the spans. An exception id is the object's address,
// so a later exception at the same address replaces what the key finds; what was said before
// keeps its handle, so a display that lists raises one by one takes the handle when the details
// come. Equal details are kept once. Bounded in bytes: beyond the bound, details are counted and
// not kept.
class ExceptionTable {
public:
    static constexpr uint32_t None = UINT32_MAX;

    struct Details {
        std::string_view type;     // empty when the agent could not name the class
        std::string_view message;  // empty when null
        bool messageNull = false;
        bool messageCut = false;
    };

    explicit ExceptionTable(size_t maxBytes = SIZE_MAX);
    ExceptionTable(const ExceptionTable&) = delete;
    ExceptionTable& operator=(const ExceptionTable&) = delete;

    // Keeps what an ExceptionDetails command says about its exception.
    void Record(const DecodedCommand& details);
    // The handle of the latest details of the exception, or None.
    uint32_t Find(uint32_t pid, uint64_t exceptionId) const;
    const Details& Get(uint32_t handle) const { return details[handle]; }
    // "System.InvalidOperationException: Order 7 has no lines" ("..." after a cut message; the
    // type alone without a message); empty for None. Not escaped for any output.
    std::string Describe(uint32_t handle) const;

    uint64_t NotKept() const { return notKept; }
    size_t BytesUsed() const { return budget.Used(); }

private:
    struct Key {
        uint32_t pid;
        uint32_t handle;
        uint64_t exceptionId;
    };
    uint32_t StoreDetails(const DecodedCommand& c);

    MemoryBudget budget;
    TextArena texts;
    std::vector<Details> details;
    IndexTable byText;  // details by their texts and flags
    std::vector<Key> keys;
    IndexTable byKey;  // keys by process and exception id
    uint64_t notKept = 0;
};

}  // namespace QuorixCollect
