#include "inspection/PropertyInspector.h"

#include <memory>

#include "environment/Logger.h"
#include "environment/SystemContext.h"
#include "inspection/FieldLookup.h"
#include "inspection/ManagedMemory.h"
#include "inspection/MethodPlan.h"

using namespace Variables;
using Outcome = PropertyInspector::Outcome;
using StepResult = PropertyInspector::StepResult;
using FieldLookup::HoldsReference;
using ManagedMemory::AsAddress;
using ManagedMemory::FitsOrUnbounded;
using ManagedMemory::IsNullReference;
using ManagedMemory::IsObjectReference;
using ManagedMemory::IsPlausibleAddress;
using ManagedMemory::ReadInt32;
using ManagedMemory::ReadPointer;

namespace {

// Bytes read at the last step for a value of that element type; 0 for types never read.
size_t AccessWidth(CorElementType elementType) {
    switch (elementType) {
        case ELEMENT_TYPE_BOOLEAN:
        case ELEMENT_TYPE_CHAR:  // captured as its low byte
        case ELEMENT_TYPE_I1:
        case ELEMENT_TYPE_U1:
        case ELEMENT_TYPE_VALUETYPE:
            return 1;
        case ELEMENT_TYPE_I2:
        case ELEMENT_TYPE_U2:
            return 2;
        case ELEMENT_TYPE_I4:
        case ELEMENT_TYPE_U4:
        case ELEMENT_TYPE_R4:
        case ELEMENT_TYPE_I:  // captured as 4 bytes
        case ELEMENT_TYPE_U:
            return 4;
        case ELEMENT_TYPE_I8:
        case ELEMENT_TYPE_U8:
        case ELEMENT_TYPE_R8:
        case ELEMENT_TYPE_STRING:
        case ELEMENT_TYPE_CLASS:
        case ELEMENT_TYPE_OBJECT:
        case ELEMENT_TYPE_SZARRAY:
        case ELEMENT_TYPE_GENERICINST:
            return 8;
        default:
            return 0;
    }
}

bool IsScalar(CorElementType elementType) {
    return (elementType >= ELEMENT_TYPE_BOOLEAN && elementType <= ELEMENT_TYPE_R8) || elementType == ELEMENT_TYPE_I ||
           elementType == ELEMENT_TYPE_U;
}

// The string whose reference is stored at `slot` (8 readable bytes).
StepResult StringAt(uintptr_t slot) {
    const uintptr_t reference = ReadPointer(slot);
    if (IsNullReference(reference)) return {Outcome::Null, 0};
    if (!IsObjectReference(reference)) return {Outcome::Refused, 0};
    const SystemContext* context = g_Context;
    if (context == nullptr || !context->HasStringLayout()) return {Outcome::NoStringLayout, 0};
    const int32_t length = ReadInt32(reference + context->GetStringLengthOffset());
    if (!ManagedMemory::IsPlausibleStringLength(length)) return {Outcome::Refused, 0};
    if (length == 0) return {Outcome::EmptyString, 0};
    return {Outcome::Data, reference + context->GetBufferOffset()};
}

// `isString` tells whether a non-null reference is a string object.
template <typename StringTest>
StepResult ReadLastField(uintptr_t fieldAddress, CorElementType elementType, const FieldFacts& field,
                         StringTest&& isString) {
    if (IsScalar(elementType)) return {Outcome::Data, fieldAddress};
    switch (elementType) {
        case ELEMENT_TYPE_STRING: {
            if (field.type == ELEMENT_TYPE_STRING) return StringAt(fieldAddress);
            // A field of a wider type (object, an interface) is read only when it holds a string:
            // anything else read as one would take its length from foreign bytes.
            if (!HoldsReference(field) || field.type == ELEMENT_TYPE_SZARRAY || field.type == ELEMENT_TYPE_ARRAY)
                return {Outcome::Refused, 0};
            const uintptr_t reference = ReadPointer(fieldAddress);
            if (IsNullReference(reference)) return {Outcome::Null, 0};
            if (!IsObjectReference(reference) || !isString(reference)) return {Outcome::Refused, 0};
            return StringAt(fieldAddress);
        }
        case ELEMENT_TYPE_CLASS:
        case ELEMENT_TYPE_OBJECT:
        case ELEMENT_TYPE_SZARRAY:
        case ELEMENT_TYPE_GENERICINST: {
            if (!HoldsReference(field)) return {Outcome::Refused, 0};
            const uintptr_t reference = ReadPointer(fieldAddress);
            if (IsNullReference(reference)) return {Outcome::Null, 0};
            return {Outcome::Reference, fieldAddress, field.type};
        }
        case ELEMENT_TYPE_VALUETYPE:
            return field.type == ELEMENT_TYPE_VALUETYPE ? StepResult{Outcome::Reference, 0}
                                                        : StepResult{Outcome::Refused, 0};
        default:
            return {Outcome::Unavailable, 0};
    }
}

const PropertySpec* LastStep(const PropertySpec* spec) {
    if (spec == nullptr) return nullptr;
    for (int step = 1; spec->GetNext() != nullptr && step < PropertyInspector::MaxPathSteps; ++step)
        spec = spec->GetNext();
    return spec;
}

}  // namespace

