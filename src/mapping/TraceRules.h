#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// What the trace decision knows of one function, gathered once before any rule runs. The
// views point into the mapper's own copies of the names.
struct FunctionFacts {
    std::string_view plainClass;  // the type's own name, without its enclosing type
    std::string_view fullClass;   // Outer+Inner for a nested type
    std::string_view method;      // carries the suffixes of the attribute definitions that matched
    // Plain class + "::" + method as the metadata names them: without attribute suffixes.
    std::string_view qualifiedName;
    bool attributeMatched = false;     // at least one attribute definition matched
    bool userBlacklisted = false;      // the qualified name starts with a user blacklist entry
    bool userWhitelisted = false;      // the qualified name starts with a user whitelist entry
    bool monitoredDefinition = false;  // a catalogue definition names the plain class and the method
    bool interfaceDefinition = false;  // the class implements an interface a definition names for the method
};

enum class TraceEffect : uint8_t {
    Monitor,             // monitored; traced stays as it is
    Trace,               // traced
    Untrace,             // not traced
    TraceAsSystem,       // traced, a system function (its list index becomes its mapped id)
    TraceAsEntryPoint,   // traced, an entry point
    TraceWhitelisted,    // traced, marked whitelisted
    TraceMonitored,      // traced and monitored
    TraceInterface,      // traced and monitored through an interface definition
    UntraceUnmonitored,  // neither traced nor monitored, whatever an earlier rule said
};

struct TraceRule {
    std::string_view name;
    bool (*applies)(const FunctionFacts& facts);
    TraceEffect effect;
};

struct TraceDecision {
    bool traced = false;
    bool monitored = false;  // by an attribute or a catalogue definition
    bool interfaceMatch = false;
    bool entryPoint = false;
    bool whitelisted = false;
    bool system = false;
    uint64_t systemIndex = 0;
};

// The rules in the order they apply. Every rule whose condition holds applies its effect, so a
// later rule overrides what an earlier one decided: the default decision and the accessor rule
// only settle what no list or definition speaks for, and asynchronous state machines are
// dropped last, whatever made them traced. A function whose metadata cannot be read, or that
// carries the DoNotProfile attribute, is settled before any fact is gathered and never gets here.
extern const std::array<TraceRule, 11> TraceRules;

// Applies the rules to a function that starts neither traced nor marked.
TraceDecision DecideTrace(const FunctionFacts& facts);

// What the built-in rules need of the class alone for some method of it to be traced: the
// default rule's class part, a whitelisted class, or an entry of the function lists naming it.
bool ClassMayBeTraced(std::string_view plainClass);

// The prefix test every list of names uses, the mapper's user lists as well as the rules.
inline bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}
