#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

// Microseconds of wall-clock time.
using TrackerClock = std::function<int64_t()>;

// Call counting and the off switch of one function on one thread.
class ThreadExecutionTrackerFunctionEntry {
public:
    explicit ThreadExecutionTrackerFunctionEntry(uint64_t functionId);
    ThreadExecutionTrackerFunctionEntry(uint64_t functionId, int64_t now);

    uint64_t functionId;
    int64_t windowStart;
    int32_t callCount = 0;
    bool disabled = false;
};

// Per-thread rate limit and switch for functions: at most maxCallsPerWindow calls per window of
// windowLength microseconds are allowed; a disabled function stays disabled.
class ThreadExecutionTracker {
public:
    explicit ThreadExecutionTracker(uint64_t threadId);
    // With another time source (tests).
    ThreadExecutionTracker(uint64_t threadId, TrackerClock clock);
    ThreadExecutionTracker(const ThreadExecutionTracker&) = delete;
    ThreadExecutionTracker& operator=(const ThreadExecutionTracker&) = delete;

    // True when the call may be reported.
    bool TrackFunction(uint64_t functionId);
    void DisableFunction(uint64_t functionId);
    bool IsDisabled(uint64_t functionId);

    uint64_t GetThreadId() const { return threadId; }
    size_t EntryCount();

    static int64_t CurrentTimeMicros();

    static constexpr int64_t DefaultWindowLength = 1000000;
    static constexpr int32_t DefaultMaxCallsPerWindow = 10;

private:
    ThreadExecutionTrackerFunctionEntry& EntryFor(uint64_t functionId);

    uint64_t threadId;
    int64_t windowLength = DefaultWindowLength;
    std::map<uint64_t, ThreadExecutionTrackerFunctionEntry> entries;
    int32_t maxCallsPerWindow = DefaultMaxCallsPerWindow;
    TrackerClock clock;
    // Thread ids are truncated pthread_self values: two live threads can share one, so the
    // tracker cannot count on a single user.
    std::mutex entriesLock;
};
