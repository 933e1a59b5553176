#include "threads/ThreadExecutionTracker.h"

#include <sys/time.h>

#include <limits>
#include <utility>

#include "environment/Logger.h"

int64_t ThreadExecutionTracker::CurrentTimeMicros() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(static_cast<double>(now.tv_sec) * 1000.0 * 1000) + now.tv_usec;
}

ThreadExecutionTrackerFunctionEntry::ThreadExecutionTrackerFunctionEntry(uint64_t functionIdValue)
    : ThreadExecutionTrackerFunctionEntry(functionIdValue, ThreadExecutionTracker::CurrentTimeMicros()) {}

ThreadExecutionTrackerFunctionEntry::ThreadExecutionTrackerFunctionEntry(uint64_t functionIdValue, int64_t now)
    : functionId(functionIdValue), windowStart(now) {}

ThreadExecutionTracker::ThreadExecutionTracker(uint64_t threadIdValue)
    : ThreadExecutionTracker(threadIdValue, &ThreadExecutionTracker::CurrentTimeMicros) {}

ThreadExecutionTracker::ThreadExecutionTracker(uint64_t threadIdValue, TrackerClock clockValue)
    : threadId(threadIdValue), clock(std::move(clockValue)) {
    if (!clock) clock = &ThreadExecutionTracker::CurrentTimeMicros;
}

ThreadExecutionTrackerFunctionEntry& ThreadExecutionTracker::EntryFor(uint64_t functionId) {
    auto found = entries.find(functionId);
    if (found == entries.end()) {
        found = entries.emplace(functionId, ThreadExecutionTrackerFunctionEntry(functionId, clock())).first;
    }
    return found->second;
}

bool ThreadExecutionTracker::TrackFunction(uint64_t functionId) {
    std::lock_guard<std::mutex> lock(entriesLock);
    ThreadExecutionTrackerFunctionEntry& entry = EntryFor(functionId);
    if (entry.disabled) return false;

    const int64_t now = clock();
    // A wall clock stepped backwards would otherwise keep a full window closed until time
    // catches up again.
    if (entry.windowStart + windowLength < now || now < entry.windowStart) {
        entry.windowStart = now;
        entry.callCount = 1;
        return true;
    }

    const int32_t previous = entry.callCount;
    if (previous < std::numeric_limits<int32_t>::max()) entry.callCount = previous + 1;
    if (previous < maxCallsPerWindow) return true;

    QX_LOG(LogLevel::Debug, LogArea::Unprefixed,
           "____TrackFunction____: Hit rate limit for function %lu (%lu calls/sec)",
           static_cast<unsigned long>(functionId), static_cast<unsigned long>(entry.callCount));
    return false;
}

void ThreadExecutionTracker::DisableFunction(uint64_t functionId) {
    std::lock_guard<std::mutex> lock(entriesLock);
    EntryFor(functionId).disabled = true;
}

bool ThreadExecutionTracker::IsDisabled(uint64_t functionId) {
    std::lock_guard<std::mutex> lock(entriesLock);
    return EntryFor(functionId).disabled;
}

size_t ThreadExecutionTracker::EntryCount() {
    std::lock_guard<std::mutex> lock(entriesLock);
    return entries.size();
}
