#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mapping/ModuleClassIDPair.h"
#include "platform/MetaDataTypes.h"

// How the property inspector reads one argument.
enum class InspectionType : int32_t {
    Value = 0,
    PropertyPath = 1,
    ParsedValue = 2,
    RawValue = 3,
    ByteBuffer = 4,
    None = 16,
};

// Pseudo-argument names. Views of literals: nothing to destroy at exit while hooks still run.
struct InspectionConstants {
    static constexpr std::string_view ReturnValueArgumentName = "returnValue";
    static constexpr std::string_view ThisPtrArgumentName = "thisPtr";
    static constexpr std::string_view SetValueArgumentName = "value";
};

struct CollectionSpec;

// One step of a path into an object. Chains are built once by the catalogue and shared by a
// definition and all its clones, so nothing but the process end releases them.
class PropertySpec {
public:
    PropertySpec() = default;
    PropertySpec(std::string displayName, std::string field, CorElementType type, PropertySpec* nextStep);
    ~PropertySpec();

    PropertySpec(const PropertySpec&) = delete;
    PropertySpec& operator=(const PropertySpec&) = delete;

    const std::string& GetName() const { return name; }
    const std::string& GetFieldName() const { return fieldName; }
    CorElementType GetElementType() const { return elementType; }
    PropertySpec* GetNext() const { return next; }
    // A last step whose field holds a collection has its elements read along these; null for
    // every other step.
    const CollectionSpec* GetCollection() const { return collection.get(); }
    void SetCollection(std::unique_ptr<CollectionSpec> value);

    // Cache of the class resolved for this step. Value capture runs under the hooks' one lock,
    // which is what makes replacing (and freeing) the previous pair safe.
    ModuleClassIDPair* GetModuleClassIDPair() const { return classIdentity; }
    void SetModuleClassIDPair(ModuleClassIDPair* pair);

private:
    ModuleClassIDPair* classIdentity = nullptr;
    std::string name;
    std::string fieldName;
    CorElementType elementType = ELEMENT_TYPE_END;
    PropertySpec* next = nullptr;
    std::unique_ptr<CollectionSpec> collection;
};

// The elements of a collection held by a path's last field: a List<T> (its item array and its
// count) or an array. The first MaxElements elements are read, each along every element path
// (one record per path inside the element's record); element paths are owned elsewhere.
struct CollectionSpec {
    static constexpr size_t MaxElements = 32;

    explicit CollectionSpec(std::vector<PropertySpec*> elementPaths) : elements(std::move(elementPaths)) {}

    // The fields of List<T>, found in each instantiation's layout like any other step.
    PropertySpec items{"", "_items", ELEMENT_TYPE_SZARRAY, nullptr};
    PropertySpec size{"count", "_size", ELEMENT_TYPE_I4, nullptr};
    std::vector<PropertySpec*> elements;
};

// What capture needs from the metadata of the function a definition is bound to, read once
// when the function is mapped. The signature stays valid while the module is loaded, which is
// as long as the function can be called.
struct MethodMetadata {
    mdToken methodToken = 0;
    ModuleID moduleId = 0;
    PCCOR_SIGNATURE signature = nullptr;
    ULONG signatureLength = 0;
    // By parameter position; empty names for parameters without a row.
    std::vector<std::string> parameterNames;

    // What capture needs of each parameter, read once from the signature and the definition so
    // that a call looks nothing up by name and walks no signature.
    struct Parameter {
        size_t typeOffset = 0;  // where its type starts in the signature
        InspectionType inspection = InspectionType::None;
        const std::vector<PropertySpec*>* specs = nullptr;  // the definition's own, never null
    };
    bool hasThis = false;
    bool capturesThis = false;  // some path starts at `this`
    // Where no frame information tells the class of `this` (a probe): whether the method's own
    // type is a value type (`this` then points at its data, with no class word to read), and
    // that type's class when it is not generic.
    bool thisIsValueType = false;
    ClassID thisValueClass = 0;
    std::vector<Parameter> parameters;  // as parameterNames
    InspectionType returnInspection = InspectionType::None;
    bool returnTypeRead = false;  // the return type's element type could be read
    uint32_t returnElementType = 0;
    size_t returnTypeOffset = 0;  // just after that element type
};