CorElementType PropertyInspector::GetSpecUnderlyingType(const PropertySpec* spec) {
    const PropertySpec* last = LastStep(spec);
    return last == nullptr ? ELEMENT_TYPE_END : last->GetElementType();
}

Variables::VariableType PropertyInspector::ConvertToVariableType(CorElementType elementType) {
    return VariableInfo::ConvertToVariableType(elementType);
}

uintptr_t PropertyInspector::GetValueFromAddress(uintptr_t address, CorElementType elementType) {
    if (!IsPlausibleAddress(address)) return 0;
    if (IsScalar(elementType)) return address;
    if (elementType != ELEMENT_TYPE_STRING) return 0;
    const StepResult result = StringAt(address);
    return result.outcome == Outcome::Data ? result.data : 0;
}

StepResult PropertyInspector::FetchStep(ModuleID moduleId, ClassID classId, const PropertySpec* spec, uintptr_t address,
                                        bool valueIsDirect, size_t readableBytes, int depth) {
    if (spec == nullptr || depth >= MaxPathSteps) return {Outcome::Refused, 0};
    uintptr_t base = address;
    if (valueIsDirect) {
        if (base == 0) return {Outcome::Null, 0};
        if (!IsPlausibleAddress(base)) return {Outcome::Refused, 0};
    } else {
        if (!IsPlausibleAddress(address) || !FitsOrUnbounded(0, sizeof(uintptr_t), readableBytes))
            return {Outcome::Refused, 0};
        base = ReadPointer(address);
        if (IsNullReference(base)) return {Outcome::Null, 0};
        if (!IsObjectReference(base)) return {Outcome::Refused, 0};
        readableBytes = 0;  // the object: bounded by its class's size from here on
        if (classId == 0) {
            // The object's own class: exact for derived classes, interfaces and generic
            // instantiations alike, and known to the runtime without loading anything. Its
            // module is asked for only when the field is not known yet.
            classId = ManagedMemory::ClassOf(base);
            if (classId == 0) return {Outcome::Unavailable, 0};
            moduleId = 0;
        }
    }

    const PropertySpec* next = spec->GetNext();
    // A last step that names no field reads the reference it stands on: the object's own address.
    if (!valueIsDirect && next == nullptr && spec->GetFieldName().empty() &&
        (spec->GetElementType() == ELEMENT_TYPE_U8 || spec->GetElementType() == ELEMENT_TYPE_I8))
        return {Outcome::Data, address};
    FieldFacts field;
    if (!LookUpField(moduleId, classId, spec, field)) return {Outcome::Unavailable, 0};
    const bool inlineValue = next != nullptr && field.type == ELEMENT_TYPE_VALUETYPE;
    const size_t width = next == nullptr ? AccessWidth(spec->GetElementType()) : inlineValue ? 1 : sizeof(uintptr_t);
    if (width == 0) return {Outcome::Unavailable, 0};
    if (!FitsOrUnbounded(field.offset, width, field.classSize) || !FitsOrUnbounded(field.offset, width, readableBytes))
        return {Outcome::Refused, 0};
    const uintptr_t fieldAddress = base + field.offset;
    if (!IsPlausibleAddress(fieldAddress)) return {Outcome::Refused, 0};

    if (next == nullptr)
        return ReadLastField(fieldAddress, spec->GetElementType(), field,
                             [this](uintptr_t reference) { return IsStringObject(reference); });
    if (HoldsReference(field)) return FetchStep(0, 0, next, fieldAddress, false, sizeof(uintptr_t), depth + 1);
    if (!inlineValue) return {Outcome::Refused, 0};
    // A value type held inline: the next step reads inside it.
    const std::optional<ModuleClassIDPair> pair = ResolveValueTypeClass(next, field.typeToken, field.module);
    if (!pair) {
        QX_LOG(LogLevel::Everything, "FetchConditionalData", "Need to traverse to next object %s, NIE",
               next->GetFieldName().c_str());
        return {Outcome::Unavailable, 0};
    }
    const size_t limit = field.classSize != 0 ? field.classSize : readableBytes;
    const size_t inlineBytes = limit != 0 ? limit - field.offset : 0;
    return FetchStep(pair->moduleId, pair->classId, next, fieldAddress, true, inlineBytes, depth + 1);
}

