#pragma once

#include <cstdint>
#include <deque>
#include <unordered_set>
#include <vector>

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
    // On every call: mapped ids are small and dense, so a bit per id answers without hashing.
    bool IsTracked(uint64_t functionId) const {
        if (functionId < DenseIds) {
            const size_t word = static_cast<size_t>(functionId / 64);
            return word < trackedBits.size() && ((trackedBits[word] >> (functionId % 64)) & 1) != 0;
        }
        return trackedFunctions.count(functionId) != 0;
    }

    // Ids below this are kept in a bit set (at most 128 KiB a thread), the rest in a hash set.
    static constexpr uint64_t DenseIds = uint64_t{1} << 20;

    // The hooks read it; nothing in the agent sets it: kept for a debugger or test that silences
    // one thread's reporting.
    bool GetDisabled() const { return disabled; }
    void SetDisabled(bool value) { disabled = value; }

    void BeginTrackingBlacklistFunction(uint64_t functionId);
    bool EndTrackingBlacklistFunction(uint64_t functionId);
    size_t BlacklistDepth() const { return blacklistStack.size(); }

private:
    uint64_t threadId;
    uint64_t osThreadId = UnknownOSThreadId;
    HostType hostType;
    std::vector<uint64_t> trackedBits;
    std::unordered_set<uint64_t> trackedFunctions;
    bool disabled = false;
    std::deque<uint64_t> blacklistStack;
};
