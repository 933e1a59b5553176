#include "inspection/VariableInfo.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "environment/Logger.h"
#include "environment/SystemContext.h"
#include "inspection/ManagedMemory.h"
#include "inspection/ValueLimits.h"

using namespace Variables;
using ManagedMemory::AsAddress;
using ManagedMemory::IsNullReference;
using ManagedMemory::IsPlausibleAddress;
using ManagedMemory::Readable;
using ManagedMemory::ReadPointer;
using ValueLimits::Cut;
using ValueLimits::ReportCut;
using ValueLimits::ScalarWidth;

VariableInfo VariableInfo::Parse(const std::string& name, SignatureCursor& cursor, const void* address, uint32_t size) {
    VariableInfo record;
    ParseInto(record, name, cursor, address, size);
    return record;
}

void VariableInfo::ParseInto(VariableInfo& record, const std::string& name, SignatureCursor& cursor,
                             const void* address, uint32_t size) {
    record.Reset();
    if (cursor.IsNull()) {
        QX_LOG(LogLevel::Error, LogArea::Unprefixed, "[VariableInfo::Parse] Invalid currentParameter (nullptr)");
        return;
    }
    try {
        uint32_t elementType = 0;
        if (!cursor.ReadCompressed(elementType)) {
            record.name = name;
            record.type = Unknown;
            return;
        }
        ParseTypeAt(record, name, static_cast<CorElementType>(elementType), cursor, address, size);
    } catch (const std::exception& e) {
        QX_LOG(LogLevel::Error, LogArea::Unprefixed, "[VariableInfo::Parse] Exception: %s", e.what());
        record.Reset();
    }
}

VariableInfo VariableInfo::ParseType(const std::string& name, CorElementType elementType, SignatureCursor& cursor,
                                     const void* address, uint32_t size) {
    VariableInfo record;
    ParseTypeInto(record, name, elementType, cursor, address, size);
    return record;
}

void VariableInfo::ParseTypeInto(VariableInfo& record, const std::string& name, CorElementType elementType,
                                 SignatureCursor& cursor, const void* address, uint32_t size) {
    try {
        ParseTypeAt(record, name, elementType, cursor, address, size);
    } catch (const std::exception& e) {
        QX_LOG(LogLevel::Error, "VariableInfo::ParseType", "Exception: %s", e.what());
        record.Reset();
    }
}

void VariableInfo::ParseTypeAt(VariableInfo& record, const std::string& name, CorElementType elementType,
                               SignatureCursor& cursor, const void* address, uint32_t size) {
    record.Reset();
    record.name = name;
    record.type = ConvertToVariableType(elementType);
    const bool haveCursor = !cursor.IsNull();

    switch (elementType) {
        case ELEMENT_TYPE_BOOLEAN:
        case ELEMENT_TYPE_CHAR:
        case ELEMENT_TYPE_I1:
        case ELEMENT_TYPE_I2:
        case ELEMENT_TYPE_U2:
        case ELEMENT_TYPE_I4:
        case ELEMENT_TYPE_U4:
        case ELEMENT_TYPE_I:
        case ELEMENT_TYPE_U:
        case ELEMENT_TYPE_I8:
        case ELEMENT_TYPE_U8:
        case ELEMENT_TYPE_R4:
        case ELEMENT_TYPE_R8:
            if (Readable(address, size, static_cast<uint32_t>(ScalarWidth(record.type))))
                record.AddValue(address);
            else
                record.MakeUnknown();
            break;

        case ELEMENT_TYPE_U1:
        case ELEMENT_TYPE_VALUETYPE:
            ParseSizedValueAt(record, elementType, cursor, address, size);
            break;

        case ELEMENT_TYPE_STRING:
            if (Readable(address, size, sizeof(uintptr_t)))
                ExtractStringValue(record, address);
            else
                record.MakeUnknown();
            break;

        case ELEMENT_TYPE_CLASS:
            if (!haveCursor) break;
            if (!Readable(address, size, sizeof(uintptr_t))) {
                mdToken token = 0;
                cursor.ReadTypeDefOrRef(token);
                record.MakeUnknown();
                break;
            }
            if (ReadPointer(address) == 0) record.type = NullObject;
            ExtractClassValues(record, cursor);
            break;

        case ELEMENT_TYPE_OBJECT:
            break;

        case ELEMENT_TYPE_SZARRAY:
            if (!haveCursor) break;
            if (Readable(address, size, sizeof(uintptr_t))) {
                ExtractSingleDimensionArrayValues(record, cursor, address);
            } else {
                cursor.SkipType();
                record.MakeUnknown();
            }
            break;

        case ELEMENT_TYPE_VAR:
            if (haveCursor) {
                uint32_t number = 0;
                cursor.ReadCompressed(number);
            }
            break;

        case ELEMENT_TYPE_GENERICINST:
            if (haveCursor) ParseGenericInstanceAt(record, name, cursor, address, size);
            break;

        default:
            if (haveCursor) cursor.SkipTypeAfter(elementType);
            record.MakeUnknown();
            break;
    }
}

void VariableInfo::ParseSizedValueAt(VariableInfo& record, CorElementType elementType, SignatureCursor& cursor,
                                     const void* address, uint32_t size) {
    // The type token is consumed whatever the size, so the next argument starts right after it.
    if (elementType == ELEMENT_TYPE_VALUETYPE && !cursor.IsNull()) {
        ExtractValueTypeValues(record, cursor);
        if (record.type == Unknown) return;
    }
    if (size == 4 || size == 2 || size == 1) {
        record.type = size == 4 ? Int32 : size == 2 ? Int16 : Byte;
        if (IsPlausibleAddress(address))
            record.AddValue(address);
        else
            record.MakeUnknown();
    } else if (elementType == ELEMENT_TYPE_U1) {
        if (Readable(address, size, 1))
            record.AddValue(address);
        else
            record.MakeUnknown();
    }
}

