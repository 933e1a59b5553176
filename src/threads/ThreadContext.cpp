#include "threads/ThreadContext.h"

#include <algorithm>

ThreadContext::ThreadContext(uint64_t threadIdValue, HostType hostTypeValue)
    : threadId(threadIdValue), hostType(hostTypeValue) {
    trackedFunctions.max_load_factor(1.0f);
}

void ThreadContext::TrackEntryPoint() {
    std::fill(trackedBits.begin(), trackedBits.end(), 0);
    trackedFunctions.clear();
    // Swap rather than clear so the blocks of a deep stack are given back.
    std::deque<uint64_t>().swap(blacklistStack);
}

void ThreadContext::TrackFunction(uint64_t functionId) {
    if (functionId >= DenseIds) {
        trackedFunctions.insert(functionId);
        return;
    }
    const size_t word = static_cast<size_t>(functionId / 64);
    // Grown in steps, so that a thread calling more and more functions resizes rarely.
    if (word >= trackedBits.size()) trackedBits.resize(std::max<size_t>(word + 1, trackedBits.size() * 2), 0);
    trackedBits[word] |= uint64_t{1} << (functionId % 64);
}

void ThreadContext::BeginTrackingBlacklistFunction(uint64_t functionId) { blacklistStack.push_back(functionId); }

bool ThreadContext::EndTrackingBlacklistFunction(uint64_t functionId) {
    if (blacklistStack.empty() || blacklistStack.back() != functionId) return false;
    blacklistStack.pop_back();
    return true;
}
