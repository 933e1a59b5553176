#include "compare/EndpointComparison.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "text/JsonBuilder.h"

namespace QuorixCollect {

namespace {

std::string Ms(double v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f ms", v);
    return buf;
}

std::string Signed(double v, const char* unit) {
    char buf[48];
    snprintf(buf, sizeof buf, "%+.1f%s", v, unit);
    return buf;
}

void Figures(JsonBuilder& j, const char* key, bool seen, const EndpointFigures& f) {
    j.Key(key);
    if (!seen) {
        j.Null();
        return;
    }
    j.Open('{');
    j.Key("count").Count(f.count);
    j.Key("p50").Number(f.p50);
    j.Key("p95").Number(f.p95);
    j.Key("sqlPerRequest").Number(f.sqlPerRequest);
    j.Close('}');
}

}  // namespace

std::string RegressionRules::Text() const {
    char buf[256];
    snprintf(buf, sizeof buf,
             "A regression: p95 up by %.0f%% or more and by at least %.0f ms, or %.1f or more SQL statements per "
             "request than before.",
             p95Ratio * 100, p95Ms, sqlPerRequest);
    return buf;
}

std::vector<EndpointChange> CompareEndpoints(const std::vector<EndpointFigures>& before,
                                             const std::vector<EndpointFigures>& now, const RegressionRules& rules) {
    std::map<std::string, EndpointChange> all;
    for (const auto& f : before) {
        EndpointChange& c = all[f.endpoint];
        c.endpoint = f.endpoint;
        c.before = true;
        c.was = f;
    }
    for (const auto& f : now) {
        EndpointChange& c = all[f.endpoint];
        c.endpoint = f.endpoint;
        c.now = true;
        c.is = f;
    }
    std::vector<EndpointChange> out;
    for (auto& [name, c] : all) {
        if (c.before && c.now) {
            const double up = c.is.p95 - c.was.p95;
            if (up >= rules.p95Ms && up >= rules.p95Ratio * c.was.p95) {
                c.why.push_back("p95 " + Ms(c.was.p95) + " -> " + Ms(c.is.p95));
            }
            const double moreSql = c.is.sqlPerRequest - c.was.sqlPerRequest;
            if (moreSql >= rules.sqlPerRequest) {
                c.why.push_back(Signed(moreSql, " SQL per request"));
            }
            c.regression = !c.why.empty();
        }
        out.push_back(std::move(c));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const EndpointChange& a, const EndpointChange& b) { return a.regression > b.regression; });
    return out;
}

std::string EndpointComparisonJson(const std::vector<EndpointChange>& changes, const RegressionRules& rules,
                                   const std::string& file) {
    std::string out;
    JsonBuilder j(out);
    j.Open('{');
    j.Key("kind").String("requests");
    j.Key("file").String(file);
    j.Key("rule").String(rules.Text());
    size_t regressions = 0;
    for (const auto& c : changes) regressions += c.regression ? 1 : 0;
    j.Key("regressions").Count(regressions);
    j.Key("endpoints").Open('[');
    for (const auto& c : changes) {
        j.Open('{');
        j.Key("endpoint").String(c.endpoint);
        Figures(j, "before", c.before, c.was);
        Figures(j, "now", c.now, c.is);
        j.Key("regression").Bool(c.regression);
        j.Key("why").Open('[');
        for (const auto& w : c.why) j.String(w);
        j.Close(']');
        j.Close('}');
    }
    j.Close(']');
    j.Close('}');
    return out;
}

std::string EndpointComparisonLines(const std::vector<EndpointChange>& changes, const std::string& file) {
    size_t regressions = 0, both = 0;
    for (const auto& c : changes) {
        regressions += c.regression ? 1 : 0;
        both += c.before && c.now ? 1 : 0;
    }
    std::string out = "Compared with " + file + ": " + std::to_string(both) + " endpoints in both runs, " +
                      std::to_string(regressions) + (regressions == 1 ? " regression" : " regressions");
    for (const auto& c : changes) {
        if (!c.regression) continue;
        out += "\n  regression " + c.endpoint + ":";
        for (size_t i = 0; i < c.why.size(); ++i) out += (i == 0 ? " " : ", ") + c.why[i];
    }
    return out;
}

}  // namespace QuorixCollect
