#include "mapping/MonitoredFunctionDefinition.h"

#include <utility>

#include "environment/profiler_pal.h"

PropertySpec::PropertySpec(std::string displayName, std::string field, CorElementType type, PropertySpec* nextStep)
    : name(std::move(displayName)), fieldName(std::move(field)), elementType(type), next(nextStep) {}

PropertySpec::~PropertySpec() { delete classIdentity; }

void PropertySpec::SetCollection(std::unique_ptr<CollectionSpec> value) { collection = std::move(value); }

void PropertySpec::SetModuleClassIDPair(ModuleClassIDPair* pair) {
    if (pair == classIdentity) return;
    delete classIdentity;
    classIdentity = pair;
}

MonitoredFunctionDefinition::MonitoredFunctionDefinition(std::string definitionClassName,
                                                         std::string definitionMethodName)
    : className(std::move(definitionClassName)), methodName(std::move(definitionMethodName)) {}

void MonitoredFunctionDefinition::AddTrackedArgument(const std::string& name, InspectionType type, PropertySpec* spec) {
    inspectionTypes.try_emplace(name, type);
    if ((type == InspectionType::PropertyPath || type == InspectionType::ByteBuffer) && spec != nullptr)
        argumentSpecs[name].push_back(spec);
}

void MonitoredFunctionDefinition::AddTrackedReturnValueSpec(PropertySpec* spec) {
    if (spec == nullptr) return;
    inspectionTypes.try_emplace(std::string(InspectionConstants::ReturnValueArgumentName),
                                InspectionType::PropertyPath);
    returnValueSpecs.push_back(spec);
}

void MonitoredFunctionDefinition::AddTrackedThisPtrValueSpec(PropertySpec* spec) {
    if (spec == nullptr) return;
    inspectionTypes.try_emplace(std::string(InspectionConstants::ThisPtrArgumentName), InspectionType::PropertyPath);
    thisSpecs.push_back(spec);
}

InspectionType MonitoredFunctionDefinition::GetInspectionTypeForArgument(const std::string& name) const {
    if (inspectionTypes.empty()) return InspectionType::None;
    auto found = inspectionTypes.find(name);
    if (found != inspectionTypes.end()) return found->second;
    found = inspectionTypes.find(std::string());
    return found != inspectionTypes.end() ? found->second : InspectionType::None;
}

const std::vector<PropertySpec*>& MonitoredFunctionDefinition::GetSpecsForArgument(const std::string& name) const {
    static const std::vector<PropertySpec*>* const none = new std::vector<PropertySpec*>();
    if (name == InspectionConstants::ReturnValueArgumentName) return returnValueSpecs;
    if (name == InspectionConstants::ThisPtrArgumentName) return thisSpecs;
    auto found = argumentSpecs.find(name);
    return found != argumentSpecs.end() ? found->second : *none;
}

MonitoredFunctionDefinition* MonitoredFunctionDefinition::Clone() const {
    auto* clone = new MonitoredFunctionDefinition(className, methodName);
    clone->inspectionTypes = inspectionTypes;
    clone->argumentSpecs = argumentSpecs;
    clone->returnValueSpecs = returnValueSpecs;
    clone->thisSpecs = thisSpecs;
    return clone;
}

void MonitoredFunctionDefinition::AddEntriesOf(const MonitoredFunctionDefinition& other) {
    for (const auto& [name, type] : other.inspectionTypes) {
        if (!inspectionTypes.try_emplace(name, type).second) continue;
        if (name == InspectionConstants::ReturnValueArgumentName)
            returnValueSpecs = other.returnValueSpecs;
        else if (name == InspectionConstants::ThisPtrArgumentName)
            thisSpecs = other.thisSpecs;
        else if (auto specs = other.argumentSpecs.find(name); specs != other.argumentSpecs.end())
            argumentSpecs[name] = specs->second;
    }
}

namespace {

// Lossy but total: a code point that is not valid text becomes U+FFFD instead of an error.
std::string ToText(const std::wstring& text) {
    const std::wstring valid = make_wstring(make_u16string(text));
    return W2A(valid.c_str());
}

}  // namespace

MonitoredAttributeDefinition::MonitoredAttributeDefinition(std::wstring attribute)
    : MonitoredFunctionDefinition(std::string(), std::string()),
      attributeName(std::move(attribute)),
      attributeNameText(make_u16string(attributeName)),
      displayName(MakeDisplayName(ToText(attributeName))) {}

std::string MonitoredAttributeDefinition::MakeDisplayName(const std::string& attribute) {
    const size_t dot = attribute.rfind('.');
    std::string shortName = dot == std::string::npos ? attribute : attribute.substr(dot + 1);
    constexpr std::string_view suffix = "Attribute";
    if (shortName.size() >= 9) {
        const size_t at = shortName.rfind(suffix);
        if (at != std::string::npos) shortName.erase(at, suffix.size());
    }
    return shortName;
}

void MonitoredFunctionDefinition::SetMetadata(std::unique_ptr<MethodMetadata> value) {
    if (value == nullptr) return;
    const MethodMetadata* published = value.get();
    metadataKept.push_back(std::move(value));
    metadata.store(published, std::memory_order_release);
}
