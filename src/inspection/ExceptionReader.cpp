#include "inspection/ExceptionReader.h"

#include <memory>
#include <new>

#include "commands/PayloadWriter.h"
#include "environment/Logger.h"
#include "environment/SystemContext.h"
#include "inspection/FieldLookup.h"
#include "inspection/ManagedMemory.h"
#include "inspection/RuntimeAccess.h"
#include "platform/MetaDataTypes.h"

using ManagedMemory::FitsOrUnbounded;
using ManagedMemory::IsNullReference;
using ManagedMemory::IsObjectReference;
using ManagedMemory::IsPlausibleAddress;
using RuntimeAccess::NameBufferLength;

namespace {

constexpr char ExceptionClassName[] = "System.Exception";
constexpr char MessageField[] = "_message";

size_t SlotOf(ClassID classId) {
    // Class ids are addresses: the low bits carry no information.
    const uint64_t value = (static_cast<uint64_t>(classId) >> 3) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(value >> 32) & (ExceptionReader::Capacity - 1);
}

// The class's full name, "Ns.Outer+Inner`1"; false when the runtime or the metadata do not answer.
bool NameOf(ClassID classId, std::string& out) {
    ICorProfilerInfo* info = RuntimeAccess::Info();
    ModuleID module = 0;
    mdTypeDef typeDef = 0;
    if (info == nullptr || FAILED(info->GetClassIDInfo(classId, &module, &typeDef)) || typeDef == 0) return false;
    MetaDataImportRef import;
    if (!RuntimeAccess::OpenModuleMetaData(module, import)) return false;
    std::u16string full;
    for (int level = 0; level < ExceptionReader::MaxNesting; ++level) {
        char16_t name[NameBufferLength] = {};
        ULONG length = 0;
        DWORD flags = 0;
        mdToken extends = 0;
        if (FAILED(import.Get()->GetTypeDefProps(typeDef, name, NameBufferLength, &length, &flags, &extends)))
            return false;
        name[NameBufferLength - 1] = u'\0';
        full = level == 0 ? std::u16string(name) : std::u16string(name) + u'+' + full;
        if (!IsTdNested(flags)) {
            out = Utf8Of(full.data(), full.size());
            return !out.empty();
        }
        mdTypeDef enclosing = 0;
        if (FAILED(import.Get()->GetNestedClassProps(typeDef, &enclosing)) || enclosing == typeDef) return false;
        typeDef = enclosing;
    }
    return false;
}

// Once per process: a line for a fact that does not change.
void ReportOnce(std::atomic<bool>& reported, const char* what) {
    if (reported.exchange(true, std::memory_order_relaxed)) return;
    QX_LOG(LogLevel::Warning, "ExceptionRaised", "%s (reported once)", what);
}

std::atomic<bool> unknownClassReported{false};
std::atomic<bool> tableFullReported{false};
std::atomic<bool> noMessageFieldReported{false};

}  // namespace

ExceptionReader::~ExceptionReader() {
    for (auto& entry : entries) delete entry.load(std::memory_order_acquire);
    delete base.load(std::memory_order_acquire);
}

ExceptionReader::Details ExceptionReader::Read(ObjectID exceptionObject, ClassFacts& spare) noexcept {
    Details details;
    details.typeName = &spare.typeName;
    try {
        const auto object = static_cast<uintptr_t>(exceptionObject);
        if (!IsObjectReference(object)) return details;
        const ClassID classId = ManagedMemory::ClassOf(object);
        if (classId == 0) {
            ReportOnce(unknownClassReported,
                       "The runtime did not tell the class of a thrown object: its details are sent empty");
            return details;
        }
        const ClassFacts* facts = FactsOf(classId, spare);
        details.typeName = &facts->typeName;
        if (facts->derivesFromException) ReadMessage(object, details);
    } catch (...) {
        // Out of memory while learning a class: the details stay empty, the runtime never knows.
        details = Details{};
        details.typeName = &spare.typeName;
    }
    return details;
}

const ExceptionReader::ClassFacts* ExceptionReader::FactsOf(ClassID classId, ClassFacts& spare) {
    if (const ClassFacts* known = Find(classId)) return known;
    auto fresh = std::make_unique<ClassFacts>();
    fresh->classId = classId;
    const bool named = NameOf(classId, fresh->typeName);
    if (!named) fresh->typeName.clear();
    fresh->derivesFromException = DerivesFromException(classId, fresh->typeName);
    bool first = false;
    const ClassFacts* kept = Publish(fresh.get(), first);
    if (kept == fresh.get()) fresh.release();
    if (kept == nullptr) {
        ReportOnce(tableFullReported,
                   "More classes of exceptions were thrown than are remembered: the others are "
                   "looked up on every throw");
        spare = std::move(*fresh);
        return &spare;
    }
    // Said once per class: only the thread whose answer was kept says it.
    if (first && !named)
        QX_LOG(LogLevel::Warning, "ExceptionRaised",
               "The class 0x%llx of a thrown object could not be named: its details are sent without a type name",
               static_cast<unsigned long long>(classId));
    else if (first && !kept->derivesFromException)
        QX_LOG(LogLevel::Warning, "ExceptionRaised",
               "Objects of class %s are thrown but their message cannot be read: they are sent without one",
               kept->typeName.c_str());
    return kept;
}

