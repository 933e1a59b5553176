#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "environment/Configuration.h"
#include "mapping/MonitoredFunctionDefinition.h"
#include "platform/MetaDataTypes.h"

// The built-in catalogue of monitored framework methods as constant data, one row per call of
// the mapper's add operations (a row that lists several methods stands for one call per method).
// FunctionMapper::Initialize turns the rows into definitions; keeping them as data lets the
// tests check every block without a runtime.
namespace MonitoredFunctionCatalogue {

enum class Operation : uint8_t {
    Function,   // AddMonitoredFunction, full form, generic argument count 0
    Interface,  // AddMonitoredInterfaceFunction: the class is an interface name
    Attribute,  // AddMonitoredAttributeFunction: the class is an attribute name, no method
};

// One step of a capture path; a step with a null name ends the path.
struct PathStep {
    const char* name = nullptr;
    const char* fieldName = nullptr;
    CorElementType elementType = ELEMENT_TYPE_END;
};

constexpr size_t MaxMethods = 8;
constexpr size_t MaxSteps = 3;
using Path = std::array<PathStep, MaxSteps>;
// The fields read from every element of a collection, one step each.
constexpr size_t MaxElementFields = 2;
using ElementFields = std::array<PathStep, MaxElementFields>;

struct Row {
    Operation operation = Operation::Function;
    const char* className = nullptr;
    std::array<const char*, MaxMethods> methods{};  // unused slots are null
    const char* argument = "";                      // "" applies to every argument
    InspectionType type = InspectionType::Value;
    Path path{};            // outermost step first; empty when the row passes no spec
    Path otherHostsPath{};  // when not empty: the path for every host type but DOTNET_CORE
    // When not empty, the path's last field holds a collection whose elements give these.
    ElementFields elements{};

    size_t MethodCount() const;
    // The path this row passes for the host type (empty: no spec).
    const Path& PathFor(HostType hostType) const;
};

std::span<const Row> CompanionRows();
// Task and thread-pool machinery; loaded only when correlation is enabled.
std::span<const Row> CorrelationRows();
std::span<const Row> CommonRows();
// The block of one host type; empty for the types that have none.
std::span<const Row> HostRows(HostType hostType);
// Name of the host block for the log line, or null when the host type has no block.
const char* HostBlockName(HostType hostType);

// Number of add calls the rows stand for.
size_t CallCount(std::span<const Row> rows);

}  // namespace MonitoredFunctionCatalogue
