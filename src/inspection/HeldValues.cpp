#include <algorithm>
#include <memory>
#include <string>

#include "environment/SystemContext.h"
#include "inspection/FieldAnswerCache.h"
#include "inspection/ManagedMemory.h"
#include "inspection/PropertyInspector.h"
#include "inspection/RuntimeAccess.h"
#include "inspection/SecretMasker.h"
#include "inspection/ValueLimits.h"

// What a path's last reference gives: the elements of a collection (a command's parameters), and
// the value a field of type object holds (each parameter's value).

using namespace Variables;
using ManagedMemory::AsAddress;
using ManagedMemory::FitsOrUnbounded;
using ManagedMemory::IsNullReference;
using ManagedMemory::IsObjectReference;
using ManagedMemory::ReadInt32;
using ManagedMemory::ReadPointer;
using RuntimeAccess::NameBufferLength;
using RuntimeAccess::Narrow;
using RuntimeAccess::OpenModuleMetaData;

namespace {

// An array's length follows its class word.
constexpr uintptr_t VectorLengthOffset = sizeof(uintptr_t);
// A boxed value's data follows its class word.
constexpr uintptr_t BoxDataOffset = sizeof(uintptr_t);

// A string object as a record's value: its first character, or the null, empty or long kinds.
void TextInto(VariableInfo& record, uintptr_t reference) {
    const SystemContext* context = g_Context;
    record.SetType(String);
    if (context == nullptr || !context->HasStringLayout()) return;  // sent as a string without contents
    const int32_t length = ReadInt32(reference + context->GetStringLengthOffset());
    if (!ManagedMemory::IsPlausibleStringLength(length)) {
        record.SetType(Unknown);
    } else if (length == 0) {
        record.SetType(EmptyString);
    } else {
        if (static_cast<uint32_t>(length) > VariableInfo::MaxStringUnits) record.SetType(LongString);
        record.AddValue(AsAddress(reference + context->GetBufferOffset()));
    }
}

// Whether an element's first record, its name, names a secret.
bool NamesASecret(const VariableInfo& name) {
    if (name.GetType() != String || name.GetValues().empty()) return false;
    const void* first = name.GetValues().front();
    uint32_t units = 0;
    if (ManagedMemory::StringUnitsAt(first, units) != ManagedMemory::StringState::Known) return false;
    return SecretMasker::IsSecretName(static_cast<const char16_t*>(first), units);
}

}  // namespace

void PropertyInspector::CaptureReference(VariableInfo& record, const PropertySpec* last, const StepResult& result) {
    if (last == nullptr || result.data == 0) return;  // an inline value type: sent without fields
    if (const CollectionSpec* collection = last->GetCollection())
        CaptureCollection(record, *collection, result.data, result.fieldType);
    else if (last->GetElementType() == ELEMENT_TYPE_OBJECT)
        CaptureHeldValue(record, ReadPointer(result.data));
}

void PropertyInspector::CaptureCollection(VariableInfo& record, const CollectionSpec& collection, uintptr_t slot,
                                          uint32_t fieldType) {
    record.SetType(Object);
    const uintptr_t holder = ReadPointer(slot);
    uintptr_t array = holder;
    uintptr_t countAddress = holder + VectorLengthOffset;
    if (fieldType != ELEMENT_TYPE_SZARRAY) {
        // A List<T>: its item array and its count, where this instantiation's layout has them.
        const ClassID classId = ManagedMemory::ClassOf(holder);
        FieldFacts items, size;
        if (classId == 0 || !LookUpField(0, classId, &collection.items, items) ||
            !LookUpField(0, classId, &collection.size, size) || items.type != ELEMENT_TYPE_SZARRAY ||
            size.type != ELEMENT_TYPE_I4 || !FitsOrUnbounded(items.offset, sizeof(uintptr_t), items.classSize) ||
            !FitsOrUnbounded(size.offset, sizeof(int32_t), size.classSize)) {
            record.SetType(Unknown);
            return;
        }
        array = ReadPointer(holder + items.offset);
        countAddress = holder + size.offset;
    }
    uint32_t length = 0;
    uintptr_t data = 0;
    if (!IsObjectReference(array) || !ManagedMemory::VectorOf(array, length, data)) {
        record.SetType(Unknown);
        return;
    }
    auto count = std::make_unique<VariableInfo>();
    count->SetName(collection.size.GetName());
    count->SetType(Int32);
    count->AddValue(AsAddress(countAddress));
    record.AddValue(count.release());

    const int32_t declared = ReadInt32(countAddress);
    const size_t present = declared < 0 ? 0 : std::min<size_t>(static_cast<size_t>(declared), length);
    if (present > CollectionSpec::MaxElements) ValueLimits::ReportCut(ValueLimits::Cut::Elements, record.GetName());
    const size_t taken = std::min(present, CollectionSpec::MaxElements);
    for (size_t i = 0; i < taken; ++i) record.AddValue(ElementRecord(collection, data + i * sizeof(uintptr_t), i));
}