const ExceptionReader::ClassFacts* ExceptionReader::Find(ClassID classId) const {
    const size_t start = SlotOf(classId);
    for (size_t probe = 0; probe < MaxProbes; ++probe) {
        const ClassFacts* facts = entries[(start + probe) & (Capacity - 1)].load(std::memory_order_acquire);
        if (facts == nullptr) return nullptr;  // entries are never removed, so the probe ends here
        if (facts->classId == classId) return facts;
    }
    return nullptr;
}

const ExceptionReader::ClassFacts* ExceptionReader::Publish(ClassFacts* fresh, bool& first) {
    const size_t start = SlotOf(fresh->classId);
    for (size_t probe = 0; probe < MaxProbes; ++probe) {
        auto& entry = entries[(start + probe) & (Capacity - 1)];
        const ClassFacts* current = entry.load(std::memory_order_acquire);
        if (current == nullptr &&
            entry.compare_exchange_strong(current, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
            first = true;
            return fresh;
        }
        // Taken meanwhile, or before: by the same class another thread learnt, or by another.
        if (current->classId == fresh->classId) return current;
    }
    return nullptr;
}

size_t ExceptionReader::KnownClasses() const {
    size_t count = 0;
    for (const auto& entry : entries) count += entry.load(std::memory_order_acquire) != nullptr ? 1 : 0;
    return count;
}

bool ExceptionReader::DerivesFromException(ClassID classId, const std::string& name) {
    ICorProfilerInfo2* info = RuntimeAccess::Info2();
    const BaseFacts* known = base.load(std::memory_order_acquire);
    std::string ancestorName = name;
    for (int depth = 0; classId != 0 && depth < MaxClassDepth; ++depth) {
        if (known != nullptr && classId == known->classId) return true;
        // Until System.Exception was met once, the chain is recognised by name.
        if (known == nullptr) {
            if (depth > 0 && !NameOf(classId, ancestorName)) return false;
            if (ancestorName == ExceptionClassName) return LearnBase(classId) != nullptr;
        }
        ModuleID module = 0;
        mdTypeDef typeDef = 0;
        ClassID parent = 0;
        ULONG32 typeArguments = 0;
        if (info == nullptr ||
            FAILED(info->GetClassIDInfo2(classId, &module, &typeDef, &parent, 0, &typeArguments, nullptr)))
            return false;
        classId = parent;
    }
    return false;
}

const ExceptionReader::BaseFacts* ExceptionReader::LearnBase(ClassID exceptionClass) {
    ICorProfilerInfo* info = RuntimeAccess::Info();
    ModuleID module = 0;
    mdTypeDef typeDef = 0;
    if (info == nullptr || FAILED(info->GetClassIDInfo(exceptionClass, &module, &typeDef))) return nullptr;
    FieldFacts field;
    const FieldLookup::Match match = FieldLookup::Find(module, exceptionClass, MessageField, field);
    std::unique_ptr<BaseFacts> fresh(new (std::nothrow) BaseFacts);
    if (!fresh) return nullptr;
    fresh->classId = exceptionClass;
    // Only System.Exception's own field: a base class of it would not be the exception's message.
    fresh->hasMessage = match == FieldLookup::Match::Found && field.type == ELEMENT_TYPE_STRING;
    fresh->messageOffset = field.offset;
    fresh->classSize = field.classSize;
    if (!fresh->hasMessage)
        ReportOnce(noMessageFieldReported,
                   "System.Exception has no string field _message here: exceptions are sent without messages");
    const BaseFacts* expected = nullptr;
    if (base.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire))
        return fresh.release();
    return expected;  // another thread learnt the same meanwhile
}

void ExceptionReader::ReadMessage(uintptr_t object, Details& details) const {
    const BaseFacts* facts = base.load(std::memory_order_acquire);
    const SystemContext* context = g_Context;
    if (facts == nullptr || !facts->hasMessage || context == nullptr || !context->HasStringLayout()) return;
    if (!FitsOrUnbounded(facts->messageOffset, sizeof(uintptr_t), facts->classSize)) return;
    const uintptr_t slot = object + facts->messageOffset;
    if (!IsPlausibleAddress(slot)) return;
    const uintptr_t reference = ManagedMemory::ReadPointer(slot);
    if (IsNullReference(reference) || !IsObjectReference(reference)) return;
    const int32_t length = ManagedMemory::ReadInt32(reference + context->GetStringLengthOffset());
    if (!ManagedMemory::IsPlausibleStringLength(length)) return;
    details.message = reinterpret_cast<const char16_t*>(reference + context->GetBufferOffset());
    details.messageUnits = static_cast<uint32_t>(length);
}
