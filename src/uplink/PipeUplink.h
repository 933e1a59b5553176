#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "uplink/AgentUplink.h"

// Writes messages into a FIFO that the collector reads. The FIFO is (re)opened on demand, so
// delivery starts as soon as a reader appears and resumes after a reader went away. A message
// is written whole or not at all, so the reader's framing never breaks while the pipe is open.
class PipeUplink : public AgentUplink {
public:
    PipeUplink();
    explicit PipeUplink(const std::wstring& path);
    ~PipeUplink() override;

    PipeUplink(const PipeUplink&) = delete;
    PipeUplink& operator=(const PipeUplink&) = delete;

    bool Connect() override;
    bool Send(const uint8_t* data, int32_t length) override;
    bool Close() override;
    // A stream: messages may go out several per write.
    bool SupportsBatching() override { return true; }
    BatchResult SendRuns(const MessageRun* runs, size_t runCount, int64_t deadline) override;

    const std::string& GetPipePath() const { return pipePath; }
    // Removes the FIFO if this process created it and it is still that FIFO; true when removed.
    // Runs at exit too; safe to call more than once and from any thread.
    static bool RemoveCreatedFifo() noexcept;
    // Messages dropped because the reader did not make room in time.
    uint64_t GetDroppedCount() const { return droppedCount.load(std::memory_order_relaxed); }

    // How long a batch may wait for the reader to make room for its next message.
    static constexpr int RoomWaitMilliseconds = 50;
    // How long a message the pipe took in part may take to finish before the pipe is reopened.
    static constexpr int64_t TornMessageGraceNanoseconds = 1000000000;

private:
    static void RememberCreatedFifo(const std::string& path);
    // Bytes the pipe will take for certain; SIZE_MAX when it cannot tell or the reader is gone
    // (the write then reports what happened).
    size_t SafeRoom() const;
    void CountDrops(uint64_t messages);

    int32_t pipeFd = -1;
    std::string pipePath;
    std::atomic<uint64_t> droppedCount{0};
    int64_t lastDropWarning = 0;
    bool dropWarned = false;
};
