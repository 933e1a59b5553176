#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "inspection/FieldAnswerCache.h"
#include "inspection/SpecClassCache.h"
#include "inspection/ValueClassCache.h"
#include "inspection/VariableInfo.h"
#include "mapping/ModuleClassIDPair.h"
#include "mapping/MonitoredFunctionDefinition.h"
#include "platform/ProfilerInfo.h"

class BeginCallCommand;
struct MethodFacts;

// Captures the arguments, fields of `this` and return values of monitored functions from
// managed memory, on the runtime thread inside the hook. The runtime's info interfaces come
// from g_Context. Nothing is read outside what the runtime handed over: argument ranges by
// their count and length, signatures by their length, object fields within the class layout's
// size, and every pointer is checked before it is followed. Hooks hold off the garbage
// collector (GC), so only queries that need no type loaded run here (metadata reads, class and
// function facts, layouts): the class of a referenced object comes from the object itself, and
// the class of a value type is looked up by token when the function is mapped and kept per path
// step and module.
class PropertyInspector {
public:
    // Longest property path followed, and deepest base-class chain searched for a field.
    static constexpr int MaxPathSteps = 32;
    static constexpr int MaxClassDepth = 16;

    PropertyInspector() = default;
    PropertyInspector(const PropertyInspector&) = delete;
    PropertyInspector& operator=(const PropertyInspector&) = delete;

    // Finds the classes of the value types that the function's paths start in, while the
    // runtime still answers token queries (it refuses them inside the hooks). Call it when the
    // function is mapped; again is harmless.
    void PrepareValueTypeClasses(const MonitoredFunctionDefinition* definition, FunctionID functionId);
    // The same for a method definition whose runtime id is not known (the probe engine prepares
    // a method before its first compilation); the plan is kept by the definition.
    void PrepareDefinition(const MonitoredFunctionDefinition* definition, ModuleID moduleId, mdToken methodToken);
    // Sets the command's instance id for an instance method. Empty when nothing could be read.
    std::vector<VariableInfo> ExtractArgumentValues(BeginCallCommand* command,
                                                    const MonitoredFunctionDefinition* definition,
                                                    COR_PRF_FRAME_INFO frameInfo,
                                                    const COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo);
    // The same into `result`, whose records are refilled in place: a hook thread that passes the
    // same vector each time constructs and allocates nothing for it in steady state.
    void ExtractArgumentValues(BeginCallCommand* command, const MonitoredFunctionDefinition* definition,
                               COR_PRF_FRAME_INFO frameInfo, const COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo,
                               std::vector<VariableInfo>& result);
    // A new record owned by the caller, or null.
    VariableInfo* ExtractReturnValues(const MonitoredFunctionDefinition* definition,
                                      const COR_PRF_FUNCTION_ARGUMENT_RANGE* range);
    // The same into `result`; false (and `result` unspecified) when there is no return value to send.
    bool ExtractReturnValue(const MonitoredFunctionDefinition* definition, const COR_PRF_FUNCTION_ARGUMENT_RANGE* range,
                            VariableInfo& result);

    // Records refilled in place, call after call. A slot counts once it is complete (a failure
    // half-way through one leaves it out); Finish drops the unused rest.
    class RecordList {
    public:
        explicit RecordList(std::vector<VariableInfo>& list) : records(list) {}
        VariableInfo& Slot() {
            if (used == records.size()) records.emplace_back();
            return records[used];
        }
        void Keep() { ++used; }
        void Keep(VariableInfo&& record) {
            Slot() = std::move(record);
            ++used;
        }
        void Finish() { records.resize(used); }

    private:
        std::vector<VariableInfo>& records;
        size_t used = 0;
    };

    // One record per "thisPtr" path, up to the first whose field name holds "##".
    void ExtractThisPtrInfo(ModuleID moduleId, ClassID classId, const MonitoredFunctionDefinition* definition,
                            RecordList& result, uintptr_t thisReference);
    // `address` is the value itself when `valueIsDirect` (a `this` object or a value type's
    // data), else it holds a reference. A class id of 0 with a reference means: the class of
    // the referenced object. A new record owned by the caller.
    VariableInfo* FetchConditionalPropertyFromObject(ModuleID moduleId, ClassID classId, const PropertySpec* spec,
                                                     uintptr_t address, bool valueIsDirect);
    // The address of the last field's data (of a string's first character), or 0.
    uintptr_t FetchConditionalDataFromObject(ModuleID moduleId, ClassID classId, const PropertySpec* spec,
                                             uintptr_t address, bool valueIsDirect);

