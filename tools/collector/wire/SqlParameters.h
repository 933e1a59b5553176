#pragma once

#include <string>
#include <vector>

#include "wire/CommandDecoder.h"

namespace QuorixCollect {

// One parameter of a database command as the agent captured it on an execute call: its name as
// the app gave it ("@id", "id", "" for a positional one) and its value as text. A null (or a
// database null) has isNull and an empty value; isText says the value was text (strings, and a
// value masked because its parameter is named like a secret, "***"); numbers, booleans,
// decimals, date-times ("o" format), time spans ("c" format) and GUIDs are formatted as .NET
// formats them by default; any other type is named by its class alone ("System.Byte[]" has
// no name and gives "").
struct SqlParameter {
    std::string name;
    std::string value;
    bool isNull = false;
    bool isText = false;
};

// The parameters captured on an execute call of a database command (its begin-call), in order;
// empty when none. At most the first 32 parameters of a command are captured.
std::vector<SqlParameter> SqlParametersOf(const DecodedCommand& begin);

// The text of one captured parameter value (the "value" record of a parameter).
SqlParameter SqlParameterValue(const ValueRecord& value);

}  // namespace QuorixCollect
