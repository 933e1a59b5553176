#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/MetaDataTypes.h"
#include "platform/ProfilerTypes.h"

class PropertySpec;

// Where a field lies in objects of a class, as the runtime's layout and metadata describe it.
struct FieldFacts {
    uint32_t offset = 0;
    ULONG classSize = 0;  // 0: not known
    ModuleID module = 0;  // whose metadata describes the field
    uint32_t type = ELEMENT_TYPE_END;
    uint32_t genericKind = 0;  // CLASS or VALUETYPE of a generic instantiation
    mdToken typeToken = 0;
};

// What the runtime answered about the field of a path step in a class, found or not. Finding it
// asks for the class's layout, its metadata rows and its base classes: microseconds, on every
// captured call; the answer does not change while the class is loaded. Answers are published
// once and never replaced or freed before the cache goes, so a reader takes no lock and sees
// either nothing or a complete answer. A full table simply stops remembering.
class FieldAnswerCache {
public:
    static constexpr size_t Capacity = 1024;  // a power of two
    static constexpr size_t MaxProbes = 16;

    struct Answer {
        ClassID classId = 0;
        const PropertySpec* step = nullptr;
        bool found = false;
        FieldFacts facts;
    };

    FieldAnswerCache() = default;
    ~FieldAnswerCache();

    FieldAnswerCache(const FieldAnswerCache&) = delete;
    FieldAnswerCache& operator=(const FieldAnswerCache&) = delete;

    const Answer* Find(ClassID classId, const PropertySpec* step) const;
    void Publish(ClassID classId, const PropertySpec* step, bool found, const FieldFacts& facts);

private:
    static size_t SlotOf(ClassID classId, const PropertySpec* step);

    std::atomic<const Answer*> entries[Capacity] = {};
};
