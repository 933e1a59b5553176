#include "inspection/VariableInfo.h"

#include "inspection/ValueLimits.h"

using namespace Variables;
using ValueLimits::Cut;
using ValueLimits::ReportCut;

VariableInfo::VariableInfo() = default;
VariableInfo::~VariableInfo() = default;
VariableInfo::VariableInfo(VariableInfo&& other) noexcept = default;
VariableInfo& VariableInfo::operator=(VariableInfo&& other) noexcept = default;

VariableInfo::VariableInfo(const VariableInfo& other)
    : name(other.name),
      className(other.className),
      type(other.type),
      typeArguments(other.typeArguments),
      values(other.values),
      masked(other.masked),
      typeNamed(other.typeNamed) {
    children.reserve(other.children.size());
    for (const auto& child : other.children) children.push_back(std::make_unique<VariableInfo>(*child));
}

VariableInfo& VariableInfo::operator=(const VariableInfo& other) {
    if (this != &other) {
        VariableInfo copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void VariableInfo::AddValue(const void* address) {
    if (values.size() >= MaxEntries) {
        ReportCut(Cut::Entries, name);
        return;
    }
    values.push_back(address);
}

void VariableInfo::AddValue(VariableInfo* child) {
    if (child == nullptr || child == this) return;
    std::unique_ptr<VariableInfo> owned(child);
    if (children.size() >= MaxEntries) {
        ReportCut(Cut::Entries, name);
        return;
    }
    children.push_back(std::move(owned));
}

std::vector<const VariableInfo*> VariableInfo::GetChildren() const {
    std::vector<const VariableInfo*> result;
    result.reserve(children.size());
    for (const auto& child : children) result.push_back(child.get());
    return result;
}

void VariableInfo::Reset() {
    name.clear();
    className.clear();
    type = Void;
    typeArguments.clear();
    values.clear();
    children.clear();
    masked = false;
    typeNamed = false;
}

void VariableInfo::MakeUnknown() {
    type = Unknown;
    values.clear();
    children.clear();
}
