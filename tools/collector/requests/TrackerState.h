#pragma once

// What the request tracker keeps while requests run; shared by its two source files.

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>
#include <cstdint>
#include <deque>

#include "dotnet/CapturedMeaning.h"
#include "requests/RequestTracker.h"

namespace QuorixCollect {

// What a request holds while it runs, besides what it hands over.
struct RequestTracker::Live {
    Request req;
    uint32_t gen = 0;
    uint32_t run = 0;
    uint32_t open = 0;     // its calls open now
    bool rootOpen = true;  // the call where it began has not returned yet
    // Its state machines that wait for a task (their continuation is registered) and have not
    // gone on yet: while one waits, the request is not over even if nothing of it runs.
    std::vector<uint64_t> suspended;
    uint64_t rootTask = 0;      // the task the host awaits, when the entry started an async method
    bool awaitingRoot = false;  // that task was still waiting when the entry returned
    bool rootDone = false;      // and it finished since
    int64_t rootEndTicks = 0;
    bool hostDone = false;  // the host went on with the connection after the app's part
    bool quiet = false;     // nothing open, nothing waiting: over unless something joins soon
    int64_t quietTicks = 0;
    Clock::time_point quietSince{};
    int64_t lastTicks = 0;       // the latest end of its calls
    int64_t endCap = INT64_MAX;  // the host began its next request inside this one's frames
    Clock::time_point lastActive{};
    uint64_t protocol = 0;               // the host's object of its connection
    size_t bytes = 0;                    // what its kept calls and items take, roughly
    std::vector<uint64_t> keys;          // its entries in the run's links
    std::vector<uint64_t> awaited;       // its tasks in the run's awaited items
    std::vector<uint64_t> exceptionIds;  // in the run's exception owners
};

struct ItemRef {
    uint32_t slot;
    uint32_t gen;
    uint8_t kind;
    uint32_t index;
};

// What is known per run of a process: functions, and the keys that tie work to requests.
struct RequestTracker::RunState {
    bool webSeen = false;
    bool tracesDirect = false;  // too many root calls to hold back: they go out as they end
    std::vector<Function> functions;
    std::unordered_map<uint64_t, uint64_t> links;  // task, work item or continuation -> (gen << 32 | slot)
    int64_t lastTicks = INT64_MIN;                 // the latest time stamp of a closed call
    std::unordered_map<uint64_t, ItemRef> awaited;
    std::unordered_map<uint64_t, ItemRef> outgoing;         // an outgoing request message -> its call
    std::unordered_map<std::string, ItemRef> outgoingUrls;  // the last outgoing call of each URL
    std::unordered_map<uint64_t, std::pair<std::string, std::string>> commandTexts;  // command -> system, text
    std::unordered_map<uint64_t, uint64_t> commandConnections;                       // command -> connection
    std::unordered_map<uint64_t, DbTarget> connections;
    // The connection string set last, per database system: for commands whose connection the
    // provider set without a traced setter (a connection's CreateCommand).
    std::unordered_map<std::string, DbTarget> lastTargets;
    std::unordered_map<uint64_t, uint64_t> protocols;  // host connection object -> its latest request
    std::unordered_map<uint64_t, ItemRef> exceptionOwners;
    std::vector<Request> heldTraces;
    size_t heldBytes = 0;
    // Each thread's commands come in order, threads' among each other not quite: a continuation
    // may be read before the registration that ties it to its request. Pieces still open when
    // their key turns up are adopted; keys resumed before they were seen waiting are not waited for.
    struct Orphan {
        uint32_t thread;
        uint32_t depth;
        uint64_t seq;
    };
    std::unordered_map<uint64_t, Orphan> orphans;
    std::unordered_set<uint64_t> resumedEarly;
    std::deque<std::pair<uint32_t, uint32_t>> quietOnes;  // (slot, gen), in the order they fell quiet
};

constexpr size_t MaxKeyed = 1 << 16;  // entries of each per-run map before it starts afresh

template <typename Map>
void Bound(Map& map) {
    if (map.size() >= MaxKeyed) {
        map.clear();
    }
}

// Addresses of different runs of a process do not meet in one map.
inline uint64_t Key(uint32_t run, uint64_t address) { return address ^ (static_cast<uint64_t>(run) << 52); }

}  // namespace QuorixCollect
