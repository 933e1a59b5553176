#include "inspection/PropertyInspector.h"

#include "inspection/ManagedMemory.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <memory>

#include "commands/BeginCallCommand.h"
#include "environment/ErrorBoundary.h"
#include "environment/Logger.h"
#include "environment/SystemContext.h"
#include "environment/profiler_pal.h"
#include "inspection/SignatureCursor.h"
#include "mapping/LookupHelper.h"
#include "mapping/MetaDataHandles.h"
#include "platform/InterfaceIds.h"
#include "platform/MetaData.h"

using namespace Variables;
using Outcome = PropertyInspector::Outcome;
using StepResult = PropertyInspector::StepResult;

namespace {

constexpr uintptr_t NullReference32 = 0xFFFFFFFF;
constexpr ULONG NameBufferLength = 1024;
// More parameters than this are not captured (the begin-call command counts them in a byte).
constexpr uint32_t MaxParameters = 1024;
// A class with more fields than this is not a class the runtime laid out.
constexpr ULONG MaxLayoutFields = 1u << 16;
constexpr int MaxSkippedGenericArguments = 64;
// The longest string the runtime can allocate; a header claiming more is not a string.
constexpr int32_t MaxManagedStringLength = 0x3FFFFFDF;
constexpr uint32_t SpanByteLimit = 4096;
constexpr uint32_t BytePointerDefaultLimit = 1024;
// A span of bytes: its 8-byte reference (or, in the older layout, a null object and then the
// reference), followed by its 32-bit length.
constexpr size_t SpanLengthOffset = 8;

// Below the lowest mappable page or above user space nothing can be read.
bool IsPlausibleAddress(uintptr_t address) { return address >= 0x10000 && address < 0x0000800000000000ull; }

bool IsObjectReference(uintptr_t address) { return IsPlausibleAddress(address) && (address & 7) == 0; }

// Whether `width` bytes at `offset` lie within `limit` bytes; a limit of 0 is not known.
bool Fits(size_t offset, size_t width, size_t limit) {
    return limit == 0 || (offset <= limit && width <= limit - offset);
}

uintptr_t ReadPointer(uintptr_t address) {
    uintptr_t value = 0;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof(value));
    return value;
}

int32_t ReadInt32(uintptr_t address) {
    int32_t value = 0;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof(value));
    return value;
}

const void* AsAddress(uintptr_t address) { return reinterpret_cast<const void*>(address); }

const SystemContext* Context() { return g_Context; }

ICorProfilerInfo* Info() {
    const SystemContext* context = Context();
    if (context == nullptr) return nullptr;
    if (ICorProfilerInfo* info = context->GetProfilerInfo()) return info;
    return context->GetProfiler2Info();
}

ICorProfilerInfo2* Info2() {
    const SystemContext* context = Context();
    return context == nullptr ? nullptr : context->GetProfiler2Info();
}

// The runtime may fill a name buffer to its last unit without a terminator.
bool Narrow(char16_t* text, std::string& out) {
    text[NameBufferLength - 1] = u'\0';
    return NarrowName(text, out);
}

bool OpenModuleMetaData(ModuleID moduleId, MetaDataImportRef& import) {
    // Kept from the module's load where the probe engine scanned it: inside a probe the runtime
    // refuses to hand it out.
    if (LookupHelper* lookup = g_Lookup) {
        *import.Out() = lookup->ModuleImport(moduleId);
        return import.Get() != nullptr;
    }
    ICorProfilerInfo* info = Info();
    if (info == nullptr) return false;
    // A resource-only module succeeds without an interface.
    return SUCCEEDED(info->GetModuleMetaData(moduleId, ofRead, &IID_IMetaDataImport, import.Out())) &&
           import.Get() != nullptr;
}

// ---- Method facts --------------------------------------------------------------------------

}  // namespace

struct MethodFacts {
    MetaDataImportRef import;
    mdToken methodToken = 0;
    mdTypeDef owner = 0;
    ClassID classId = 0;
    ModuleID moduleId = 0;
    PCCOR_SIGNATURE signature = nullptr;
    ULONG signatureLength = 0;
};

