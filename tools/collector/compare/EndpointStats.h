#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "requests/RequestTracker.h"

namespace QuorixCollect {

// What one endpoint did over a run: the figures a comparison of two runs rests on.
struct EndpointFigures {
    std::string endpoint;
    uint64_t count = 0;
    double p50 = 0;
    double p95 = 0;
    double sqlPerRequest = 0;
};

// Durations and statement counts per endpoint (METHOD + route, as the report groups them). Each
// endpoint keeps a fixed-size uniform sample of its durations, so a long run costs no more than a
// short one; counts and statement totals stay exact.
class EndpointStats final : public RequestSink {
public:
    static constexpr size_t MaxEndpoints = 500;
    static constexpr size_t MaxSamples = 1024;
    // What the figures can take at most, for the memory bound.
    static constexpr size_t BoundBytes() { return MaxEndpoints * (MaxSamples * sizeof(double) + 256); }

    void RequestEnded(const Request& request) override;
    void Add(const std::string& endpoint, double durationMs, double sqlCount);

    // Sorted by endpoint.
    std::vector<EndpointFigures> Figures() const;
    uint64_t Requests() const { return requests; }
    // Requests of endpoints beyond MaxEndpoints, not counted anywhere.
    uint64_t LeftOut() const { return leftOut; }

private:
    struct Tally {
        uint64_t count = 0;
        double sql = 0;
        std::vector<double> sample;
    };
    std::map<std::string, Tally> byEndpoint;
    uint64_t requests = 0;
    uint64_t leftOut = 0;
    uint64_t random = 0x9E3779B97F4A7C15ULL;
};

// The page's percentile: the smallest value with at least p of the values at or below it.
double Percentile(std::vector<double> values, double p);

}  // namespace QuorixCollect
