#include "inspection/PropertyInspector.h"

#include <memory>

#include "commands/BeginCallCommand.h"
#include "environment/ErrorBoundary.h"
#include "environment/Logger.h"
#include "inspection/ManagedMemory.h"
#include "inspection/MethodPlan.h"
#include "inspection/RawCapture.h"
#include "inspection/SignatureCursor.h"

using namespace Variables;
using namespace MethodPlan;
using namespace RawCapture;
using ManagedMemory::AsAddress;
using ManagedMemory::IsObjectReference;
using ManagedMemory::IsPlausibleAddress;
using ManagedMemory::ReadPointer;

namespace {

using RecordList = PropertyInspector::RecordList;

// The instance id from the `this` slot, and the paths that start at `this`: in the frame's class
// when known, else in the method's value type, else in the class the object itself names.
void CaptureThis(PropertyInspector& inspector, BeginCallCommand* command, const MonitoredFunctionDefinition* definition,
                 const MethodMetadata& plan, ClassID classId, const COR_PRF_FUNCTION_ARGUMENT_RANGE& range,
                 RecordList& records) {
    if (range.length < sizeof(uintptr_t) || !IsPlausibleAddress(range.startAddress)) return;
    const uintptr_t thisReference = ReadPointer(range.startAddress);
    if (command != nullptr) command->SetInstanceId(thisReference);
    if (thisReference == 0 || !plan.capturesThis) return;
    if (classId != 0)
        inspector.ExtractThisPtrInfo(plan.moduleId, classId, definition, records, thisReference);
    else if (plan.thisIsValueType && plan.thisValueClass != 0)
        inspector.ExtractThisPtrInfo(plan.moduleId, plan.thisValueClass, definition, records, thisReference);
    else if (!plan.thisIsValueType && IsObjectReference(thisReference))
        inspector.ExtractThisPtrInfo(0, ManagedMemory::ClassOf(thisReference), definition, records, thisReference);
}

// A buffer is named by one spec, whose element type tells a span (STRING) from a pointer (PTR).
void CaptureByteBuffer(const std::vector<PropertySpec*>& specs, const COR_PRF_FUNCTION_ARGUMENT_RANGE& range,
                       RecordList& records) {
    if (specs.size() != 1 || specs.front() == nullptr) return;
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
}

// The return type's element type, the cursor left after it: from the plan, else from the
// method's signature. False when the method's facts cannot be read at all.
bool ReadReturnType(const MonitoredFunctionDefinition* definition, const MethodMetadata* plan, MethodFacts& facts,
                    SignatureCursor& cursor, uint32_t& elementType, bool& typeRead) {
    if (plan != nullptr) {
        facts.moduleId = plan->moduleId;
        cursor = SignatureCursor(plan->signature, plan->signatureLength, plan->returnTypeOffset);
        elementType = plan->returnElementType;
        typeRead = plan->returnTypeRead;
        return true;
    }
    if (!ReadMethodFacts(definition->GetFunctionId(), 0, facts)) return false;
    cursor = SignatureCursor(facts.signature, facts.signatureLength);
    SignatureHeader header;
    typeRead = ReadSignatureHeader(cursor, header) && cursor.ReadCompressed(elementType);
    return true;
}

}  // namespace

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
    if (plan.hasThis && rangeCount > 0) CaptureThis(*this, command, definition, plan, classId, ranges[0], records);

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

            case InspectionType::ByteBuffer:
                CaptureByteBuffer(*step.specs, range, records);
                break;

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
        if (!ReadReturnType(definition, plan, facts, cursor, elementType, typeRead)) return false;
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