namespace {

// The class of the function's frame: exact (instantiated) with the frame's information.
bool ReadFunctionClass(FunctionID functionId, COR_PRF_FRAME_INFO frameInfo, MethodFacts& facts) {
    ICorProfilerInfo* info = Info();
    if (info == nullptr || functionId == 0) return false;
    mdToken token = 0;
    ULONG32 typeArgumentCount = 0;
    ModuleID moduleId = 0;
    ICorProfilerInfo2* info2 = Info2();
    const bool exact = info2 != nullptr &&
                       SUCCEEDED(info2->GetFunctionInfo2(functionId, frameInfo, &facts.classId, &moduleId, &token, 0,
                                                         &typeArgumentCount, nullptr)) &&
                       facts.classId != 0;
    if (!exact && FAILED(info->GetFunctionInfo(functionId, &facts.classId, &moduleId, &token))) return false;
    if (facts.moduleId == 0) facts.moduleId = moduleId;
    return true;
}

bool ReadMethodFacts(FunctionID functionId, COR_PRF_FRAME_INFO frameInfo, MethodFacts& facts) {
    ICorProfilerInfo* info = Info();
    if (info == nullptr || functionId == 0) return false;
    if (FAILED(info->GetTokenAndMetaDataFromFunction(functionId, &IID_IMetaDataImport, facts.import.Out(),
                                                     &facts.methodToken)) ||
        facts.import.Get() == nullptr)
        return false;
    if (!ReadFunctionClass(functionId, frameInfo, facts)) return false;

    mdTypeDef owner = 0;
    ULONG nameLength = 0, codeRva = 0;
    DWORD attributes = 0, implementationFlags = 0;
    return SUCCEEDED(facts.import.Get()->GetMethodProps(facts.methodToken, &owner, nullptr, 0, &nameLength, &attributes,
                                                        &facts.signature, &facts.signatureLength, &codeRva,
                                                        &implementationFlags)) &&
           facts.signature != nullptr;
}

// The same for a method definition of a module, before any runtime id of it exists.
bool ReadDefinitionFacts(ModuleID moduleId, mdToken methodToken, MethodFacts& facts) {
    if (!OpenModuleMetaData(moduleId, facts.import)) return false;
    facts.methodToken = methodToken;
    facts.moduleId = moduleId;
    ULONG nameLength = 0, codeRva = 0;
    DWORD attributes = 0, implementationFlags = 0;
    return SUCCEEDED(facts.import.Get()->GetMethodProps(methodToken, &facts.owner, nullptr, 0, &nameLength, &attributes,
                                                        &facts.signature, &facts.signatureLength, &codeRva,
                                                        &implementationFlags)) &&
           facts.signature != nullptr;
}

struct SignatureHeader {
    bool hasThis = false;
    uint32_t parameterCount = 0;
};

// Leaves the cursor on the return type.
bool ReadSignatureHeader(SignatureCursor& cursor, SignatureHeader& header) {
    uint8_t convention = 0;
    if (!cursor.ReadByte(convention)) return false;
    const uint8_t kind = convention & IMAGE_CEE_CS_CALLCONV_MASK;
    if (kind == IMAGE_CEE_CS_CALLCONV_FIELD || kind == IMAGE_CEE_CS_CALLCONV_LOCAL_SIG ||
        kind == IMAGE_CEE_CS_CALLCONV_PROPERTY || kind == IMAGE_CEE_CS_CALLCONV_GENERICINST)
        return false;
    header.hasThis = (convention & IMAGE_CEE_CS_CALLCONV_HASTHIS) != 0;
    // A generic method counts its type parameters before its parameters.
    uint32_t genericParameters = 0;
    if ((convention & IMAGE_CEE_CS_CALLCONV_GENERIC) != 0 && !cursor.ReadCompressed(genericParameters)) return false;
    return cursor.ReadCompressed(header.parameterCount);
}

// Parameter names by position, from the rows' sequence numbers: a row for the return value
// (sequence 0) or a parameter without a row must not shift the names of the others.
std::vector<std::string> ParameterNames(const MethodFacts& facts, uint32_t parameterCount) {
    std::vector<std::string> names(std::min(parameterCount, MaxParameters));
    if (names.empty()) return names;
    IMetaDataImport* import = facts.import.Get();
    MetaDataEnum handle(import);
    std::vector<mdParamDef> tokens(names.size() + 1);
    ULONG fetched = 0;
    if (FAILED(import->EnumParams(handle.Out(), facts.methodToken, tokens.data(), static_cast<ULONG>(tokens.size()),
                                  &fetched)))
        return names;
    fetched = std::min<ULONG>(fetched, static_cast<ULONG>(tokens.size()));
    for (ULONG k = 0; k < fetched; ++k) {
        char16_t name[NameBufferLength] = {};
        mdMethodDef owner = 0;
        ULONG sequence = 0, nameLength = 0, valueLength = 0;
        DWORD attributes = 0, constantType = 0;
        UVCP_CONSTANT value = nullptr;
        if (FAILED(import->GetParamProps(tokens[k], &owner, &sequence, name, NameBufferLength, &nameLength, &attributes,
                                         &constantType, &value, &valueLength)))
            continue;
        if (sequence == 0 || sequence > names.size()) continue;
        Narrow(name, names[sequence - 1]);
    }
    return names;
}

// ---- Fields --------------------------------------------------------------------------------

bool ReadFieldType(PCCOR_SIGNATURE signature, ULONG length, FieldFacts& facts) {
    SignatureCursor cursor(signature, length);
    uint8_t convention = 0;
    if (!cursor.ReadByte(convention) || (convention & IMAGE_CEE_CS_CALLCONV_MASK) != IMAGE_CEE_CS_CALLCONV_FIELD)
        return false;
    uint32_t type = 0;
    if (!cursor.ReadCompressed(type)) return false;
    // Custom modifiers (a volatile field carries one) precede the type.
    while (type == ELEMENT_TYPE_CMOD_REQD || type == ELEMENT_TYPE_CMOD_OPT) {
        mdToken modifier = 0;
        if (!cursor.ReadTypeDefOrRef(modifier) || !cursor.ReadCompressed(type)) return false;
    }
    if (type == ELEMENT_TYPE_GENERICINST) {
        uint8_t kind = 0;
        if (!cursor.ReadByte(kind) || !cursor.ReadTypeDefOrRef(facts.typeToken)) return false;
        facts.genericKind = kind;
    } else if ((type == ELEMENT_TYPE_CLASS || type == ELEMENT_TYPE_VALUETYPE) &&
               !cursor.ReadTypeDefOrRef(facts.typeToken)) {
        return false;
    }
    facts.type = type;
    return true;
}

bool HoldsReference(const FieldFacts& field) {
    switch (field.type) {
        case ELEMENT_TYPE_CLASS:
        case ELEMENT_TYPE_OBJECT:
        case ELEMENT_TYPE_STRING:
        case ELEMENT_TYPE_SZARRAY:
        case ELEMENT_TYPE_ARRAY:
            return true;
        case ELEMENT_TYPE_GENERICINST:
            return field.genericKind == ELEMENT_TYPE_CLASS;
        default:
            return false;
    }
}

enum class Match { Found, Absent, Failed };

Match MatchField(ModuleID moduleId, const std::vector<COR_FIELD_OFFSET>& offsets, const std::string& fieldName,
                 FieldFacts& facts) {
    MetaDataImportRef import;
    if (!OpenModuleMetaData(moduleId, import)) return Match::Failed;
    for (const COR_FIELD_OFFSET& entry : offsets) {
        char16_t name[NameBufferLength] = {};
        mdTypeDef owner = 0;
        ULONG nameLength = 0, signatureLength = 0, valueLength = 0;
        DWORD attributes = 0, constantType = 0;
        PCCOR_SIGNATURE signature = nullptr;
        UVCP_CONSTANT value = nullptr;
        if (FAILED(import.Get()->GetFieldProps(entry.ridOfField, &owner, name, NameBufferLength, &nameLength,
                                               &attributes, &signature, &signatureLength, &constantType, &value,
                                               &valueLength)))
            continue;
        std::string narrow;
        if (!Narrow(name, narrow) || narrow != fieldName) continue;
        facts.offset = entry.ulOffset;
        if (signature == nullptr || !ReadFieldType(signature, signatureLength, facts)) facts.type = ELEMENT_TYPE_END;
        return Match::Found;
    }
    return Match::Absent;
}

// The field of that name in the class's layout or, failing that, in its base classes' (a
// layout lists only the fields the class itself declares). Failed: the runtime did not answer.
Match FindField(ModuleID moduleId, ClassID classId, const std::string& fieldName, FieldFacts& facts) {
    ICorProfilerInfo2* info = Info2();
    if (info == nullptr) return Match::Failed;
    if (fieldName.empty()) return Match::Absent;
    for (int depth = 0; classId != 0 && depth < PropertyInspector::MaxClassDepth; ++depth) {
        if (depth > 0) {
            mdTypeDef typeDef = 0;
            if (FAILED(info->GetClassIDInfo(classId, &moduleId, &typeDef))) return Match::Failed;
        }
        ULONG count = 0, size = 0;
        if (FAILED(info->GetClassLayout(classId, nullptr, 0, &count, &size))) return Match::Failed;
        if (count > MaxLayoutFields) return Match::Absent;
        if (count > 0) {
            std::vector<COR_FIELD_OFFSET> offsets(count);
            ULONG written = 0;
            if (FAILED(info->GetClassLayout(classId, offsets.data(), count, &written, &size))) return Match::Failed;
            offsets.resize(std::min(written, count));
            const Match match = MatchField(moduleId, offsets, fieldName, facts);
            if (match == Match::Found) {
                facts.classSize = size;
                facts.module = moduleId;
            }
            if (match != Match::Absent) return match;
        }
        ClassID parent = 0;
        ModuleID module = 0;
        mdTypeDef typeDef = 0;
        ULONG32 typeArgumentCount = 0;
        if (FAILED(info->GetClassIDInfo2(classId, &module, &typeDef, &parent, 0, &typeArgumentCount, nullptr)))
            return Match::Failed;
        classId = parent;
    }
    return Match::Absent;
}

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
    if (reference == 0 || reference == NullReference32) return {Outcome::Null, 0};
    if (!IsObjectReference(reference)) return {Outcome::Refused, 0};
    const SystemContext* context = Context();
    if (context == nullptr || !context->HasStringLayout()) return {Outcome::NoStringLayout, 0};
    const int32_t length = ReadInt32(reference + context->GetStringLengthOffset());
    if (length < 0 || length > MaxManagedStringLength) return {Outcome::Refused, 0};
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
            if (reference == 0 || reference == NullReference32) return {Outcome::Null, 0};
            if (!IsObjectReference(reference) || !isString(reference)) return {Outcome::Refused, 0};
            return StringAt(fieldAddress);
        }
        case ELEMENT_TYPE_CLASS:
        case ELEMENT_TYPE_OBJECT:
        case ELEMENT_TYPE_SZARRAY:
        case ELEMENT_TYPE_GENERICINST: {
            if (!HoldsReference(field)) return {Outcome::Refused, 0};
            const uintptr_t reference = ReadPointer(fieldAddress);
            if (reference == 0 || reference == NullReference32) return {Outcome::Null, 0};
            return {Outcome::Reference, 0};
        }
        case ELEMENT_TYPE_VALUETYPE:
            return field.type == ELEMENT_TYPE_VALUETYPE ? StepResult{Outcome::Reference, 0}
                                                        : StepResult{Outcome::Refused, 0};
        default:
            return {Outcome::Unavailable, 0};
    }
}

