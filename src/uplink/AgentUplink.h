#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Whole messages laid back to back; each starts with its 16-bit length.
struct MessageRun {
    const uint8_t* data = nullptr;
    size_t length = 0;
    uint64_t messages = 0;  // how many, when the producer counted them; 0: count them
};

// Messages of a batch that were handed over, and those that were not.
// On a stream the delivered messages are always the first ones of the batch.
struct BatchResult {
    uint64_t delivered = 0;
    uint64_t failed = 0;
    uint64_t timedOut = 0;  // of the failed: the reader made no room for them in time
};

// A transport from the agent to the collector. Only the relay thread sends; every
// transport connects lazily and fails fast, so that thread never stalls for long.
class AgentUplink {
public:
    virtual bool Connect() = 0;
    // One whole message per call; false when it was not handed to the transport.
    virtual bool Send(const uint8_t* data, int32_t length) = 0;
    virtual bool Close() = 0;
    virtual bool SupportsBatching() = 0;
    virtual ~AgentUplink() = default;

    // Hands over the messages of the runs, in order, giving up at the monotonic deadline (ns).
    // The default sends them one by one, or, for a stream, in writes of up to MaxWriteBytes.
    virtual BatchResult SendRuns(const MessageRun* runs, size_t runCount, int64_t deadline);

    // Makes sure the transport is ready, noticing a reader that went away and reconnecting;
    // true when ready. A stream connects here and nowhere else on the relay's path, so that
    // whoever calls this learns of a new connection before the first byte is written on it.
    virtual bool Prepare() { return Connect(); }
    // Counts the connections made (the FIFO opened, the socket connected); a new value means a
    // reader that has seen nothing yet.
    uint64_t Generation() const { return generation.load(std::memory_order_relaxed); }

    static constexpr size_t MaxWriteBytes = 256 * 1024;

    // No transport starts on a message beyond `start`, nor waits to finish one it began beyond
    // `finish` (monotonic ns), whatever the batch's own deadline: the end of the process sets
    // them, the second later, so that a message begun can still end whole.
    static void SetDeadlineCaps(int64_t start, int64_t finish) {
        finishCap.store(finish, std::memory_order_relaxed);
        deadlineCap.store(start, std::memory_order_relaxed);
    }
    static void SetDeadlineCap(int64_t cap) { SetDeadlineCaps(cap, cap); }
    static int64_t EffectiveDeadline(int64_t deadline) {
        const int64_t cap = deadlineCap.load(std::memory_order_relaxed);
        return cap < deadline ? cap : deadline;
    }
    // The same for finishing a message already begun.
    static int64_t EffectiveFinishDeadline(int64_t deadline) {
        const int64_t cap = finishCap.load(std::memory_order_relaxed);
        return cap < deadline ? cap : deadline;
    }
    static int64_t MonotonicNow();

    // Length of the message at `data` (its first two bytes), 0 when malformed or cut.
    static size_t MessageLength(const uint8_t* data, size_t available);
    // Calls onMessage(data, length) for each message of the runs, in order; returns the number of
    // runs that ended in a malformed message (nothing after it can be framed).
    template <typename OnMessage>
    static uint64_t ForEachMessage(const MessageRun* runs, size_t runCount, OnMessage&& onMessage) {
        uint64_t malformed = 0;
        for (size_t r = 0; r < runCount; ++r) {
            size_t offset = 0;
            while (offset < runs[r].length) {
                const uint8_t* message = runs[r].data + offset;
                const size_t length = MessageLength(message, runs[r].length - offset);
                if (length == 0) {
                    ++malformed;
                    break;
                }
                offset += length;
                onMessage(message, length);
            }
        }
        return malformed;
    }
    // Messages of the runs: the producers' counts where given, else counted.
    static uint64_t CountMessages(const MessageRun* runs, size_t runCount);
    // Messages that start in the first `bytes` bytes of the runs and end within them.
    static uint64_t CountWholeMessages(const MessageRun* runs, size_t runCount, size_t bytes);

protected:
    void CountConnection() { generation.fetch_add(1, std::memory_order_relaxed); }

private:
    static std::atomic<int64_t> deadlineCap;
    static std::atomic<int64_t> finishCap;
    std::atomic<uint64_t> generation{0};
};