    // Caches the class of a value-type step for the requesting module; the pair names the
    // module whose metadata describes the class. The pair now cached, or none.
    std::optional<ModuleClassIDPair> SetModuleAndClassForSpec(const PropertySpec* spec, mdToken classToken,
                                                              ModuleID moduleId, ClassID classId);
    std::optional<ModuleClassIDPair> GetModuleClassIDPair(const PropertySpec* spec, ModuleID requestingModuleId) const;
    static ModuleClassIDPair CreateModuleClassIDPair(ModuleID moduleId, ClassID classId, ModuleID requestingModuleId);

    static CorElementType GetSpecUnderlyingType(const PropertySpec* spec);
    static Variables::VariableType ConvertToVariableType(CorElementType elementType);
    // The address of a value of that element type stored at `address` (for a string, of its
    // first character), or 0.
    static uintptr_t GetValueFromAddress(uintptr_t address, CorElementType elementType);

    // How one step of a path ended; public for the unit's helpers only.
    enum class Outcome {
        Data,            // `data` is the value's address
        Null,            // a null reference on the way
        EmptyString,     // a string of length 0
        Reference,       // the last step holds a non-null reference or an inline value type
        Unavailable,     // the runtime could not tell (no such field, a failed query)
        Refused,         // reading would leave the object or follow an implausible pointer
        NoStringLayout,  // a string, but its layout is not known
    };
    struct StepResult {
        Outcome outcome = Outcome::Unavailable;
        uintptr_t data = 0;      // for a Reference: the slot that holds it
        uint32_t fieldType = 0;  // for a Reference: the declared type of the field that holds it
    };

private:
    void Prepare(const MonitoredFunctionDefinition* definition, const MethodFacts& facts, bool keepPlan);
    // Argument capture along a plan: the definition's own, or one read for this call alone.
    void CaptureArguments(BeginCallCommand* command, const MonitoredFunctionDefinition* definition,
                          const MethodMetadata& plan, ClassID classId,
                          const COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo, RecordList& records);
    void CaptureUnplanned(BeginCallCommand* command, const MonitoredFunctionDefinition* definition,
                          COR_PRF_FRAME_INFO frameInfo, const COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo,
                          RecordList& records);
    // The field of the step in objects of the class, remembered once the runtime has answered.
    // A module of 0 is asked for when needed.
    bool LookUpField(ModuleID moduleId, ClassID classId, const PropertySpec* spec, FieldFacts& field);
    StepResult FetchStep(ModuleID moduleId, ClassID classId, const PropertySpec* spec, uintptr_t address,
                         bool valueIsDirect, size_t readableBytes, int depth);
    VariableInfo* RecordForPath(ModuleID moduleId, ClassID classId, const PropertySpec* spec, uintptr_t address,
                                bool valueIsDirect, size_t readableBytes);
    // What a last step's reference gives beyond its class: a collection's elements, or the value
    // a field of type object holds.
    void CaptureReference(VariableInfo& record, const PropertySpec* last, const StepResult& result);
    void CaptureCollection(VariableInfo& record, const CollectionSpec& collection, uintptr_t slot, uint32_t fieldType);
    VariableInfo* ElementRecord(const CollectionSpec& collection, uintptr_t slot, size_t index);
    void CaptureHeldValue(VariableInfo& record, uintptr_t reference);
    // The class of a held value, from the cache or the runtime (`scratch` when the cache is full);
    // null when the runtime did not answer.
    const ValueClass* ValueClassOf(ClassID classId, ValueClass& scratch);
    // The class of a value type named by a token of the module, cached per step.
    std::optional<ModuleClassIDPair> ResolveValueTypeClass(const PropertySpec* spec, mdToken token, ModuleID moduleId);

    // Whether the object is a string; the string class, once seen, is remembered.
    bool IsStringObject(uintptr_t reference);

    SpecClassCache classCache;
    FieldAnswerCache fieldAnswers;
    ValueClassCache valueClasses;
    std::atomic<ClassID> stringClass{0};
};