// Which method is monitored and what to capture of it. Built during initialisation; after that
// only the two bound ids of an unbound definition change, under the mapper's lock.
class MonitoredFunctionDefinition {
public:
    MonitoredFunctionDefinition(std::string definitionClassName, std::string definitionMethodName);
    virtual ~MonitoredFunctionDefinition() = default;

    MonitoredFunctionDefinition(const MonitoredFunctionDefinition&) = delete;
    MonitoredFunctionDefinition& operator=(const MonitoredFunctionDefinition&) = delete;

    const std::string& GetDefinitionClassName() const { return className; }
    void SetDefinitionClassName(std::string value) { className = std::move(value); }
    const std::string& GetDefinitionMethodName() const { return methodName; }
    void SetDefinitionMethodName(std::string value) { methodName = std::move(value); }
    uint64_t GetFunctionId() const { return functionId; }
    void SetFunctionId(uint64_t value) { functionId = value; }
    uint64_t GetMappedId() const { return mappedId; }
    void SetMappedId(uint64_t value) { mappedId = value; }
    int32_t GetGenericArgumentCount() const { return genericArgumentCount; }
    void SetGenericArgumentCount(int32_t value) { genericArgumentCount = value; }

    // The first type given for a name stays; specs are kept only for path and buffer types.
    void AddTrackedArgument(const std::string& name, InspectionType type, PropertySpec* spec);
    void AddTrackedReturnValueSpec(PropertySpec* spec);
    void AddTrackedThisPtrValueSpec(PropertySpec* spec);

    // An entry under the empty name applies to every argument without one of its own.
    InspectionType GetInspectionTypeForArgument(const std::string& name) const;
    const std::vector<PropertySpec*>& GetSpecsForArgument(const std::string& name) const;

    // Same names, arguments and specs (shared), unbound, generic argument count 0.
    MonitoredFunctionDefinition* Clone() const;
    // Takes the other's entries for the names this one has none of; its own stay.
    void AddEntriesOf(const MonitoredFunctionDefinition& other);

    // Set once, when the bound function is mapped; null until then (capture reads it itself).
    const MethodMetadata* GetMetadata() const { return metadata.load(std::memory_order_acquire); }
    void SetMetadata(std::unique_ptr<MethodMetadata> value);

private:
    std::string className;
    std::string methodName;
    uint64_t functionId = 0;
    uint64_t mappedId = 0;
    int32_t genericArgumentCount = 0;
    std::unordered_map<std::string, InspectionType> inspectionTypes;
    std::unordered_map<std::string, std::vector<PropertySpec*>> argumentSpecs;
    std::vector<PropertySpec*> returnValueSpecs;
    std::vector<PropertySpec*> thisSpecs;
    std::atomic<const MethodMetadata*> metadata{nullptr};
    // Earlier metadata stays until the definition goes: a hook may still be reading it.
    std::vector<std::unique_ptr<MethodMetadata>> metadataKept;
};

// A definition that applies to every method carrying (or whose class carries) an attribute.
class MonitoredAttributeDefinition : public MonitoredFunctionDefinition {
public:
    explicit MonitoredAttributeDefinition(std::wstring attribute);

    const std::wstring& GetAttributeName() const { return attributeName; }
    // The name as the metadata interface takes it.
    const std::u16string& GetAttributeNameText() const { return attributeNameText; }
    // Short form used in the method name suffix ":[name]".
    const std::string& GetDisplayName() const { return displayName; }

    static std::string MakeDisplayName(const std::string& attribute);

private:
    std::wstring attributeName;
    std::u16string attributeNameText;
    std::string displayName;
};