void VariableInfo::ParseGenericInstanceAt(VariableInfo& record, const std::string& name, SignatureCursor& cursor,
                                          const void* address, uint32_t size) {
    uint8_t kind = 0;
    if (!cursor.ReadByte(kind)) return;
    if (kind != ELEMENT_TYPE_CLASS && kind != ELEMENT_TYPE_VALUETYPE) {
        cursor.Exhaust();
        return;
    }
    const auto inner = static_cast<CorElementType>(kind);
    // The instantiation is sized by the element table; a reference needs 8 readable bytes.
    uint32_t innerSize = GetSizeForCorElementType(inner);
    if (inner == ELEMENT_TYPE_CLASS) innerSize = std::min(innerSize, size);
    ParseTypeAt(record, name, inner, cursor, address, innerSize);
    uint32_t count = 0;
    bool complete = cursor.ReadCompressed(count);
    for (uint32_t i = 0; complete && i < count; ++i) complete = cursor.SkipType();
    if (!complete) record.MakeUnknown();
}

void VariableInfo::ExtractStringValue(VariableInfo& record, const void* address) {
    record.values.clear();
    if (!IsPlausibleAddress(address)) {
        record.MakeUnknown();
        return;
    }
    const uintptr_t reference = ReadPointer(address);
    if (IsNullReference(reference)) {
        record.type = NullString;
        return;
    }
    record.type = String;
    if (!IsPlausibleAddress(reference)) {
        record.MakeUnknown();
        return;
    }
    const SystemContext* context = g_Context;
    // Without the runtime's string layout nothing inside the object can be located.
    if (context == nullptr || !context->HasStringLayout()) return;
    const int32_t length = ManagedMemory::ReadInt32(reference + context->GetStringLengthOffset());
    if (!ManagedMemory::IsPlausibleStringLength(length)) {
        record.MakeUnknown();
        return;
    }
    if (length == 0) {
        record.type = EmptyString;
        return;
    }
    if (static_cast<uint32_t>(length) > MaxStringUnits) record.type = LongString;
    record.AddValue(AsAddress(reference + context->GetBufferOffset()));
}

void VariableInfo::ExtractSingleDimensionArrayValues(VariableInfo& record, SignatureCursor& cursor,
                                                     const void* address) {
    record.type = Array;
    uint32_t elementType = 0;
    uint32_t innerType = 0;
    bool complete = cursor.ReadCompressed(elementType);
    if (complete && elementType == ELEMENT_TYPE_SZARRAY) {
        complete = cursor.ReadCompressed(innerType) && cursor.SkipTypeAfter(innerType);
    } else if (complete) {
        complete = cursor.SkipTypeAfter(elementType);
    }
    if (!complete) {
        record.MakeUnknown();
        return;
    }
    record.AddTypeArgument(ConvertToVariableType(static_cast<CorElementType>(elementType)));

    if (!IsPlausibleAddress(address)) return;
    const uintptr_t reference = ReadPointer(address);
    if (IsNullReference(reference)) {
        record.type = NullObject;
        return;
    }
    if (!IsPlausibleAddress(reference)) return;

    uint32_t size = 0;
    uintptr_t elements = 0;
    if (!ManagedMemory::VectorOf(reference, size, elements)) return;
    if (size > MaxEntries && (elementType == ELEMENT_TYPE_U1 || elementType == ELEMENT_TYPE_SZARRAY))
        ReportCut(Cut::Entries, record.name);
    const size_t taken = std::min<size_t>(size, MaxEntries);

    if (elementType == ELEMENT_TYPE_U1) {
        for (size_t i = 0; i < taken; ++i) record.AddValue(AsAddress(elements + i));
    } else if (elementType == ELEMENT_TYPE_SZARRAY) {
        const VariableType innerVariableType = ConvertToVariableType(static_cast<CorElementType>(innerType));
        for (size_t i = 0; i < taken; ++i) {
            auto child = std::make_unique<VariableInfo>();
            child->name = std::to_string(i);
            child->type = Array;
            child->AddTypeArgument(innerVariableType);
            const uintptr_t inner = ReadPointer(elements + i * sizeof(uintptr_t));
            if (IsNullReference(inner)) {
                child->type = NullObject;
            } else if (innerType == ELEMENT_TYPE_U1 && IsPlausibleAddress(inner)) {
                uint32_t innerSize = 0;
                uintptr_t innerData = 0;
                if (ManagedMemory::VectorOf(inner, innerSize, innerData)) {
                    if (innerSize > MaxEntries) ReportCut(Cut::Entries, record.name);
                    const size_t innerTaken = std::min<size_t>(innerSize, MaxEntries);
                    for (size_t j = 0; j < innerTaken; ++j) child->AddValue(AsAddress(innerData + j));
                }
            }
            record.AddValue(child.release());
        }
    }
}

void VariableInfo::ExtractClassValues(VariableInfo& record, SignatureCursor& cursor) {
    mdToken token = 0;
    if (!cursor.ReadTypeDefOrRef(token)) {
        record.MakeUnknown();
        return;
    }
    record.className = "?";
}

void VariableInfo::ExtractValueTypeValues(VariableInfo& record, SignatureCursor& cursor) {
    ExtractClassValues(record, cursor);
}
