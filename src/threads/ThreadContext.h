#pragma once

#include <cstdint>
#include <deque>
#include <unordered_set>

#include "environment/Configuration.h"

// What the call hooks remember about one managed thread between calls. Not synchronised:
// every use happens under the profiler's thread-context lock.
class ThreadContext {
public:
    // Until the runtime maps the thread, the OS id reads as 0 ("not known").
    static constexpr uint64_t UnknownOSThreadId = 0;

    ThreadContext(uint64_t threadId, HostType hostType);
    virtual ~ThreadContext() = default;

    uint64_t GetThreadId() const { return threadId; }
    uint64_t GetOSThreadId() const { return osThreadId; }
    void SetOSThreadId(uint64_t id) { osThreadId = id; }
    HostType GetHostType() const { return hostType; }

    void TrackEntryPoint();
    void TrackFunction(uint64_t functionId);
    bool IsTracked(uint64_t functionId) const;

    bool GetDisabled() const { return disabled; }
    void SetDisabled(bool value) { disabled = value; }

    void BeginTrackingBlacklistFunction(uint64_t functionId);
    bool EndTrackingBlacklistFunction(uint64_t functionId);
    size_t BlacklistDepth() const { return blacklistStack.size(); }

private:
    uint64_t threadId;
    uint64_t osThreadId = UnknownOSThreadId;
    HostType hostType;
    std::unordered_set<uint64_t> trackedFunctions;
    bool disabled = false;
    std::deque<uint64_t> blacklistStack;
};
