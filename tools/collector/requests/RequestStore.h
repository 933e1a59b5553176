#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "requests/RequestTracker.h"

namespace QuorixCollect {

// The requests seen so far, as their JSON objects, for the report: the oldest go first when the
// bound is reached, and are counted.
class RequestStore final : public RequestSink {
public:
    explicit RequestStore(size_t maxBytes) : bound(maxBytes) {}
    void RequestEnded(const Request& request) override;

    // "[{...},{...}]"
    std::string JsonArray() const;
    size_t Count() const { return kept.size(); }
    uint64_t LetGo() const { return letGo; }
    // What the requests' own bounds left out of them, over every request that ended.
    uint64_t CallsLeftOut() const { return callsLeftOut; }
    uint64_t ItemsLeftOut() const { return itemsLeftOut; }
    size_t Bytes() const { return bytes; }

private:
    size_t bound;
    size_t bytes = 0;
    uint64_t letGo = 0;
    uint64_t callsLeftOut = 0;
    uint64_t itemsLeftOut = 0;
    std::deque<std::string> kept;
};

// What the summary says of the requests: how many by status, the slowest, the findings.
class RequestSummary final : public RequestSink {
public:
    void RequestEnded(const Request& request) override;
    // Lines without their final line break; none when no request was seen.
    std::string Render(uint64_t notTracked, uint64_t cut) const;

private:
    struct Slow {
        double ms;
        uint64_t id;
        std::string endpoint;
        int status;
    };
    uint64_t requests = 0;
    uint64_t traces = 0;
    uint64_t byClass[6] = {};  // none, 1xx .. 5xx
    std::deque<Slow> slowest;  // longest first, at most five
    uint64_t findings[5] = {};
    std::string examples[5];
};

}  // namespace QuorixCollect
