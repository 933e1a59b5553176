#include "inspection/MethodPlan.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "environment/ErrorBoundary.h"
#include "inspection/PropertyInspector.h"
#include "inspection/RuntimeAccess.h"
#include "platform/InterfaceIds.h"
#include "platform/MetaData.h"

using RuntimeAccess::Info;
using RuntimeAccess::Info2;
using RuntimeAccess::NameBufferLength;
using RuntimeAccess::Narrow;
using RuntimeAccess::OpenModuleMetaData;

namespace {

// More parameters than this are not captured (the begin-call command counts them in a byte).
constexpr uint32_t MaxParameters = 1024;
constexpr int MaxSkippedGenericArguments = 64;

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

}  // namespace

namespace MethodPlan {

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

}  // namespace MethodPlan

using namespace MethodPlan;

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
