#include "inspection/FieldLookup.h"

#include <algorithm>
#include <string>
#include <vector>

#include "inspection/PropertyInspector.h"
#include "inspection/RuntimeAccess.h"
#include "inspection/SignatureCursor.h"

using RuntimeAccess::Info;
using RuntimeAccess::Info2;
using RuntimeAccess::NameBufferLength;
using RuntimeAccess::Narrow;
using RuntimeAccess::OpenModuleMetaData;

namespace {

// A class with more fields than this is not a class the runtime laid out.
constexpr ULONG MaxLayoutFields = 1u << 16;

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

using FieldLookup::Match;

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

}  // namespace

namespace FieldLookup {

Match Find(ModuleID moduleId, ClassID classId, const std::string& fieldName, FieldFacts& facts) {
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

}  // namespace FieldLookup

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
    const Match match = FieldLookup::Find(moduleId, classId, spec->GetFieldName(), field);
    // A runtime that did not answer may answer next time: only its answers are kept.
    if (match != Match::Failed) fieldAnswers.Publish(classId, spec, match == Match::Found, field);
    return match == Match::Found;
}
