#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dotnet/DotNetLibraries.h"
#include "spans/OtlpAttribute.h"
#include "wire/ValueRecord.h"

namespace QuorixCollect {

// Turns the captured values of one call into attributes: semantic-convention names where one
// fits (database, cache, HTTP), the rest under "quorix.". Secrets in connection strings and
// URLs are masked. Returns what the values were worth.
struct MappedValues {
    bool meaningful = false;  // worth a span even when the call was short
};
MappedValues MapCapturedValue(std::string_view className, std::string_view methodName, const ValueRecord& value,
                              bool isReturnValue, std::vector<OtlpAttribute>& out);

// Attributes that describe the incoming request as a whole and so also belong on the span
// that began the request's trace.
bool IsRequestAttribute(std::string_view key);

// "Password=x;Host=h" -> "Password=***;Host=h"; "http://u:p@h/" -> "http://***@h/": the agent's
// masking rules (SecretMasker), so that a secret masked on one side is masked on the other.
std::string MaskSecrets(std::string_view text);

}  // namespace QuorixCollect
