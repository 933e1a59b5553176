#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// The fixed lists that steer the trace decision. Each is a fixed number of slots; the slots
// after the filled entries stay empty and never match. Constant-initialised, so they are
// usable before any dynamic initialisation of the library has run.
namespace BuiltInLists {

// Namespaces and classes not worth tracing; compared as a prefix of the plain class name.
extern const std::array<std::string_view, 136> _blacklistClasses;
// Compiler-generated state machines and pipeline classes whose values must not be captured;
// compared as a prefix of the full class name, only for functions a definition matched.
extern const std::array<std::string_view, 58> _asyncAwaitBlacklistClasses;
// Always traced; compared as a prefix of the plain class name.
extern const std::array<std::string_view, 2> _whitelistClasses;
// Where a unit of work (a request, a thread, a work item) starts; exact qualified names.
extern const std::array<std::string_view, 13> _entrypointFunctions;
// Always traced although their namespace is blacklisted; exact qualified names.
extern const std::array<std::string_view, 100> _whitelistFunctions;
// Calls of the companion library that switch tracing; the index is the function's mapped id.
extern const std::array<std::string_view, 2> _systemFunctions;
// Methods that must stay separate calls so that their hooks run.
extern const std::array<std::string_view, 3> _preventMethodInlining;

}  // namespace BuiltInLists
