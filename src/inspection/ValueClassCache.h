#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "inspection/VariableInfo.h"
#include "platform/ProfilerTypes.h"

class PropertySpec;

// What the object a field of type object holds is captured as, by its class: text, a boxed
// scalar read in place, a boxed structure of the core library read field by field, a null (a
// database null), or anything else, named by its class alone.
struct ValueClass {
    enum class Kind : uint8_t { Named, Text, Scalar, Composite, Null };
    ClassID classId = 0;
    Kind kind = Kind::Named;
    Variables::VariableType scalar = Variables::Unknown;  // Scalar
    const PropertySpec* const* fields = nullptr;          // Composite: its fields, read inside the box
    size_t fieldCount = 0;
    std::string name;  // the class's full name; empty when it has none (an array)
};

// The class of a value asked of the runtime once: its name comes from metadata, which costs
// microseconds, and a class keeps its name while it is loaded. Published once and never
// replaced or freed before the cache goes, so a reader takes no lock; a full table simply
// stops remembering.
class ValueClassCache {
public:
    static constexpr size_t Capacity = 256;  // a power of two
    static constexpr size_t MaxProbes = 16;

    ValueClassCache() = default;
    ~ValueClassCache();

    ValueClassCache(const ValueClassCache&) = delete;
    ValueClassCache& operator=(const ValueClassCache&) = delete;

    const ValueClass* Find(ClassID classId) const;
    // The entry now cached for the class: this one, or one another thread published first; null
    // when there is no room (the caller keeps `fresh` for this call).
    const ValueClass* Publish(const ValueClass& fresh);

    // What a class of that full name is captured as (the name, id and fields of Composite kinds
    // filled in).
    static ValueClass Classify(ClassID classId, std::string name);

private:
    static size_t SlotOf(ClassID classId);

    std::atomic<const ValueClass*> entries[Capacity] = {};
};
