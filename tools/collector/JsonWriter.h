#pragma once

#include <string>

#include "CommandDecoder.h"
#include "ValueRecord.h"

namespace QuorixCollect {

// One JSON object (no line break) for a decoded command. `functionName` ("Class::Method"), when
// not null, is added as "function" to call commands.
std::string CommandToJson(const DecodedCommand& command, const std::string* functionName);

// Appends the JSON object of one captured value.
void AppendValueJson(std::string& out, const ValueRecord& value);

} // namespace QuorixCollect
