#include "threads/ThreadContext.h"

ThreadContext::ThreadContext(uint64_t threadIdValue, HostType hostTypeValue)
    : threadId(threadIdValue), hostType(hostTypeValue) {
    trackedFunctions.max_load_factor(1.0f);
}

void ThreadContext::TrackEntryPoint() {
    trackedFunctions.clear();
    // Swap rather than clear so the blocks of a deep stack are given back.
    std::deque<uint64_t>().swap(blacklistStack);
}

void ThreadContext::TrackFunction(uint64_t functionId) { trackedFunctions.insert(functionId); }

bool ThreadContext::IsTracked(uint64_t functionId) const { return trackedFunctions.count(functionId) != 0; }

void ThreadContext::BeginTrackingBlacklistFunction(uint64_t functionId) { blacklistStack.push_back(functionId); }

bool ThreadContext::EndTrackingBlacklistFunction(uint64_t functionId) {
    if (blacklistStack.empty() || blacklistStack.back() != functionId) return false;
    blacklistStack.pop_back();
    return true;
}
