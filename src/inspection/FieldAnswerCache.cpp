#include "inspection/FieldAnswerCache.h"

#include <memory>
#include <new>

FieldAnswerCache::~FieldAnswerCache() {
    for (auto& entry : entries) delete entry.load(std::memory_order_acquire);
}

size_t FieldAnswerCache::SlotOf(ClassID classId, const PropertySpec* step) {
    // Both are addresses: the low bits carry no information.
    uint64_t value =
        (static_cast<uint64_t>(classId) >> 3) ^ (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(step)) >> 4);
    value *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(value >> 32) & (Capacity - 1);
}

const FieldAnswerCache::Answer* FieldAnswerCache::Find(ClassID classId, const PropertySpec* step) const {
    const size_t start = SlotOf(classId, step);
    for (size_t probe = 0; probe < MaxProbes; ++probe) {
        const Answer* answer = entries[(start + probe) & (Capacity - 1)].load(std::memory_order_acquire);
        if (answer == nullptr) return nullptr;  // answers are never removed, so the probe ends here
        if (answer->classId == classId && answer->step == step) return answer;
    }
    return nullptr;
}

void FieldAnswerCache::Publish(ClassID classId, const PropertySpec* step, bool found, const FieldFacts& facts) {
    std::unique_ptr<Answer> fresh(new (std::nothrow) Answer{classId, step, found, facts});
    if (!fresh) return;
    const size_t start = SlotOf(classId, step);
    for (size_t probe = 0; probe < MaxProbes; ++probe) {
        auto& entry = entries[(start + probe) & (Capacity - 1)];
        const Answer* current = entry.load(std::memory_order_acquire);
        if (current == nullptr &&
            entry.compare_exchange_strong(current, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
            fresh.release();
            return;
        }
        // Taken meanwhile, or before: by the same answer another thread found, or by another key.
        if (current->classId == classId && current->step == step) return;
    }
}
