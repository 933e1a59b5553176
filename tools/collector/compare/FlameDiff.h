#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace QuorixCollect {

// A differential flame graph of two runs' folded stacks ("outer;inner;leaf" and the time in the
// stack itself): every stack of either run, a frame as wide as the larger of its two totals, and
// the change of its own time, which the page draws red where it grew and blue where it shrank.
class FlameDiff {
public:
    using Stacks = std::vector<std::pair<std::string, double>>;
    static constexpr size_t MaxNodes = 20000;

    // {"kind":"folded","file":...,"beforeMicros":..,"nowMicros":..,"flame":{"n","v","d","now","before","children"}}
    static std::string Json(const Stacks& before, const Stacks& now, const std::string& file);
    // The folded text as FoldedWriter writes it, as stacks.
    static Stacks FromFolded(const std::string& text);
};

}  // namespace QuorixCollect
