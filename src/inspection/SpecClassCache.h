#pragma once

#include <atomic>
#include <cstddef>
#include <optional>

#include "mapping/ModuleClassIDPair.h"

class PropertySpec;

// The class resolved for one step of a capture path, per module that asked. Hooks on many
// threads read and fill it without a lock: a slot is claimed once with a compare-and-swap, a
// published pair is never changed or freed while the cache lives, and readers get copies.
// Bounded: a full table, or a step already resolved for MaxModulesPerStep modules, is simply
// not cached and the caller resolves again next time.
class SpecClassCache {
public:
    static constexpr size_t Capacity = 256;  // steps; a power of two
    static constexpr size_t MaxModulesPerStep = 4;

    SpecClassCache() = default;
    ~SpecClassCache();

    SpecClassCache(const SpecClassCache&) = delete;
    SpecClassCache& operator=(const SpecClassCache&) = delete;

    std::optional<ModuleClassIDPair> Find(const PropertySpec* step, ModuleID requestingModule) const;
    // The pair cached for the pair's requesting module: this one, or the one another thread
    // published first.
    ModuleClassIDPair Publish(const PropertySpec* step, const ModuleClassIDPair& pair);

private:
    struct Entry {
        std::atomic<const PropertySpec*> step{nullptr};
        std::atomic<const ModuleClassIDPair*> pairs[MaxModulesPerStep] = {};
    };

    static size_t SlotOf(const PropertySpec* step);
    const Entry* FindEntry(const PropertySpec* step) const;
    Entry* ClaimEntry(const PropertySpec* step);

    Entry entries[Capacity];
};
