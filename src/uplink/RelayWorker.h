#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

class AgentUplink;
class CommandBase;
class SerializedCommand;

// Takes finished commands from any thread, turns them into bytes at once and hands them, in
// order, to the uplink on one background thread. Runtime threads never wait for I/O here.
class RelayWorker {
public:
    // The process-wide instance. It is deliberately never destroyed: its detached thread and the
    // runtime's hooks may still use it while static objects are torn down at exit.
    static RelayWorker* Instance();

    RelayWorker();
    // Only for instances whose thread has ended (see WaitForExit); frees what is still queued.
    ~RelayWorker();

    RelayWorker(const RelayWorker&) = delete;
    RelayWorker& operator=(const RelayWorker&) = delete;

    void Start(AgentUplink* transport);
    // Takes ownership of the command. Never throws, never blocks on I/O.
    void Enqueue(CommandBase* command) noexcept;
    // Makes the worker end without sending what is still queued; does not wait for it.
    // Commands enqueued afterwards are discarded (and counted as dropped).
    void Stop();
    void Run();

    // Waits up to the timeout until everything queued so far was handed to the uplink (or the
    // worker is gone); true when it was.
    bool WaitUntilDrained(std::chrono::milliseconds timeout);

    // Waits up to the timeout for the worker thread to have left Run; true when it has.
    bool WaitForExit(int timeoutMilliseconds);

    // Bound on the bytes waiting in the queue; messages beyond it are dropped and counted.
    void SetMaxQueuedBytes(size_t bytes);
    // Replaces the monotonic clock (nanoseconds) behind the announcement throttle and drop warnings.
    using MonotonicClock = int64_t (*)();
    void SetClock(MonotonicClock clock);

    uint64_t GetSentCount() const { return sentCount.load(std::memory_order_relaxed); }
    uint64_t GetFailedCount() const { return failedCount.load(std::memory_order_relaxed); }
    uint64_t GetDroppedCount() const { return droppedCount.load(std::memory_order_relaxed); }
    uint64_t GetThrottledCount() const { return throttledCount.load(std::memory_order_relaxed); }
    size_t GetQueuedBytes();
    size_t GetQueuedMessages();

    static constexpr size_t DefaultMaxQueuedBytes = 64u * 1024 * 1024;
    // Largest write of several messages: what a FIFO writes atomically.
    static constexpr size_t MaxBatchBytes = 4096;
    static constexpr int64_t AnnouncementInterval = 30000000000LL;  // 30 s in ns
    static constexpr int64_t DropWarningInterval = 5000000000LL;    // 5 s in ns

private:
    // One slowly changing announcement: let through at most once per interval, the first always.
    struct Gate {
        std::atomic<bool> acceptedOnce{false};
        std::atomic<int64_t> lastAccepted{0};
    };
    static bool Admit(Gate& gate, int64_t now);
    void ReportDrop(int64_t now, size_t queuedBytes);

    std::deque<SerializedCommand*> queue;
    std::condition_variable queueSignal;
    std::mutex queueMutex;
    bool running = false;
    bool started = false;
    std::atomic<bool> stopped{false};  // also read without the lock by producers
    bool exited = false;
    bool inFlight = false;
    bool workerWaiting = false;  // the worker sleeps on queueSignal and must be woken  // a message taken off the queue is being sent
    Gate processTypeGate;
    Gate profilerVersionGate;
    AgentUplink* uplink = nullptr;
    std::condition_variable exitSignal;
    size_t queuedBytes = 0;
    size_t maxQueuedBytes = DefaultMaxQueuedBytes;
    std::atomic<MonotonicClock> clock;
    std::atomic<uint64_t> sentCount{0};
    std::atomic<uint64_t> failedCount{0};
    std::atomic<uint64_t> droppedCount{0};
    std::atomic<uint64_t> throttledCount{0};
    std::atomic<int64_t> lastDropWarning{0};
    std::atomic<bool> dropWarned{false};
};
