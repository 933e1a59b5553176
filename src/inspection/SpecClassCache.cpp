#include "inspection/SpecClassCache.h"

#include <cstdint>
#include <memory>

SpecClassCache::~SpecClassCache() {
    for (Entry& entry : entries)
        for (auto& pair : entry.pairs) delete pair.load(std::memory_order_acquire);
}

size_t SpecClassCache::SlotOf(const PropertySpec* step) {
    // Steps are heap objects: the low bits carry no information.
    auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(step)) >> 4;
    value *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(value >> 32) & (Capacity - 1);
}

const SpecClassCache::Entry* SpecClassCache::FindEntry(const PropertySpec* step) const {
    const size_t start = SlotOf(step);
    for (size_t probe = 0; probe < Capacity; ++probe) {
        const Entry& entry = entries[(start + probe) & (Capacity - 1)];
        const PropertySpec* owner = entry.step.load(std::memory_order_acquire);
        if (owner == step) return &entry;
        if (owner == nullptr) return nullptr;  // entries are never removed, so the probe ends here
    }
    return nullptr;
}

SpecClassCache::Entry* SpecClassCache::ClaimEntry(const PropertySpec* step) {
    const size_t start = SlotOf(step);
    for (size_t probe = 0; probe < Capacity; ++probe) {
        Entry& entry = entries[(start + probe) & (Capacity - 1)];
        const PropertySpec* owner = entry.step.load(std::memory_order_acquire);
        if (owner == nullptr &&
            entry.step.compare_exchange_strong(owner, step, std::memory_order_acq_rel, std::memory_order_acquire))
            return &entry;
        if (owner == step) return &entry;  // ours, or claimed for this step by another thread meanwhile
    }
    return nullptr;
}

std::optional<ModuleClassIDPair> SpecClassCache::Find(const PropertySpec* step, ModuleID requestingModule) const {
    if (step == nullptr) return std::nullopt;
    const Entry* entry = FindEntry(step);
    if (entry == nullptr) return std::nullopt;
    for (const auto& slot : entry->pairs) {
        const ModuleClassIDPair* pair = slot.load(std::memory_order_acquire);
        if (pair == nullptr) break;  // slots fill in order
        if (pair->requestingModuleId == requestingModule) return *pair;
    }
    return std::nullopt;
}

ModuleClassIDPair SpecClassCache::Publish(const PropertySpec* step, const ModuleClassIDPair& pair) {
    if (step == nullptr) return pair;
    Entry* entry = ClaimEntry(step);
    if (entry == nullptr) return pair;
    std::unique_ptr<ModuleClassIDPair> fresh;
    for (auto& slot : entry->pairs) {
        const ModuleClassIDPair* current = slot.load(std::memory_order_acquire);
        if (current == nullptr) {
            if (!fresh) fresh = std::make_unique<ModuleClassIDPair>(pair);
            if (slot.compare_exchange_strong(current, fresh.get(), std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
                fresh.release();
                return pair;
            }
            // Another thread filled this slot first; `current` now holds its pair.
        }
        if (current->requestingModuleId == pair.requestingModuleId) return *current;
    }
    return pair;
}