// An element as an object named by its index, one record per element path; when the first one,
// its name, names a secret, the others are masked.
VariableInfo* PropertyInspector::ElementRecord(const CollectionSpec& collection, uintptr_t slot, size_t index) {
    auto element = std::make_unique<VariableInfo>();
    element->SetName(std::to_string(index));
    element->SetType(Object);
    if (IsNullReference(ReadPointer(slot))) {
        element->SetType(NullObject);
        return element.release();
    }
    bool secret = false;
    for (size_t k = 0; k < collection.elements.size(); ++k) {
        std::unique_ptr<VariableInfo> field(
            RecordForPath(0, 0, collection.elements[k], slot, false, sizeof(uintptr_t)));
        if (k == 0)
            secret = NamesASecret(*field);
        else
            field->SetMasked(secret);
        element->AddValue(field.release());
    }
    return element.release();
}

void PropertyInspector::CaptureHeldValue(VariableInfo& record, uintptr_t reference) {
    if (IsNullReference(reference)) {
        record.SetType(NullObject);
        return;
    }
    ValueClass scratch;
    const ValueClass* valueClass =
        IsObjectReference(reference) ? ValueClassOf(ManagedMemory::ClassOf(reference), scratch) : nullptr;
    if (valueClass == nullptr) {
        record.SetType(Unknown);
        return;
    }
    switch (valueClass->kind) {
        case ValueClass::Kind::Text:
            TextInto(record, reference);
            return;
        case ValueClass::Kind::Scalar:
            // Every object spans at least three words, so the widest scalar lies inside it.
            record.SetType(valueClass->scalar);
            record.AddValue(AsAddress(reference + BoxDataOffset));
            return;
        case ValueClass::Kind::Null:
            record.SetType(NullObject);
            return;
        case ValueClass::Kind::Composite:
            record.SetType(Struct);
            record.SetClassName(valueClass->name);
            for (size_t i = 0; i < valueClass->fieldCount; ++i)
                record.AddValue(
                    RecordForPath(0, valueClass->classId, valueClass->fields[i], reference + BoxDataOffset, true, 0));
            return;
        case ValueClass::Kind::Named:
            record.SetType(Object);
            record.SetClassName(valueClass->name);
            record.SetTypeNamed(true);
            return;
    }
}

const ValueClass* PropertyInspector::ValueClassOf(ClassID classId, ValueClass& scratch) {
    if (classId == 0) return nullptr;
    if (const ValueClass* known = valueClasses.Find(classId)) return known;
    ICorProfilerInfo* info = RuntimeAccess::Info();
    ModuleID moduleId = 0;
    mdTypeDef typeDef = 0;
    if (info == nullptr || FAILED(info->GetClassIDInfo(classId, &moduleId, &typeDef))) return nullptr;
    std::string name;
    // An array has no definition of its own, and so no name here.
    if (typeDef != 0) {
        MetaDataImportRef import;
        char16_t text[NameBufferLength] = {};
        ULONG length = 0;
        DWORD flags = 0;
        mdToken extends = 0;
        if (!OpenModuleMetaData(moduleId, import) ||
            FAILED(import.Get()->GetTypeDefProps(typeDef, text, NameBufferLength, &length, &flags, &extends)) ||
            !Narrow(text, name))
            return nullptr;
    }
    scratch = ValueClassCache::Classify(classId, std::move(name));
    const ValueClass* published = valueClasses.Publish(scratch);
    return published != nullptr ? published : &scratch;
}
