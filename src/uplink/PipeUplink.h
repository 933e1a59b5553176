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

    const std::string& GetPipePath() const { return pipePath; }
    // Messages dropped because the reader did not make room in time.
    uint64_t GetDroppedCount() const { return droppedCount.load(std::memory_order_relaxed); }

    // How long one message may wait for the reader to make room.
    static constexpr int RoomWaitMilliseconds = 50;

private:
    bool WaitForRoom(size_t length, int64_t deadline) const;
    void CountDrop();

    int32_t pipeFd = -1;
    std::string pipePath;
    std::atomic<uint64_t> droppedCount{0};
    int64_t lastDropWarning = 0;
    bool dropWarned = false;
};
