#include "inspection/ValueClassCache.h"

#include <iterator>
#include <memory>
#include <new>
#include <string_view>

#include "mapping/MonitoredFunctionDefinition.h"

using namespace Variables;

namespace {

struct ScalarName {
    std::string_view name;
    VariableType type;
};

constexpr ScalarName Scalars[] = {
    {"System.Boolean", Boolean}, {"System.Byte", Byte},     {"System.Int16", Int16},   {"System.UInt16", UInt16},
    {"System.Char", UInt16},     {"System.Int32", Int32},   {"System.UInt32", UInt32}, {"System.Int64", Int64},
    {"System.UInt64", UInt64},   {"System.Single", Single}, {"System.Double", Double},
};

// The structures of the core library whose fields a reader can turn into text: named as the
// runtime names their fields, so the lookup finds them in each version's own layout. A field is
// read no wider than it is, except Guid's last eight bytes, read as one.
struct Composite {
    std::string_view name;
    const PropertySpec* const* fields;
    size_t count;
};

const PropertySpec* Field(const char* name, const char* field, CorElementType type) {
    // Never freed: hooks may read them until the process is gone.
    return new PropertySpec(name, field, type, nullptr);
}

const Composite* FindComposite(std::string_view name) {
    static const PropertySpec* const decimal[] = {Field("_flags", "_flags", ELEMENT_TYPE_I4),
                                                  Field("_hi32", "_hi32", ELEMENT_TYPE_U4),
                                                  Field("_lo64", "_lo64", ELEMENT_TYPE_U8)};
    static const PropertySpec* const dateTime[] = {Field("_dateData", "_dateData", ELEMENT_TYPE_U8)};
    static const PropertySpec* const timeSpan[] = {Field("_ticks", "_ticks", ELEMENT_TYPE_I8)};
    static const PropertySpec* const guid[] = {Field("_a", "_a", ELEMENT_TYPE_I4), Field("_b", "_b", ELEMENT_TYPE_I2),
                                               Field("_c", "_c", ELEMENT_TYPE_I2), Field("_dk", "_d", ELEMENT_TYPE_U8)};
    // The offset is 16 bits wide in some versions and 32 in others: its low half is the value.
    static const PropertySpec* const dateTimeOffset[] = {Field("_dateData", "_dateTime", ELEMENT_TYPE_U8),
                                                         Field("_offsetMinutes", "_offsetMinutes", ELEMENT_TYPE_I2)};
    static const Composite composites[] = {
        {"System.Decimal", decimal, std::size(decimal)},
        {"System.DateTime", dateTime, std::size(dateTime)},
        {"System.TimeSpan", timeSpan, std::size(timeSpan)},
        {"System.Guid", guid, std::size(guid)},
        {"System.DateTimeOffset", dateTimeOffset, std::size(dateTimeOffset)},
    };
    for (const Composite& composite : composites)
        if (composite.name == name) return &composite;
    return nullptr;
}

}  // namespace

ValueClass ValueClassCache::Classify(ClassID classId, std::string name) {
    ValueClass result;
    result.classId = classId;
    if (name == "System.String") {
        result.kind = ValueClass::Kind::Text;
    } else if (name == "System.DBNull") {
        result.kind = ValueClass::Kind::Null;
    } else if (const Composite* composite = FindComposite(name)) {
        result.kind = ValueClass::Kind::Composite;
        result.fields = composite->fields;
        result.fieldCount = composite->count;
    } else {
        for (const ScalarName& scalar : Scalars) {
            if (scalar.name != name) continue;
            result.kind = ValueClass::Kind::Scalar;
            result.scalar = scalar.type;
        }
    }
    result.name = std::move(name);
    return result;
}

ValueClassCache::~ValueClassCache() {
    for (auto& entry : entries) delete entry.load(std::memory_order_acquire);
}

size_t ValueClassCache::SlotOf(ClassID classId) {
    uint64_t value = static_cast<uint64_t>(classId) >> 3;  // an address: the low bits carry nothing
    value *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(value >> 32) & (Capacity - 1);
}

const ValueClass* ValueClassCache::Find(ClassID classId) const {
    const size_t start = SlotOf(classId);
    for (size_t probe = 0; probe < MaxProbes; ++probe) {
        const ValueClass* entry = entries[(start + probe) & (Capacity - 1)].load(std::memory_order_acquire);
        if (entry == nullptr) return nullptr;  // entries are never removed, so the probe ends here
        if (entry->classId == classId) return entry;
    }
    return nullptr;
}

const ValueClass* ValueClassCache::Publish(const ValueClass& fresh) {
    std::unique_ptr<ValueClass> copy(new (std::nothrow) ValueClass(fresh));
    if (!copy) return nullptr;
    const size_t start = SlotOf(fresh.classId);
    for (size_t probe = 0; probe < MaxProbes; ++probe) {
        auto& entry = entries[(start + probe) & (Capacity - 1)];
        const ValueClass* current = entry.load(std::memory_order_acquire);
        if (current == nullptr &&
            entry.compare_exchange_strong(current, copy.get(), std::memory_order_acq_rel, std::memory_order_acquire))
            return copy.release();
        if (current->classId == fresh.classId) return current;
    }
    return nullptr;
}