// The record of a value kept at `address` with room for `length` bytes, read whole: as wide
// as the argument allows, never wider than 8 bytes.
void RawRecordInto(VariableInfo& record, const std::string& name, uintptr_t address, size_t length) {
    record.Reset();
    record.SetName(name);
    VariableType type = Unknown;
    if (length >= 8)
        type = Int64;
    else if (length >= 4)
        type = Int32;
    else if (length >= 2)
        type = Int16;
    else if (length >= 1)
        type = Byte;
    if (type == Unknown || !IsPlausibleAddress(address)) {
        record.SetType(Unknown);
        return;
    }
    record.SetType(type);
    record.AddValue(AsAddress(address));
}

// A span of bytes passed by value: its data reference and its length lie in the argument.
void CaptureSpanBytes(VariableInfo& record, const COR_PRF_FUNCTION_ARGUMENT_RANGE& range) {
    const uintptr_t start = range.startAddress;
    const size_t length = range.length;
    if (!IsPlausibleAddress(start) || length < sizeof(uintptr_t)) return;
    uintptr_t data = ReadPointer(start);
    size_t lengthAt = SpanLengthOffset;
    if (data == 0) {
        if (length < 2 * sizeof(uintptr_t)) return;
        data = ReadPointer(start + sizeof(uintptr_t));
        lengthAt += sizeof(uintptr_t);
    }
    if (!Fits(lengthAt, sizeof(int32_t), length)) return;
    const int32_t count = ReadInt32(start + lengthAt);
    if (count <= 0 || !IsPlausibleAddress(data)) return;
    const size_t taken = std::min<size_t>(static_cast<size_t>(count), SpanByteLimit);
    // The record keeps at most MaxEntries; one more lets it report the cut.
    for (size_t i = 0; i < taken && i <= VariableInfo::MaxEntries; ++i) record.AddValue(AsAddress(data + i));
}

