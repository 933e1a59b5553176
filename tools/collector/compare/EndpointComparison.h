#pragma once

#include <string>
#include <vector>

#include "compare/EndpointStats.h"

namespace QuorixCollect {

// When an endpoint counts as having got worse than in the earlier run.
struct RegressionRules {
    double p95Ratio = 0.20;      // p95 up by at least this share of the earlier p95
    double p95Ms = 10;           // and by at least this many milliseconds (noise on fast endpoints)
    double sqlPerRequest = 0.5;  // or this many more statements per request on average
    // The page's one line on it.
    std::string Text() const;
};

struct EndpointChange {
    std::string endpoint;
    bool before = false;  // seen in the earlier run
    bool now = false;     // seen in this one
    EndpointFigures was, is;
    bool regression = false;
    std::vector<std::string> why;  // what made it one
};

// Every endpoint of either run, regressions first, then by endpoint.
std::vector<EndpointChange> CompareEndpoints(const std::vector<EndpointFigures>& before,
                                             const std::vector<EndpointFigures>& now, const RegressionRules& rules);

// {"kind":"requests","file":...,"rule":...,"regressions":N,"endpoints":[...]}: what the report and
// the live page draw.
std::string EndpointComparisonJson(const std::vector<EndpointChange>& changes, const RegressionRules& rules,
                                   const std::string& file);

// For the text summary: one line, and one more per regression.
std::string EndpointComparisonLines(const std::vector<EndpointChange>& changes, const std::string& file);

}  // namespace QuorixCollect
