#pragma once

#include <cstdint>
#include <string>

#include "inspection/SignatureCursor.h"
#include "mapping/MetaDataHandles.h"
#include "mapping/MonitoredFunctionDefinition.h"
#include "platform/ProfilerInfo.h"

// What the inspector knows of a method before it reads a call's values: its metadata, its
// signature, and the plan that capture follows.
struct MethodFacts {
    MetaDataImportRef import;
    mdToken methodToken = 0;
    mdTypeDef owner = 0;
    ClassID classId = 0;
    ModuleID moduleId = 0;
    PCCOR_SIGNATURE signature = nullptr;
    ULONG signatureLength = 0;
};

namespace MethodPlan {

// The class of the function's frame: exact (instantiated) with the frame's information.
bool ReadFunctionClass(FunctionID functionId, COR_PRF_FRAME_INFO frameInfo, MethodFacts& facts);
bool ReadMethodFacts(FunctionID functionId, COR_PRF_FRAME_INFO frameInfo, MethodFacts& facts);
// The same for a method definition of a module, before any runtime id of it exists.
bool ReadDefinitionFacts(ModuleID moduleId, mdToken methodToken, MethodFacts& facts);

struct SignatureHeader {
    bool hasThis = false;
    uint32_t parameterCount = 0;
};

// Leaves the cursor on the return type.
bool ReadSignatureHeader(SignatureCursor& cursor, SignatureHeader& header);

enum class PathStart { None, Reference, ValueType };

// Where a path into a parameter starts: at the object its slot references, or at the value type
// its slot holds (whose type token is returned). The definition's generic argument count skips
// into a generic instantiation; what is followed as a reference must be one by the parameter's
// own type, whatever the skipped prefix made of the bytes.
PathStart ArgumentPathStart(const SignatureCursor& parameter, int32_t genericArgumentCount, mdToken& token);

std::string ThisPtrName();
std::string ReturnValueName();

// Everything capture reads of a method besides the call's own values. False when the signature
// cannot be read: such a method is never captured.
bool PlanMethod(const MonitoredFunctionDefinition* definition, const MethodFacts& facts, MethodMetadata& plan);

}  // namespace MethodPlan
