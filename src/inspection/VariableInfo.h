#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "inspection/SignatureCursor.h"
#include "platform/MetaDataTypes.h"
#include "protocol/WireProtocol.h"

namespace Variables {
// Kind of a captured value; the low byte travels as the record's type.
enum VariableType : int32_t {
    Unknown = WireProtocol::Number(WireProtocol::ValueType::Unknown),
    Void = WireProtocol::Number(WireProtocol::ValueType::Void),
    Boolean = WireProtocol::Number(WireProtocol::ValueType::Boolean),
    Byte = WireProtocol::Number(WireProtocol::ValueType::Byte),
    Int16 = WireProtocol::Number(WireProtocol::ValueType::Int16),
    UInt16 = WireProtocol::Number(WireProtocol::ValueType::UInt16),
    Int32 = WireProtocol::Number(WireProtocol::ValueType::Int32),
    UInt32 = WireProtocol::Number(WireProtocol::ValueType::UInt32),
    Int64 = WireProtocol::Number(WireProtocol::ValueType::Int64),
    UInt64 = WireProtocol::Number(WireProtocol::ValueType::UInt64),
    Single = WireProtocol::Number(WireProtocol::ValueType::Single),
    Double = WireProtocol::Number(WireProtocol::ValueType::Double),
    String = WireProtocol::Number(WireProtocol::ValueType::String),
    Struct = WireProtocol::Number(WireProtocol::ValueType::Struct),
    Object = WireProtocol::Number(WireProtocol::ValueType::Object),
    Array = WireProtocol::Number(WireProtocol::ValueType::Array),
    EmptyString = WireProtocol::Number(WireProtocol::ValueType::EmptyString),
    NullString = WireProtocol::Number(WireProtocol::ValueType::NullString),
    NullObject = WireProtocol::Number(WireProtocol::ValueType::NullObject),
    LongString = WireProtocol::Number(WireProtocol::ValueType::LongString),
};
}  // namespace Variables

// Addresses of one record's values. Nearly every record holds one (a scalar or a string), so the
// first two are kept in place: capturing them allocates nothing on the hook thread.
class ValueAddresses {
public:
    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    const void* operator[](size_t index) const { return index < Inline ? inlined[index] : spilled[index - Inline]; }
    const void* front() const { return inlined[0]; }
    void push_back(const void* address) {
        if (count < Inline)
            inlined[count] = address;
        else
            spilled.push_back(address);
        ++count;
    }
    void clear() {
        count = 0;
        spilled.clear();
    }
    std::vector<const void*> ToVector() const {
        std::vector<const void*> all;
        all.reserve(count);
        for (size_t i = 0; i < count; ++i) all.push_back((*this)[i]);
        return all;
    }

private:
    static constexpr size_t Inline = 2;
    const void* inlined[Inline] = {};
    std::vector<const void*> spilled;
    size_t count = 0;
};

// One captured value of a monitored call. It holds addresses, not copies: scalars and strings
// are read from managed memory when the record is serialised, which must happen before the
// hook that captured them returns. A record owns its child records.
class VariableInfo {
public:
    // Count bytes of the wire form hold this many entries; more are never kept.
    static constexpr size_t MaxEntries = 255;
    static constexpr size_t MaxNameBytes = 200;
    // Strings longer than this are sent as LongString, the first half of them.
    static constexpr uint32_t MaxStringUnits = 4096;
    // The complete record, its 16-bit length field included.
    static constexpr size_t MaxRecordBytes = 2 + 32767;

    VariableInfo();
    ~VariableInfo();
    // Copies deep: the copy owns copies of the children.
    VariableInfo(const VariableInfo& other);
    VariableInfo& operator=(const VariableInfo& other);
    VariableInfo(VariableInfo&& other) noexcept;
    VariableInfo& operator=(VariableInfo&& other) noexcept;