// A zero-terminated byte buffer behind a pointer argument, at most `limit` bytes of it.
void CaptureZeroTerminatedBytes(VariableInfo& record, const COR_PRF_FUNCTION_ARGUMENT_RANGE& range,
                                const std::string& limitText) {
    if (!IsPlausibleAddress(range.startAddress) || range.length < sizeof(uintptr_t)) return;
    const uintptr_t data = ReadPointer(range.startAddress);
    if (!IsPlausibleAddress(data)) return;
    uint64_t limit = BytePointerDefaultLimit;
    if (!limitText.empty()) {
        uint64_t parsed = 0;
        const char* end = limitText.data() + limitText.size();
        const auto [stop, error] = std::from_chars(limitText.data(), end, parsed);
        if (error == std::errc() && stop == end && parsed >= 1) limit = parsed;
    }
    // Nothing past what the record can keep is read.
    for (uint64_t i = 0; i < limit && i <= VariableInfo::MaxEntries; ++i) {
        const uintptr_t at = data + i;
        if (*static_cast<const uint8_t*>(AsAddress(at)) == 0) break;
        record.AddValue(AsAddress(at));
    }
}

enum class PathStart { None, Reference, ValueType };

// Where a path into a parameter starts: at the object its slot references, or at the value type
// its slot holds (whose type token is returned). The definition's generic argument count skips
// into a generic instantiation; what is followed as a reference must be one by the parameter's
// own type, whatever the skipped prefix made of the bytes.
PathStart ArgumentPathStart(const SignatureCursor& parameter, int32_t genericArgumentCount, mdToken& token) {
    SignatureCursor peek = parameter;
    const int skipped = std::min<int32_t>(genericArgumentCount, MaxSkippedGenericArguments);
    for (int k = 0; k < skipped; ++k) {
        uint32_t ignored = 0;
        peek.ReadCompressed(ignored);
    }
    uint32_t elementType = 0;
    if (!peek.ReadCompressed(elementType)) return PathStart::None;
    SignatureCursor actual = parameter;
    uint32_t actualType = 0;
    uint8_t instantiated = 0;
    if (!actual.ReadCompressed(actualType)) return PathStart::None;
    if (actualType == ELEMENT_TYPE_GENERICINST && !actual.ReadByte(instantiated)) return PathStart::None;
    const bool isReference = actualType == ELEMENT_TYPE_CLASS ||
                             (actualType == ELEMENT_TYPE_GENERICINST && instantiated == ELEMENT_TYPE_CLASS);
    if (elementType == ELEMENT_TYPE_CLASS && isReference) return PathStart::Reference;
    if (elementType == ELEMENT_TYPE_VALUETYPE && actualType == ELEMENT_TYPE_VALUETYPE && peek.ReadTypeDefOrRef(token))
        return PathStart::ValueType;
    return PathStart::None;
}

std::string ThisPtrName() { return std::string(InspectionConstants::ThisPtrArgumentName); }
std::string ReturnValueName() { return std::string(InspectionConstants::ReturnValueArgumentName); }

// Whether the method's type derives from System.ValueType or System.Enum, and its class then.
void LearnThisType(const MethodFacts& facts, MethodMetadata& plan) {
    IMetaDataImport* import = facts.import.Get();
    char16_t name[NameBufferLength] = {};
    ULONG length = 0;
    DWORD flags = 0;
    mdToken extends = 0;
    if (import == nullptr ||
        FAILED(import->GetTypeDefProps(facts.owner, name, NameBufferLength, &length, &flags, &extends)))
        return;
    name[0] = u'\0';
    HRESULT hr = E_FAIL;
    mdToken scope = 0;
    if (TypeFromToken(extends) == mdtTypeRef)
        hr = import->GetTypeRefProps(extends, &scope, name, NameBufferLength, &length);
    else if (TypeFromToken(extends) == mdtTypeDef)
        hr = import->GetTypeDefProps(extends, name, NameBufferLength, &length, &flags, nullptr);
    std::string base;
    if (FAILED(hr) || !Narrow(name, base)) return;
    plan.thisIsValueType = base == "System.ValueType" || base == "System.Enum";
    ClassID classId = 0;
    ICorProfilerInfo* info = Info();
    // A generic type has no one class: its `this` paths are not followed without frame information.
    if (plan.thisIsValueType && info != nullptr &&
        SUCCEEDED(info->GetClassFromToken(facts.moduleId, facts.owner, &classId)))
        plan.thisValueClass = classId;
}

