#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "uplink/AgentUplink.h"
#include "uplink/FailureLog.h"

// Writes messages into a FIFO that the collector reads. The FIFO is (re)opened on demand, so
// delivery starts as soon as a reader appears and resumes after a reader went away. The reader
// only ever sees whole messages: one the pipe took in part is finished before anything else,
// however long the reader pauses (a reader that keeps the FIFO open would not notice a reopen,
// so giving the rest up would misframe it for good).
// Every process started in the same folder writes into the same FIFO. Writes hold whole
// messages of at most PIPE_BUF bytes, which the kernel never splits, and a batch is written
// under an exclusive lock on the FIFO, so that another process's bytes never land inside a
// larger message the pipe takes in parts.
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
    // Notices a reader that went away (the next open then waits for a new one).
    bool Prepare() override;

    const std::string& GetPipePath() const { return pipePath; }
    // Removes the FIFO if this process created it and it is still that FIFO; true when removed.
    // Runs at exit too; safe to call more than once and from any thread.
    static bool RemoveCreatedFifo() noexcept;
    // Messages dropped because the reader did not make room in time.
    uint64_t GetDroppedCount() const { return droppedCount.load(std::memory_order_relaxed); }

    // How long a single Send may wait for the reader to make room (a batch has its own deadline).
    static constexpr int RoomWaitMilliseconds = 50;
    // After the deadline, how long a message the pipe took in part may take to finish within the
    // same batch; what is left then waits for the next one.
    static constexpr int64_t TornMessageGraceNanoseconds = 1000000000;

    // Bytes of a message the pipe took in part that still have to follow it.
    size_t PendingTailBytes() const { return tail.size(); }

private:
    static void RememberCreatedFifo(const std::string& path);
    void CountDrops(uint64_t messages);
    // Writes what is left of a message begun earlier; false when some of it is still left.
    bool FinishTail(int64_t deadline);
    // Keeps the other processes' writers out; false when they kept it past the deadline.
    bool LockWriters(int64_t deadline);
    void UnlockWriters();
    BatchResult WriteLocked(const MessageRun* runs, size_t runCount, uint64_t total, int64_t deadline);

    int32_t pipeFd = -1;
    bool locked = false;    // this descriptor holds the writers' lock
    bool lockless = false;  // the FIFO's file system refuses locks
    std::string pipePath;
    std::vector<uint8_t> tail;
    std::atomic<uint64_t> droppedCount{0};
    FailureLog failures;
    int64_t lastDropWarning = 0;
    bool dropWarned = false;
};
