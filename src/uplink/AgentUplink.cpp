#include "uplink/AgentUplink.h"

#include <time.h>

#include <cstring>
#include <vector>

std::atomic<int64_t> AgentUplink::deadlineCap{INT64_MAX};
std::atomic<int64_t> AgentUplink::finishCap{INT64_MAX};

int64_t AgentUplink::MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

size_t AgentUplink::MessageLength(const uint8_t* data, size_t available) {
    if (available < 2) return 0;
    const size_t length = static_cast<size_t>(data[0]) | (static_cast<size_t>(data[1]) << 8);
    return length >= 2 && length <= available && length <= 0x7FFF ? length : 0;
}

uint64_t AgentUplink::CountWholeMessages(const MessageRun* runs, size_t runCount, size_t bytes) {
    uint64_t count = 0;
    for (size_t r = 0; r < runCount && bytes > 0; ++r) {
        const size_t usable = runs[r].length < bytes ? runs[r].length : bytes;
        size_t offset = 0;
        while (offset < usable) {
            const size_t length = MessageLength(runs[r].data + offset, runs[r].length - offset);
            if (length == 0 || offset + length > usable) break;
            offset += length;
            ++count;
        }
        bytes -= usable;
    }
    return count;
}

uint64_t AgentUplink::CountMessages(const MessageRun* runs, size_t runCount) {
    uint64_t total = 0;
    for (size_t r = 0; r < runCount; ++r)
        total += runs[r].messages != 0 ? runs[r].messages : CountWholeMessages(runs + r, 1, runs[r].length);
    return total;
}

BatchResult AgentUplink::SendRuns(const MessageRun* runs, size_t runCount, int64_t) {
    BatchResult result;
    const bool stream = SupportsBatching();
    std::vector<uint8_t> pending;
    uint64_t pendingCount = 0;
    auto flush = [&] {
        if (pendingCount == 0) return;
        (Send(pending.data(), static_cast<int32_t>(pending.size())) ? result.delivered : result.failed) += pendingCount;
        pending.clear();
        pendingCount = 0;
    };
    result.failed += ForEachMessage(runs, runCount, [&](const uint8_t* message, size_t length) {
        if (!stream) {
            (Send(message, static_cast<int32_t>(length)) ? result.delivered : result.failed) += 1;
            return;
        }
        if (pending.size() + length > MaxWriteBytes) flush();
        pending.insert(pending.end(), message, message + length);
        ++pendingCount;
    });
    flush();
    return result;
}
