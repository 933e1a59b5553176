#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "requests/Request.h"

namespace QuorixCollect {

struct FindingRules {
    size_t nPlusOne = 5;         // the same statement shape this often in one request
    double slowSqlMs = 100;      // a statement at or over this
    double slowRequestMs = 500;  // a request at or over this
};

// The statement with its literals and parameters taken out, lower case, blanks folded:
// "SELECT * FROM t WHERE id = 42" and "select * from t where id = @id" have one shape.
std::string SqlShape(std::string_view text);

// The statement with its captured parameter values in place of their names, to copy and run.
std::string InlineParameters(const SqlStatement& statement);

// Sets the request's findings, and each statement's, by the rules.
void FindIn(Request& request, const FindingRules& rules);

}  // namespace QuorixCollect
