#include "compare/EndpointStats.h"

#include <algorithm>
#include <cmath>

namespace QuorixCollect {

void EndpointStats::RequestEnded(const Request& request) {
    Add(request.Endpoint(), request.DurationMs(), static_cast<double>(request.sql.size()));
}

void EndpointStats::Add(const std::string& endpoint, double durationMs, double sqlCount) {
    auto it = byEndpoint.find(endpoint);
    if (it == byEndpoint.end()) {
        if (byEndpoint.size() >= MaxEndpoints) {
            ++leftOut;
            return;
        }
        it = byEndpoint.emplace(endpoint, Tally{}).first;
    }
    ++requests;
    Tally& t = it->second;
    ++t.count;
    t.sql += sqlCount;
    if (t.sample.size() < MaxSamples) {
        t.sample.push_back(durationMs);
        return;
    }
    // Reservoir sampling: every request so far is in the sample with the same chance.
    random = random * 6364136223846793005ULL + 1442695040888963407ULL;
    const uint64_t slot = (random >> 11) % t.count;
    if (slot < MaxSamples) t.sample[slot] = durationMs;
}

std::vector<EndpointFigures> EndpointStats::Figures() const {
    std::vector<EndpointFigures> out;
    out.reserve(byEndpoint.size());
    for (const auto& [endpoint, t] : byEndpoint) {
        EndpointFigures f;
        f.endpoint = endpoint;
        f.count = t.count;
        f.p50 = Percentile(t.sample, 0.5);
        f.p95 = Percentile(t.sample, 0.95);
        f.sqlPerRequest = t.count != 0 ? t.sql / static_cast<double>(t.count) : 0;
        out.push_back(std::move(f));
    }
    return out;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p * static_cast<double>(values.size()));
    const size_t at = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(at, values.size() - 1)];
}

}  // namespace QuorixCollect