VariableInfo* PropertyInspector::RecordForPath(ModuleID moduleId, ClassID classId, const PropertySpec* spec,
                                               uintptr_t address, bool valueIsDirect, size_t readableBytes) {
    auto record = std::make_unique<VariableInfo>();
    if (spec == nullptr) {
        record->SetType(Unknown);
        return record.release();
    }
    record->SetName(spec->GetName());
    const VariableType type = ConvertToVariableType(GetSpecUnderlyingType(spec));
    record->SetType(type);
    const StepResult result = FetchStep(moduleId, classId, spec, address, valueIsDirect, readableBytes, 0);
    switch (result.outcome) {
        case Outcome::Data:
            if (type == String) {
                const SystemContext* context = g_Context;
                const int32_t units =
                    ReadInt32(result.data - context->GetBufferOffset() + context->GetStringLengthOffset());
                if (static_cast<uint32_t>(units) > VariableInfo::MaxStringUnits) record->SetType(LongString);
            }
            record->AddValue(AsAddress(result.data));
            break;
        case Outcome::Null:
        case Outcome::Unavailable:
            record->SetType(type == String ? NullString : NullObject);
            break;
        case Outcome::EmptyString:
            record->SetType(EmptyString);
            break;
        case Outcome::Refused:
            record->SetType(Unknown);
            break;
        case Outcome::Reference:
            CaptureReference(*record, LastStep(spec), result);
            break;
        case Outcome::NoStringLayout:  // a string whose contents cannot be located
            break;
    }
    return record.release();
}

VariableInfo* PropertyInspector::FetchConditionalPropertyFromObject(ModuleID moduleId, ClassID classId,
                                                                    const PropertySpec* spec, uintptr_t address,
                                                                    bool valueIsDirect) {
    return RecordForPath(moduleId, classId, spec, address, valueIsDirect, 0);
}

uintptr_t PropertyInspector::FetchConditionalDataFromObject(ModuleID moduleId, ClassID classId,
                                                            const PropertySpec* spec, uintptr_t address,
                                                            bool valueIsDirect) {
    const StepResult result = FetchStep(moduleId, classId, spec, address, valueIsDirect, 0, 0);
    return result.outcome == Outcome::Data ? result.data : 0;
}

void PropertyInspector::ExtractThisPtrInfo(ModuleID moduleId, ClassID classId,
                                           const MonitoredFunctionDefinition* definition, RecordList& result,
                                           uintptr_t thisReference) {
    if (definition == nullptr) return;
    for (const PropertySpec* spec : definition->GetSpecsForArgument(MethodPlan::ThisPtrName())) {
        if (spec == nullptr) continue;
        // A path through a collection is not supported: it ends the `this` paths.
        if (spec->GetFieldName().find("##") != std::string::npos) break;
        std::unique_ptr<VariableInfo> record(
            FetchConditionalPropertyFromObject(moduleId, classId, spec, thisReference, true));
        result.Keep(std::move(*record));
    }
}
