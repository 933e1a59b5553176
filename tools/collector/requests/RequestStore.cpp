#include "requests/RequestStore.h"

#include <algorithm>
#include <cstdio>

#include "requests/RequestJson.h"

namespace QuorixCollect {

namespace {

const char* const FindingNames[5] = {"n_plus_one", "duplicate", "slow_sql", "slow_request", "failed"};

}  // namespace

void RequestStore::RequestEnded(const Request& request) {
    callsLeftOut += request.callsLeftOut;
    itemsLeftOut += request.itemsLeftOut;
    std::string json;
    AppendRequestJson(json, request);
    bytes += json.size();
    kept.push_back(std::move(json));
    while (bytes > bound && !kept.empty()) {
        bytes -= kept.front().size();
        kept.pop_front();
        ++letGo;
    }
}

std::string RequestStore::JsonArray() const {
    std::string out = "[";
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i != 0) out += ",\n";
        out += kept[i];
    }
    out += "]";
    return out;
}

void RequestSummary::RequestEnded(const Request& r) {
    if (r.kind != "http") {
        ++traces;
    } else {
        ++requests;
        ++byClass[r.status >= 100 && r.status < 600 ? r.status / 100 : 0];
    }
    const double ms = r.DurationMs();
    if (slowest.size() < 5 || ms > slowest.back().ms) {
        Slow s{ms, r.id, r.Endpoint(), r.status};
        auto at = std::find_if(slowest.begin(), slowest.end(), [&](const Slow& o) { return o.ms < ms; });
        slowest.insert(at, std::move(s));
        if (slowest.size() > 5) slowest.pop_back();
    }
    for (const auto& f : r.findings) {
        for (size_t i = 0; i < 5; ++i) {
            if (f.name == FindingNames[i]) {
                if (findings[i]++ == 0)
                    examples[i] = "request " + std::to_string(r.id) + " " + r.Endpoint() + ": " + f.text;
            }
        }
    }
}

std::string RequestSummary::Render(uint64_t notTracked, uint64_t cut) const {
    if (requests == 0 && traces == 0) {
        return {};
    }
    std::string out = "Requests: " + std::to_string(requests) + " web";
    if (traces != 0) out += ", " + std::to_string(traces) + " root calls";
    if (requests != 0) {
        out += " (";
        const char* labels[6] = {"no status", "1xx", "2xx", "3xx", "4xx", "5xx"};
        bool first = true;
        for (size_t i : {2, 3, 4, 5, 1, 0}) {
            if (byClass[i] == 0) continue;
            out += (first ? "" : ", ") + std::to_string(byClass[i]) + " " + labels[i];
            first = false;
        }
        out += ")";
    }
    if (notTracked != 0) out += ", " + std::to_string(notTracked) + " not tracked (too many open)";
    if (cut != 0) out += ", " + std::to_string(cut) + " cut short";
    out += "\n  slowest:";
    for (const auto& s : slowest) {
        char ms[32];
        snprintf(ms, sizeof ms, "%.1f ms", s.ms);
        out += "\n    " + std::string(ms) + "  #" + std::to_string(s.id) + " " + s.endpoint +
               (s.status != 0 ? " -> " + std::to_string(s.status) : std::string());
    }
    bool any = false;
    for (size_t i = 0; i < 5; ++i) {
        if (findings[i] == 0) continue;
        if (!any) out += "\n  findings:";
        any = true;
        out += "\n    " + std::string(FindingNames[i]) + ": " + std::to_string(findings[i]) + " (e.g. " + examples[i] +
               ")";
    }
    if (!any) out += "\n  findings: none";
    return out;
}

}  // namespace QuorixCollect
