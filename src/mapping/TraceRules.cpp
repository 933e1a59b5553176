#include "mapping/TraceRules.h"

#include <cstddef>
#include <optional>

#include "mapping/BuiltInLists.h"

namespace {

// Prefix rule of the built-in lists: an empty slot never matches.
template <typename List>
bool StartsWithAny(std::string_view text, const List& list) {
    for (std::string_view entry : list) {
        if (!entry.empty() && StartsWith(text, entry)) return true;
    }
    return false;
}

template <typename List>
bool EqualsAny(std::string_view text, const List& list) {
    for (std::string_view entry : list) {
        if (!entry.empty() && text == entry) return true;
    }
    return false;
}

std::optional<size_t> SystemFunctionIndex(std::string_view qualifiedName) {
    for (size_t index = 0; index < BuiltInLists::_systemFunctions.size(); ++index) {
        const std::string_view entry = BuiltInLists::_systemFunctions[index];
        if (!entry.empty() && StartsWith(qualifiedName, entry)) return index;
    }
    return std::nullopt;
}

// A method of a class in a namespace, with a printable name, that neither the built-in class
// blacklist nor the user blacklist leaves out. Every byte from 0x80 up counts as unprintable.
bool TracedByDefault(const FunctionFacts& facts) {
    const std::string_view plainClass = facts.plainClass;
    const std::string_view method = facts.method;
    return !plainClass.empty() && plainClass.find('.') != std::string_view::npos && !method.empty() &&
           method != ".ctor" && method != ".cctor" && method != "?" && static_cast<int8_t>(plainClass[0]) >= 0x20 &&
           static_cast<int8_t>(method[0]) >= 0x20 && !StartsWithAny(plainClass, BuiltInLists::_blacklistClasses) &&
           !facts.userBlacklisted;
}

void Apply(TraceEffect effect, const FunctionFacts& facts, TraceDecision& decision) {
    switch (effect) {
        case TraceEffect::Monitor:
            decision.monitored = true;
            break;
        case TraceEffect::Trace:
            decision.traced = true;
            break;
        case TraceEffect::Untrace:
            decision.traced = false;
            break;
        case TraceEffect::TraceAsSystem:
            decision.traced = true;
            decision.system = true;
            decision.systemIndex = SystemFunctionIndex(facts.qualifiedName).value_or(0);
            break;
        case TraceEffect::TraceAsEntryPoint:
            decision.traced = true;
            decision.entryPoint = true;
            break;
        case TraceEffect::TraceWhitelisted:
            decision.traced = true;
            decision.whitelisted = true;
            break;
        case TraceEffect::TraceMonitored:
            decision.traced = true;
            decision.monitored = true;
            break;
        case TraceEffect::TraceInterface:
            decision.traced = true;
            decision.interfaceMatch = true;
            break;
        case TraceEffect::UntraceUnmonitored:
            decision.traced = false;
            decision.monitored = false;
            decision.interfaceMatch = false;
            break;
    }
}

}  // namespace

constexpr std::array<TraceRule, 11> TraceRules = {{
    // Runs first because its suffixes are part of the method name every later rule sees.
    {"attribute definition", [](const FunctionFacts& f) { return f.attributeMatched; }, TraceEffect::Monitor},
    {"default", TracedByDefault, TraceEffect::Trace},
    {"property accessor",
     [](const FunctionFacts& f) { return StartsWith(f.method, "get_") || StartsWith(f.method, "set_"); },
     TraceEffect::Untrace},
    {"system function", [](const FunctionFacts& f) { return SystemFunctionIndex(f.qualifiedName).has_value(); },
     TraceEffect::TraceAsSystem},
    {"whitelisted class",
     [](const FunctionFacts& f) { return StartsWithAny(f.plainClass, BuiltInLists::_whitelistClasses); },
     TraceEffect::TraceWhitelisted},
    {"entry point",
     [](const FunctionFacts& f) { return EqualsAny(f.qualifiedName, BuiltInLists::_entrypointFunctions); },
     TraceEffect::TraceAsEntryPoint},
    {"whitelisted function",
     [](const FunctionFacts& f) { return EqualsAny(f.qualifiedName, BuiltInLists::_whitelistFunctions); },
     TraceEffect::TraceWhitelisted},
    {"user whitelist", [](const FunctionFacts& f) { return f.userWhitelisted; }, TraceEffect::TraceWhitelisted},
    {"monitored definition", [](const FunctionFacts& f) { return f.monitoredDefinition; }, TraceEffect::TraceMonitored},
    {"interface definition", [](const FunctionFacts& f) { return f.interfaceDefinition; }, TraceEffect::TraceInterface},
    // Their values must not be captured, and they are not traced either. Only functions some
    // definition matched; an untraced one stays untraced whether the rule applies or not.
    {"asynchronous state machine",
     [](const FunctionFacts& f) {
         return (f.attributeMatched || f.monitoredDefinition || f.interfaceDefinition) &&
                StartsWithAny(f.fullClass, BuiltInLists::_asyncAwaitBlacklistClasses);
     },
     TraceEffect::UntraceUnmonitored},
}};

bool ClassMayBeTraced(std::string_view plainClass) {
    if (!plainClass.empty() && plainClass.find('.') != std::string_view::npos &&
        static_cast<int8_t>(plainClass[0]) >= 0x20 && !StartsWithAny(plainClass, BuiltInLists::_blacklistClasses))
        return true;
    if (StartsWithAny(plainClass, BuiltInLists::_whitelistClasses)) return true;
    const auto names = [&](std::string_view entry) {
        return entry.size() > plainClass.size() + 2 && StartsWith(entry, plainClass) &&
               entry.substr(plainClass.size(), 2) == "::";
    };
    for (std::string_view entry : BuiltInLists::_entrypointFunctions)
        if (names(entry)) return true;
    for (std::string_view entry : BuiltInLists::_whitelistFunctions)
        if (names(entry)) return true;
    // System functions are prefixes of qualified names: one may also end inside the class name.
    for (std::string_view entry : BuiltInLists::_systemFunctions)
        if (!entry.empty() && (names(entry) || StartsWith(plainClass, entry))) return true;
    return false;
}

TraceDecision DecideTrace(const FunctionFacts& facts) {
    TraceDecision decision;
    for (const TraceRule& rule : TraceRules) {
        if (rule.applies(facts)) Apply(rule.effect, facts, decision);
    }
    return decision;
}