    // The element type is read at the cursor. `size` is the number of readable bytes at
    // `address`; nothing beyond them is read. Bad input gives an Unknown (or default) record.
    static VariableInfo Parse(const std::string& name, SignatureCursor& cursor, const void* address, uint32_t size);
    // The cursor stands after the element type; the rest of the type's encoding is consumed.
    static VariableInfo ParseType(const std::string& name, CorElementType elementType, SignatureCursor& cursor,
                                  const void* address, uint32_t size);
    // The same into a record kept by the caller: a hook thread reuses its records, capacity intact.
    static void ParseInto(VariableInfo& record, const std::string& name, SignatureCursor& cursor, const void* address,
                          uint32_t size);
    static void ParseTypeInto(VariableInfo& record, const std::string& name, CorElementType elementType,
                              SignatureCursor& cursor, const void* address, uint32_t size);
    // Back to a default record (type Void, no name), keeping what its members allocated.
    void Reset();
    // `address` holds a string reference (8 readable bytes).
    static void ExtractStringValue(VariableInfo& record, const void* address);
    // `address` holds an array reference (8 readable bytes); the element type is read at the cursor.
    static void ExtractSingleDimensionArrayValues(VariableInfo& record, SignatureCursor& cursor, const void* address);
    static void ExtractClassValues(VariableInfo& record, SignatureCursor& cursor);
    static void ExtractValueTypeValues(VariableInfo& record, SignatureCursor& cursor);

    // An address of the value (scalars), of the first character of a managed string (its
    // length is read from the string's header), or of one element (byte arrays). Entries past
    // MaxEntries are dropped. GetValues gives these addresses, GetChildren the children.
    void AddValue(const void* address);
    // A child (Struct, Object, array of arrays); the record takes ownership of it.
    void AddValue(VariableInfo* child);
    void AddTypeArgument(Variables::VariableType argument) { typeArguments.push_back(argument); }

    std::string GetName() const { return name; }
    void SetName(const std::string& value) { name = value; }
    std::string GetClassName() const { return className; }
    void SetClassName(const std::string& value) { className = value; }
    Variables::VariableType GetType() const { return type; }
    void SetType(Variables::VariableType value) { type = value; }
    std::vector<const void*> GetValues() const { return values.ToVector(); }
    std::vector<const VariableInfo*> GetChildren() const;
    std::vector<Variables::VariableType> GetTypeArguments() const { return typeArguments; }
    // Sent as the mask, whatever it holds, unless the settings let secrets through: a value whose
    // name says it is a secret. A null or empty value stays as it is.
    bool IsMasked() const { return masked; }
    void SetMasked(bool value) { masked = value; }
    // An object without fields sent with its class name: a value known by its type alone.
    bool IsTypeNamed() const { return typeNamed; }
    void SetTypeNamed(bool value) { typeNamed = value; }

    // The value record as a new[] array; its length is GetByteLength() + 2.
    uint8_t* ToBytes() const;
    uint32_t GetByteLength() const;
    // Appends the complete value record, at most `budget` bytes of it: trailing children or
    // elements that do not fit are left out. False, with `out` unchanged, when not even the
    // record itself fits.
    bool AppendRecord(std::vector<uint8_t>& out, size_t budget) const;

    std::string ToString() const;
    std::string GetTypeString() const;
    static std::string GetTypeStringForSpecificType(Variables::VariableType variableType);

    static Variables::VariableType ConvertToVariableType(CorElementType elementType);
    static uint32_t GetSizeForCorElementType(CorElementType elementType);
    static CorElementType GetCorElementIntegerTypeFromSize(uint32_t size);

private:
    static void ParseTypeAt(VariableInfo& record, const std::string& name, CorElementType elementType,
                            SignatureCursor& cursor, const void* address, uint32_t size);
    // Parts of ParseTypeAt: a byte or value type whose width the argument's size tells, and a
    // generic instantiation (the cursor stands after its element type).
    static void ParseSizedValueAt(VariableInfo& record, CorElementType elementType, SignatureCursor& cursor,
                                  const void* address, uint32_t size);
    static void ParseGenericInstanceAt(VariableInfo& record, const std::string& name, SignatureCursor& cursor,
                                       const void* address, uint32_t size);
    bool AppendRecordAt(std::vector<uint8_t>& out, size_t budget, int depth) const;
    void AppendChildren(std::vector<uint8_t>& out, size_t start, size_t budget, int depth) const;
    std::string ValueText(int depth) const;
    std::string ToStringAt(int depth) const;
    void MakeUnknown();

    std::string name;
    std::string className;
    Variables::VariableType type = Variables::Void;
    std::vector<Variables::VariableType> typeArguments;
    ValueAddresses values;
    std::vector<std::unique_ptr<VariableInfo>> children;
    bool masked = false;
    bool typeNamed = false;
};
