#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "requests/RequestTracker.h"

namespace QuorixCollect {

// The requests the live view serves, as their --requests objects, numbered in the order they
// ended. The collector's thread adds; the server's threads take snapshots. The lock is held only
// to move pointers: a request's JSON is written before it is taken, and a response is put
// together after it is released, so a reader never holds up the reading of the agent's stream.
// Bounded in bytes: the oldest go first, and are counted.
class LiveStore final : public RequestSink {
public:
    explicit LiveStore(size_t maxBytes) : bound(maxBytes) {}

    void RequestEnded(const Request& request) override;
    // The same for a request already written as JSON (tests, and what a writer made once).
    void Add(std::string json);

    struct Snapshot {
        std::vector<std::shared_ptr<const std::string>> requests;
        uint64_t last = 0;   // number of the newest request ever added (0: none yet)
        uint64_t letGo = 0;  // requests dropped for the bound so far
    };
    // The kept requests numbered above `since`, oldest first.
    Snapshot Since(uint64_t since) const;
    // "[{...},{...}]"
    static std::string JsonArray(const Snapshot& snapshot);

    // What the page shows beside the requests (the comparison with an earlier run); replaced whole.
    void Publish(std::string comparisonJson);
    std::string Comparison() const;

    uint64_t LetGo() const;
    size_t Bytes() const;
    size_t Count() const;

private:
    struct Entry {
        uint64_t number;
        std::shared_ptr<const std::string> json;
    };
    const size_t bound;
    mutable std::mutex lock;
    std::deque<Entry> kept;
    size_t bytes = 0;
    uint64_t last = 0;
    uint64_t letGo = 0;
    std::string comparison;
};

}  // namespace QuorixCollect