// Everything capture reads of a method besides the call's own values. False when the signature
// cannot be read: such a method is never captured.
bool PlanMethod(const MonitoredFunctionDefinition* definition, const MethodFacts& facts, MethodMetadata& plan) {
    SignatureCursor cursor(facts.signature, facts.signatureLength);
    SignatureHeader header;
    if (!ReadSignatureHeader(cursor, header)) return false;
    plan.methodToken = facts.methodToken;
    plan.moduleId = facts.moduleId;
    plan.signature = facts.signature;
    plan.signatureLength = facts.signatureLength;
    plan.hasThis = header.hasThis;
    plan.capturesThis = !definition->GetSpecsForArgument(ThisPtrName()).empty();
    plan.returnInspection = definition->GetInspectionTypeForArgument(ReturnValueName());
    SignatureCursor returned = cursor;
    plan.returnTypeRead = returned.ReadCompressed(plan.returnElementType);
    plan.returnTypeOffset = returned.GetOffset();
    cursor.SkipType();  // the return type; a malformed one leaves every parameter unknown
    plan.parameterNames = ParameterNames(facts, header.parameterCount);
    plan.parameters.clear();
    plan.parameters.reserve(plan.parameterNames.size());
    for (const std::string& name : plan.parameterNames) {
        // Each parameter's type is consumed whole whatever its capture, so the next one starts
        // right after it.
        MethodMetadata::Parameter parameter;
        parameter.typeOffset = cursor.GetOffset();
        cursor.SkipType();
        if (!name.empty()) parameter.inspection = definition->GetInspectionTypeForArgument(name);
        parameter.specs = &definition->GetSpecsForArgument(name);
        plan.parameters.push_back(parameter);
    }
    return true;
}

}  // namespace

// ---- Class identities ----------------------------------------------------------------------

ModuleClassIDPair PropertyInspector::CreateModuleClassIDPair(ModuleID moduleId, ClassID classId,
                                                             ModuleID requestingModuleId) {
    return ModuleClassIDPair(moduleId, classId, requestingModuleId);
}

std::optional<ModuleClassIDPair> PropertyInspector::GetModuleClassIDPair(const PropertySpec* spec,
                                                                         ModuleID requestingModuleId) const {
    return classCache.Find(spec, requestingModuleId);
}

std::optional<ModuleClassIDPair> PropertyInspector::SetModuleAndClassForSpec(const PropertySpec* spec,
                                                                             mdToken classToken, ModuleID moduleId,
                                                                             ClassID classId) {
    if (spec == nullptr || classId == 0) return std::nullopt;
    if (auto cached = classCache.Find(spec, moduleId)) return cached;
    // A type reference names a class of another module, whose metadata describes its fields.
    ModuleID definingModule = moduleId;
    if (TypeFromToken(classToken) == mdtTypeRef) {
        ModuleID owner = 0;
        mdTypeDef typeDef = 0;
        ICorProfilerInfo* info = Info();
        if (info != nullptr && SUCCEEDED(info->GetClassIDInfo(classId, &owner, &typeDef)) && owner != 0)
            definingModule = owner;
    }
    return classCache.Publish(spec, CreateModuleClassIDPair(definingModule, classId, moduleId));
}

std::optional<ModuleClassIDPair> PropertyInspector::ResolveValueTypeClass(const PropertySpec* spec, mdToken token,
                                                                          ModuleID moduleId) {
    if (auto cached = classCache.Find(spec, moduleId)) return cached;
    const mdToken table = TypeFromToken(token);
    if ((table != mdtTypeDef && table != mdtTypeRef) || (token & 0x00FFFFFFu) == 0) return std::nullopt;
    ICorProfilerInfo* info = Info();
    ClassID classId = 0;
    // Inside a hook the runtime refuses this query (it could load a type), so the classes are
    // found when the function is mapped (PrepareValueTypeClasses) and taken from the cache here.
    if (info == nullptr || FAILED(info->GetClassFromToken(moduleId, token, &classId)) || classId == 0)
        return std::nullopt;
    return SetModuleAndClassForSpec(spec, token, moduleId, classId);
}

bool PropertyInspector::IsStringObject(uintptr_t reference) {
    ICorProfilerInfo* info = Info();
    const ClassID classId = ManagedMemory::ClassOf(reference);
    if (info == nullptr || classId == 0) return false;
    const ClassID known = stringClass.load(std::memory_order_relaxed);
    if (known != 0) return classId == known;
    ModuleID moduleId = 0;
    mdTypeDef typeDef = 0;
    MetaDataImportRef import;
    if (FAILED(info->GetClassIDInfo(classId, &moduleId, &typeDef)) || !OpenModuleMetaData(moduleId, import))
        return false;
    char16_t name[NameBufferLength] = {};
    ULONG nameLength = 0;
    DWORD flags = 0;
    mdToken extends = 0;
    std::string narrow;
    if (FAILED(import.Get()->GetTypeDefProps(typeDef, name, NameBufferLength, &nameLength, &flags, &extends)) ||
        !Narrow(name, narrow) || narrow != "System.String")
        return false;
    stringClass.store(classId, std::memory_order_relaxed);
    return true;
}

