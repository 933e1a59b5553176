#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compare/EndpointStats.h"

namespace QuorixCollect {

// An earlier run to compare this one with: its --requests file (one JSON object per line, or the
// live view's JSON array) or its --folded stacks, told apart by their content.
class Baseline {
public:
    enum class Kind { None, Requests, Folded };
    static constexpr size_t MaxStacks = 200000;

    // False with one line in `error` when the file cannot serve (missing, empty, cut off, of
    // another format); nothing is kept then. `maxBytes` bounds what is kept of it.
    bool Read(const std::string& path, size_t maxBytes, std::string& error);
    // The same on text in memory; `name` is what the messages call it.
    bool Parse(std::string_view text, size_t maxBytes, std::string& error);

    Kind GetKind() const { return kind; }
    const EndpointStats& Endpoints() const { return endpoints; }
    // Folded stacks: "outer;inner;leaf" and the time in that stack itself, in microseconds.
    const std::vector<std::pair<std::string, double>>& Stacks() const { return stacks; }
    // Stacks beyond the bound, not kept.
    size_t StacksLeftOut() const { return stacksLeftOut; }

private:
    bool ParseRequestLines(std::string_view text, std::string& error);
    bool ParseRequestArray(std::string_view text, std::string& error);
    bool ParseFolded(std::string_view text, size_t maxBytes, std::string& error);
    void Clear();

    Kind kind = Kind::None;
    EndpointStats endpoints;
    std::vector<std::pair<std::string, double>> stacks;
    size_t stacksLeftOut = 0;
};

}  // namespace QuorixCollect
