#pragma once

#include <string>
#include <string_view>

#include "wire/CommandDecoder.h"
#include "wire/ValueRecord.h"

namespace QuorixCollect {

// Appends one JSON object (no line break) for a decoded command. `functionName`
// ("Class::Method"), when not null, is added as "function" to call commands; when the caller
// knows it needs no escaping (IsJsonSafe) it is copied as it is.
void AppendCommandJson(std::string& out, const DecodedCommand& command, const std::string_view* functionName,
                       bool nameIsJsonSafe = false);

// True when `text` is printable ASCII without quote or backslash, so JSON takes it unchanged.
bool IsJsonSafe(std::string_view text);

// The same as a string of its own.
std::string CommandToJson(const DecodedCommand& command, const std::string* functionName);

// Appends the JSON object of one captured value.
void AppendValueJson(std::string& out, const ValueRecord& value);

}  // namespace QuorixCollect