// ---- Paths ---------------------------------------------------------------------------------

CorElementType PropertyInspector::GetSpecUnderlyingType(const PropertySpec* spec) {
    if (spec == nullptr) return ELEMENT_TYPE_END;
    for (int step = 1; spec->GetNext() != nullptr && step < MaxPathSteps; ++step) spec = spec->GetNext();
    return spec->GetElementType();
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

bool PropertyInspector::LookUpField(ModuleID moduleId, ClassID classId, const PropertySpec* spec, FieldFacts& field) {
    if (const FieldAnswerCache::Answer* known = fieldAnswers.Find(classId, spec)) {
        field = known->facts;
        return known->found;
    }
    if (moduleId == 0) {
        ICorProfilerInfo* info = Info();
        mdTypeDef typeDef = 0;
        if (info == nullptr || FAILED(info->GetClassIDInfo(classId, &moduleId, &typeDef))) return false;
    }
    const Match match = FindField(moduleId, classId, spec->GetFieldName(), field);
    // A runtime that did not answer may answer next time: only its answers are kept.
    if (match != Match::Failed) fieldAnswers.Publish(classId, spec, match == Match::Found, field);
    return match == Match::Found;
}

StepResult PropertyInspector::FetchStep(ModuleID moduleId, ClassID classId, const PropertySpec* spec, uintptr_t address,
                                        bool valueIsDirect, size_t readableBytes, int depth) {
    if (spec == nullptr || depth >= MaxPathSteps) return {Outcome::Refused, 0};
    uintptr_t base = address;
    if (valueIsDirect) {
        if (base == 0) return {Outcome::Null, 0};
        if (!IsPlausibleAddress(base)) return {Outcome::Refused, 0};
    } else {
        if (!IsPlausibleAddress(address) || !Fits(0, sizeof(uintptr_t), readableBytes)) return {Outcome::Refused, 0};
        base = ReadPointer(address);
        if (base == 0 || base == NullReference32) return {Outcome::Null, 0};
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

    FieldFacts field;
    if (!LookUpField(moduleId, classId, spec, field)) return {Outcome::Unavailable, 0};
    const PropertySpec* next = spec->GetNext();
    const bool inlineValue = next != nullptr && field.type == ELEMENT_TYPE_VALUETYPE;
    const size_t width = next == nullptr ? AccessWidth(spec->GetElementType()) : inlineValue ? 1 : sizeof(uintptr_t);
    if (width == 0) return {Outcome::Unavailable, 0};
    if (!Fits(field.offset, width, field.classSize) || !Fits(field.offset, width, readableBytes))
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
                const SystemContext* context = Context();
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
        case Outcome::Reference:       // sent without fields
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
    for (const PropertySpec* spec : definition->GetSpecsForArgument(ThisPtrName())) {
        if (spec == nullptr) continue;
        // A path through a collection is not supported: it ends the `this` paths.
        if (spec->GetFieldName().find("##") != std::string::npos) break;
        std::unique_ptr<VariableInfo> record(
            FetchConditionalPropertyFromObject(moduleId, classId, spec, thisReference, true));
        result.Keep(std::move(*record));
    }
}

// ---- Extraction ----------------------------------------------------------------------------

void PropertyInspector::PrepareValueTypeClasses(const MonitoredFunctionDefinition* definition, FunctionID functionId) {
    if (definition == nullptr) return;
    RunGuarded("PrepareValueTypeClasses", [&] {
        MethodFacts facts;
        if (ReadMethodFacts(functionId, 0, facts))
            Prepare(definition, facts, definition->GetFunctionId() == functionId);
    });
}

void PropertyInspector::PrepareDefinition(const MonitoredFunctionDefinition* definition, ModuleID moduleId,
                                          mdToken methodToken) {
    if (definition == nullptr) return;
    RunGuarded("PrepareDefinition", [&] {
        MethodFacts facts;
        if (ReadDefinitionFacts(moduleId, methodToken, facts)) Prepare(definition, facts, true);
    });
}

void PropertyInspector::Prepare(const MonitoredFunctionDefinition* definition, const MethodFacts& facts,
                                bool keepPlan) {
    auto plan = std::make_unique<MethodMetadata>();
    if (!PlanMethod(definition, facts, *plan)) return;
    if (plan->capturesThis && plan->hasThis && facts.owner != 0) LearnThisType(facts, *plan);
    if (plan->returnInspection == InspectionType::PropertyPath && plan->returnTypeRead &&
        plan->returnElementType == ELEMENT_TYPE_VALUETYPE) {
        SignatureCursor returned(plan->signature, plan->signatureLength, plan->returnTypeOffset);
        mdToken token = 0;
        if (returned.ReadTypeDefOrRef(token))
            for (const PropertySpec* spec : definition->GetSpecsForArgument(ReturnValueName()))
                ResolveValueTypeClass(spec, token, facts.moduleId);
    }
    for (size_t i = 0; i < plan->parameters.size(); ++i) {
        const MethodMetadata::Parameter& step = plan->parameters[i];
        if (plan->parameterNames[i].empty() || step.inspection != InspectionType::PropertyPath) continue;
        const SignatureCursor parameter(plan->signature, plan->signatureLength, step.typeOffset);
        mdToken token = 0;
        if (ArgumentPathStart(parameter, definition->GetGenericArgumentCount(), token) != PathStart::ValueType)
            continue;
        for (const PropertySpec* spec : *step.specs) ResolveValueTypeClass(spec, token, facts.moduleId);
    }
    // What every call would otherwise read again: the hooks take it from the definition.
    if (keepPlan && definition->GetMetadata() == nullptr)
        const_cast<MonitoredFunctionDefinition*>(definition)->SetMetadata(std::move(plan));
}

std::vector<VariableInfo> PropertyInspector::ExtractArgumentValues(BeginCallCommand* command,
                                                                   const MonitoredFunctionDefinition* definition,
                                                                   COR_PRF_FRAME_INFO frameInfo,
                                                                   const COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo) {
    std::vector<VariableInfo> result;
    ExtractArgumentValues(command, definition, frameInfo, argumentInfo, result);
    return result;
}

void PropertyInspector::ExtractArgumentValues(BeginCallCommand* command, const MonitoredFunctionDefinition* definition,
                                              COR_PRF_FRAME_INFO frameInfo,
                                              const COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo,
                                              std::vector<VariableInfo>& result) {
    if (definition == nullptr || argumentInfo == nullptr) {
        result.clear();
        return;
    }
    RecordList records(result);
    RunGuarded("ExtractArgumentValues", [&] {
        const MethodMetadata* plan = definition->GetMetadata();
        if (plan == nullptr) {
            CaptureUnplanned(command, definition, frameInfo, argumentInfo, records);
            return;
        }
        ClassID classId = 0;
        // The frame's exact class matters only to paths that start at `this`: the runtime is not
        // asked for it on every call of the other functions.
        // Without the frame's information (a probe) the class comes from `this` itself.
        if (plan->capturesThis && frameInfo != 0) {
            MethodFacts facts;
            if (!ReadFunctionClass(definition->GetFunctionId(), frameInfo, facts)) return;
            classId = facts.classId;
        }
        CaptureArguments(command, definition, *plan, classId, argumentInfo, records);
    });
    records.Finish();
}

void PropertyInspector::CaptureUnplanned(BeginCallCommand* command, const MonitoredFunctionDefinition* definition,
                                         COR_PRF_FRAME_INFO frameInfo,
                                         const COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo, RecordList& records) {
    MethodFacts facts;
    MethodMetadata plan;
    if (!ReadMethodFacts(definition->GetFunctionId(), frameInfo, facts) || !PlanMethod(definition, facts, plan)) return;
    CaptureArguments(command, definition, plan, facts.classId, argumentInfo, records);
}

void PropertyInspector::CaptureArguments(BeginCallCommand* command, const MonitoredFunctionDefinition* definition,
                                         const MethodMetadata& plan, ClassID classId,
                                         const COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo, RecordList& records) {
    const std::vector<std::string>& names = plan.parameterNames;

    const COR_PRF_FUNCTION_ARGUMENT_RANGE* ranges = argumentInfo->ranges;
    const size_t rangeCount = argumentInfo->numRanges;
    if (plan.hasThis && rangeCount > 0 && ranges[0].length >= sizeof(uintptr_t) &&
        IsPlausibleAddress(ranges[0].startAddress)) {
        const uintptr_t thisReference = ReadPointer(ranges[0].startAddress);
        if (command != nullptr) command->SetInstanceId(thisReference);
        if (thisReference != 0 && plan.capturesThis) {
            if (classId != 0)
                ExtractThisPtrInfo(plan.moduleId, classId, definition, records, thisReference);
            else if (plan.thisIsValueType && plan.thisValueClass != 0)
                ExtractThisPtrInfo(plan.moduleId, plan.thisValueClass, definition, records, thisReference);
            else if (!plan.thisIsValueType && IsObjectReference(thisReference))
                ExtractThisPtrInfo(0, ManagedMemory::ClassOf(thisReference), definition, records, thisReference);
        }
    }

    const size_t firstRange = plan.hasThis ? 1 : 0;
    for (size_t i = 0; i < names.size() && firstRange + i < rangeCount; ++i) {
        const std::string& name = names[i];
        if (name.empty()) continue;
        const MethodMetadata::Parameter& step = plan.parameters[i];
        // Capture reads a cursor of its own at the parameter's type.
        SignatureCursor parameter(plan.signature, plan.signatureLength, step.typeOffset);
        const COR_PRF_FUNCTION_ARGUMENT_RANGE& range = ranges[firstRange + i];

        switch (step.inspection) {
            case InspectionType::Value:
            case InspectionType::ParsedValue:
                VariableInfo::ParseInto(records.Slot(), name, parameter, AsAddress(range.startAddress), range.length);
                records.Keep();
                break;

            case InspectionType::PropertyPath: {
                const std::vector<PropertySpec*>& specs = *step.specs;
                if (specs.empty()) break;
                mdToken token = 0;
                const PathStart start = ArgumentPathStart(parameter, definition->GetGenericArgumentCount(), token);
                if (start == PathStart::Reference) {
                    VariableInfo record;
                    record.SetName(name);
                    record.SetType(Object);
                    for (const PropertySpec* spec : specs)
                        record.AddValue(RecordForPath(0, 0, spec, range.startAddress, false, range.length));
                    records.Keep(std::move(record));
                } else if (start == PathStart::ValueType) {
                    std::vector<ModuleClassIDPair> pairs;
                    for (const PropertySpec* spec : specs) {
                        const auto pair = ResolveValueTypeClass(spec, token, plan.moduleId);
                        if (!pair) break;
                        pairs.push_back(*pair);
                    }
                    if (pairs.size() != specs.size()) break;  // the class is not known: passed over
                    VariableInfo record;
                    record.SetName(name);
                    record.SetType(Object);
                    for (size_t k = 0; k < specs.size(); ++k)
                        record.AddValue(RecordForPath(pairs[k].moduleId, pairs[k].classId, specs[k], range.startAddress,
                                                      true, range.length));
                    records.Keep(std::move(record));
                }
                break;
            }

            case InspectionType::RawValue:
                RawRecordInto(records.Slot(), name, range.startAddress, range.length);
                records.Keep();
                break;

            case InspectionType::ByteBuffer: {
                const std::vector<PropertySpec*>& specs = *step.specs;
                if (specs.size() != 1 || specs.front() == nullptr) break;
                const PropertySpec* spec = specs.front();
                VariableInfo record;
                record.SetName(spec->GetName());
                record.SetType(Array);
                record.AddTypeArgument(Byte);
                if (spec->GetElementType() == ELEMENT_TYPE_STRING)
                    CaptureSpanBytes(record, range);
                else if (spec->GetElementType() == ELEMENT_TYPE_PTR)
                    CaptureZeroTerminatedBytes(record, range, spec->GetFieldName());
                records.Keep(std::move(record));
                break;
            }

            default:
                break;
        }
    }
}

VariableInfo* PropertyInspector::ExtractReturnValues(const MonitoredFunctionDefinition* definition,
                                                     const COR_PRF_FUNCTION_ARGUMENT_RANGE* range) {
    VariableInfo record;
    return ExtractReturnValue(definition, range, record) ? new VariableInfo(std::move(record)) : nullptr;
}

bool PropertyInspector::ExtractReturnValue(const MonitoredFunctionDefinition* definition,
                                           const COR_PRF_FUNCTION_ARGUMENT_RANGE* range, VariableInfo& result) {
    if (definition == nullptr || range == nullptr || range->startAddress == 0 || range->length == 0) return false;
    // Set once a record is begun: a failure after that still sends what was read.
    bool begun = false;
    const auto extract = [&]() -> bool {
        const std::string name = ReturnValueName();
        const MethodMetadata* plan = definition->GetMetadata();
        const InspectionType inspection =
            plan != nullptr ? plan->returnInspection : definition->GetInspectionTypeForArgument(name);
        // The two cases that need nothing from the signature ask the runtime nothing.
        if (inspection == InspectionType::RawValue) {
            RawRecordInto(result, name, range->startAddress, range->length);
            return true;
        }
        if (inspection != InspectionType::Value && inspection != InspectionType::ParsedValue &&
            inspection != InspectionType::PropertyPath)
            return false;

        MethodFacts facts;
        SignatureCursor cursor;
        uint32_t elementType = 0;
        bool typeRead = false;
        if (plan != nullptr) {
            facts.moduleId = plan->moduleId;
            cursor = SignatureCursor(plan->signature, plan->signatureLength, plan->returnTypeOffset);
            elementType = plan->returnElementType;
            typeRead = plan->returnTypeRead;
        } else {
            if (!ReadMethodFacts(definition->GetFunctionId(), 0, facts)) return false;
            cursor = SignatureCursor(facts.signature, facts.signatureLength);
            SignatureHeader header;
            typeRead = ReadSignatureHeader(cursor, header) && cursor.ReadCompressed(elementType);
        }
        if (!typeRead) {
            if (inspection == InspectionType::PropertyPath) return false;
            result = VariableInfo();
            result.SetName(name);
            result.SetType(Unknown);
            return true;
        }

        if (inspection != InspectionType::PropertyPath) {
            VariableInfo::ParseTypeInto(result, name, static_cast<CorElementType>(elementType), cursor,
                                        AsAddress(range->startAddress), range->length);
            return true;
        }

        const std::vector<PropertySpec*>& specs = definition->GetSpecsForArgument(name);
        if (specs.empty() || (elementType != ELEMENT_TYPE_CLASS && elementType != ELEMENT_TYPE_VALUETYPE)) return false;
        result = VariableInfo();
        begun = true;
        result.SetName(name);
        result.SetType(Object);
        if (elementType == ELEMENT_TYPE_CLASS) {
            for (const PropertySpec* spec : specs)
                result.AddValue(RecordForPath(0, 0, spec, range->startAddress, false, range->length));
            return true;
        }
        mdToken token = 0;
        const bool haveToken = cursor.ReadTypeDefOrRef(token);
        bool logged = false;
        for (const PropertySpec* spec : specs) {
            const auto pair = haveToken ? ResolveValueTypeClass(spec, token, facts.moduleId) : std::nullopt;
            if (!pair && !logged) {
                logged = true;
                QX_LOG(LogLevel::Error, "ExtractReturnValues", "GetClassFromToken(..) Failed for %s::%s\n",
                       definition->GetDefinitionClassName().c_str(), definition->GetDefinitionMethodName().c_str());
            }
            result.AddValue(
                pair ? RecordForPath(pair->moduleId, pair->classId, spec, range->startAddress, true, range->length)
                     : RecordForPath(0, 0, spec, 0, true, 0));
        }
        return true;
    };
    bool extracted = false;
    RunGuarded("ExtractReturnValues", [&] { extracted = extract(); });
    return extracted || begun;
}
