#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "inspection/VariableInfo.h"

// What the units of a captured value agree on: how wide a scalar is, how far records nest and
// how much of a long string is sent, and the report of a value cut at one of those limits.
namespace ValueLimits {

// Deeper records cannot come from a real capture; the collector refuses them too.
inline constexpr int MaxNesting = 32;
// Half of the long-string payload's 4096 bytes.
inline constexpr uint32_t LongStringSentUnits = 2048;

// Bytes of a scalar kind; 0 for the kinds that are not scalars.
size_t ScalarWidth(Variables::VariableType type);

enum class Cut { Entries, Size, Nesting, Elements, Count };

// Once per process and kind: a cut value is a fact worth knowing, not worth a line per call.
void ReportCut(Cut kind, const std::string& name);

}  // namespace ValueLimits
