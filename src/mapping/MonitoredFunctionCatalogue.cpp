#include "mapping/MonitoredFunctionCatalogue.h"

#include <exception>
#include <memory>
#include <string>

#include "environment/Logger.h"
#include "mapping/FunctionMapper.h"

namespace {

using MonitoredFunctionCatalogue::ElementFields;
using MonitoredFunctionCatalogue::Operation;
using MonitoredFunctionCatalogue::Path;
using MonitoredFunctionCatalogue::Row;

using SpecOwner = std::vector<std::unique_ptr<PropertySpec>>;

PropertySpec* OwnedStep(const MonitoredFunctionCatalogue::PathStep& step, PropertySpec* next, SpecOwner& owner) {
    owner.reserve(owner.size() + 1);
    auto* spec = new PropertySpec(step.name, step.fieldName, step.elementType, next);
    owner.emplace_back(spec);
    return spec;
}

// The row's element fields on the path's last step, which holds the collection.
void AttachElements(PropertySpec* last, const ElementFields& elements, SpecOwner& owner) {
    std::vector<PropertySpec*> paths;
    for (const auto& element : elements)
        if (element.name != nullptr) paths.push_back(OwnedStep(element, nullptr, owner));
    if (!paths.empty()) last->SetCollection(std::make_unique<CollectionSpec>(std::move(paths)));
}

// Built innermost step first. Each row gets a chain of its own, shared by the definitions of
// the row's methods and their clones; `owner` keeps its steps as long as the mapper lives.
PropertySpec* BuildChain(const Path& path, const ElementFields& elements, SpecOwner& owner) {
    PropertySpec* chain = nullptr;
    for (auto step = path.rbegin(); step != path.rend(); ++step) {
        if (step->name == nullptr) continue;
        chain = OwnedStep(*step, chain, owner);
        if (chain->GetNext() == nullptr) AttachElements(chain, elements, owner);
    }
    return chain;
}

void AddRows(FunctionMapper& mapper, SpecOwner& owner, std::span<const Row> rows, HostType hostType) {
    for (const Row& row : rows) {
        PropertySpec* spec = BuildChain(row.PathFor(hostType), row.elements, owner);
        switch (row.operation) {
            case Operation::Function:
                for (size_t i = 0; i < row.MethodCount(); ++i)
                    mapper.AddMonitoredFunction(row.className, row.methods[i], row.argument, row.type, 0, spec);
                break;
            case Operation::Interface:
                for (size_t i = 0; i < row.MethodCount(); ++i)
                    mapper.AddMonitoredInterfaceFunction(row.className, row.methods[i], row.argument, row.type, spec);
                break;
            case Operation::Attribute: {
                const std::string name(row.className);
                mapper.AddMonitoredAttributeFunction(std::wstring(name.begin(), name.end()), row.argument, row.type,
                                                     spec);
                break;
            }
        }
    }
}

// Without a configuration the setting has its default, on.
bool CorrelationEnabled() { return g_Configuration == nullptr || g_Configuration->enableCorrelation; }

}  // namespace

// Every definition must be complete before the function-id mapper is registered, because a
// bound clone copies what its definition holds at that moment.
void FunctionMapper::Initialize(HostType hostType) {
    namespace Catalogue = MonitoredFunctionCatalogue;
    try {
        AddRows(*this, catalogueSpecs, Catalogue::CompanionRows(), hostType);
        if (CorrelationEnabled()) AddRows(*this, catalogueSpecs, Catalogue::CorrelationRows(), hostType);
        AddRows(*this, catalogueSpecs, Catalogue::CommonRows(), hostType);
        if (const char* hostBlock = Catalogue::HostBlockName(hostType)) {
            QX_LOG(LogLevel::Info, LogArea::Unprefixed,
                   "[FunctionMapper:Initialize] Initializing Monitored Functions for: %s", hostBlock);
            AddRows(*this, catalogueSpecs, Catalogue::HostRows(hostType), hostType);
        }
    } catch (const std::exception& error) {
        // Out of memory at start-up: trace with what was loaded rather than fail the runtime.
        QX_LOG(LogLevel::Error, "FunctionMapper:Initialize", "Monitored function catalogue incomplete: %s",
               error.what());
    }
}
