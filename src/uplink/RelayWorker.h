#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "commands/CommandBase.h"
#include "commands/DeliveryStatisticsCommand.h"
#include "uplink/AgentUplink.h"

class AgentUplink;
class SerializedCommand;
class ThreadBuffer;

// Carries commands to the uplink on one background thread, so that application threads never
// wait for I/O. Two roads lead here:
// - the call path: each application thread writes its commands into a ThreadBuffer of its own,
//   without a lock; the relay collects what was committed;
// - everything else (announcements, thread events, the end of the process) goes through a
//   queue under a lock, serialised at once.
// Each pass of the relay sends, in this order: the queued commands, what the thread buffers
// held when the pass began, then the commands marked to follow the calls (a thread's end, the
// process end). So a thread's start precedes its calls, its end follows them, and the process
// end is the very last message.
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
    // A message already serialised (new[] bytes, ownership passes); false when it was dropped.
    bool EnqueueMessage(uint8_t* payload, int16_t length) noexcept;
    // Same, but the command goes out only after what the thread buffers hold at this moment.
    void EnqueueAfterCalls(CommandBase* command) noexcept;
    // Sends the command as the last message of the process, after what is queued and buffered,
    // giving up on the rest (counted as failed) so that the whole takes at most `budget`. Then
    // the worker ends. True when the last message was handed to the uplink.
    bool Finish(CommandBase* last, std::chrono::milliseconds budget) noexcept;
    // Makes the worker end without sending what is still queued; does not wait for it.
    // Commands enqueued afterwards are discarded (and counted as dropped).
    void Stop();
    void Run();

    // A thread buffer whose committed messages the worker collects from now on. The worker
    // frees it once it is retired and empty.
    void Register(ThreadBuffer* buffer) noexcept;
    // Called by a writer whose buffer fills up: wakes the worker if it sleeps.
    void Nudge() noexcept;
    // The two slowly changing announcements (process type, agent version) pass at most once per
    // interval; false for one that must be left out now. Any other type passes.
    bool AdmitAnnouncement(Calls::CallType type) noexcept;

    // Waits up to the timeout until everything queued or buffered so far was handed to the
    // uplink (or the worker is gone); true when it was.
    bool WaitUntilDrained(std::chrono::milliseconds timeout);

    // Waits up to the timeout for the worker thread to have left Run; true when it has.
    bool WaitForExit(int timeoutMilliseconds);

    // Bound on the bytes waiting in the queue, each message with its bookkeeping; messages
    // beyond it, or beyond the budget the queue shares with the thread buffers, are dropped and
    // counted.
    void SetMaxQueuedBytes(size_t bytes);
    // Sends a delivery-statistics command every `interval` ns, and one before the last message.
    // Called before Start.
    void ReportDelivery(uint64_t processId, int64_t interval = DeliveryReportInterval);
    DeliveryStatisticsCommand::Counts GetDeliveryCounts() const;
    // Functions whose name a new reader gets first, and the bytes their copies take.
    size_t GetKnownFunctionCount();
    size_t GetKnownFunctionBytes();
    // Replaces the monotonic clock (nanoseconds) behind the announcement throttle, the delivery
    // reports and drop warnings.
    using MonotonicClock = int64_t (*)();
    void SetClock(MonotonicClock clock);

    uint64_t GetSentCount() const { return sentCount.load(std::memory_order_relaxed); }
    uint64_t GetFailedCount() const { return failedCount.load(std::memory_order_relaxed); }
    // Of the failed: the reader made no room for them in time.
    uint64_t GetTimedOutCount() const { return timedOutCount.load(std::memory_order_relaxed); }
    // Queue overflows plus messages the thread buffers had no room for.
    uint64_t GetDroppedCount() const;
    uint64_t GetThrottledCount() const { return throttledCount.load(std::memory_order_relaxed); }
    // Of the dropped: commands made after the last message was written (threads still calling).
    uint64_t GetLateCount() const { return lateCount.load(std::memory_order_relaxed); }
    size_t GetQueuedBytes();
    size_t GetQueuedMessages();
    size_t GetBufferCount();

    static constexpr size_t DefaultMaxQueuedBytes = 64u * 1024 * 1024;
    // Largest write of several messages on a stream.
    static constexpr size_t MaxBatchBytes = 256 * 1024;
    static constexpr int64_t AnnouncementInterval = 30000000000LL;  // 30 s in ns
    static constexpr int64_t DropWarningInterval = 5000000000LL;    // 5 s in ns
    // Longest sleep of an idle worker: bounds how long a message may wait in a thread buffer.
    static constexpr std::chrono::milliseconds IdleWait{20};
    // A pass that found less than this lets the worker rest until a buffer fills or IdleWait
    // passes: polling the buffers that writers are filling would only pull their lines away
    // from the writers' cores.
    static constexpr size_t BusyPassBytes = 32 * 1024;
    // The worker's rest after a pass that found some bytes but fewer: short enough that a writer
    // at full speed fills only a spare chunk or two meanwhile.
    static constexpr std::chrono::microseconds ActiveNap{1000};
    // How long one pass may wait for a stream reader that takes none of its batch.
    static constexpr int64_t BatchTimeout = 5000000000LL;  // 5 s in ns
    // Of the exit budget, what is kept once no new message is begun: first to finish one begun
    // (a slow reader may pause for a while), then, the last FinalReserve of it, for the final
    // delivery report and the last message.
    static constexpr int64_t LastMessageReserve = 400000000LL;  // 400 ms in ns
    static constexpr int64_t FinalReserve = 200000000LL;        // 200 ms in ns
    // Beyond the exit budget, how long Finish waits for a worker that was not scheduled in time
    // to leave its last write: the process must not end inside a message.
    static constexpr std::chrono::milliseconds ExitOverrun{250};
    // What a queued message costs beyond its bytes: its record, the queue's slot and the heap's
    // headers of both allocations, rounded up.
    static constexpr size_t QueuedMessageOverhead = 96;
    // A pass takes at most this many queued messages while more wait, so that its own lists stay small.
    static constexpr size_t MaxQueueItemsPerPass = 4096;
    static constexpr int64_t DeliveryReportInterval = 1000000000LL;  // 1 s in ns

private:
    // One slowly changing announcement: let through at most once per interval, the first always.
    struct Gate {
        std::atomic<bool> acceptedOnce{false};
        std::atomic<int64_t> lastAccepted{0};
    };
    struct Queued {
        SerializedCommand* message;
        bool afterCalls;
        bool last;  // the last message is never refused, and takes nothing of the budget
    };
    static bool Admit(Gate& gate, int64_t now);
    void Push(CommandBase* command, bool afterCalls, bool last) noexcept;
    bool PushMessage(std::unique_ptr<SerializedCommand> message, bool afterCalls, bool last);
    void ReportDrop(int64_t now, size_t queuedBytes);
    void ReportBufferDrops();
    // One pass; the bytes it found to send.
    size_t Pass();
    void ReleaseRetiredBuffers();
    // After the last message: counts what was made too late to follow it.
    void CountLate() noexcept;
    void Recalibrate();
    void ReleaseQueued(const std::vector<Queued>& items);
    DeliveryStatisticsCommand* NewDeliveryReport(bool final) const;
    void ReportDeliveryIfDue();

    // A message a new reader must get before any call, as last seen.
    struct ContextMessage {
        std::unique_ptr<uint8_t[]> bytes;
        size_t length = 0;
        uint64_t sentGeneration = 0;  // the connection that has it; 0: none
        bool pending = false;         // listed in pendingFunctions
    };
    // A message of a pass that carries context: its index in the pass, what it updates, and
    // (for one of the batch rather than of the replay) its bytes.
    struct ContextSeen {
        uint64_t index;
        ContextMessage* message;
        bool function;
        const uint8_t* data;
        size_t length;
    };
    // Worker thread only.
    void AddContext(std::vector<MessageRun>& runs, std::vector<ContextSeen>& seen, uint64_t generation);
    void NoteContext(const uint8_t* message, size_t length, uint64_t index, std::vector<ContextSeen>& seen);
    void SettleContext(const std::vector<ContextSeen>& seen, bool ready, uint64_t delivered, uint64_t generation);

    std::deque<Queued> queue;
    std::condition_variable queueSignal;
    std::mutex queueMutex;
    bool running = false;
    bool started = false;
    std::atomic<bool> stopped{false};  // also read without the lock by producers
    bool exited = false;
    bool inFlight = false;
    bool lastSent = false;
    bool ended = false;                      // the pass that carried the last message is over
    std::atomic<bool> workerWaiting{false};  // the worker sleeps on queueSignal and must be woken
    std::atomic<int64_t> exitDeadline{INT64_MAX};
    Gate processTypeGate;
    Gate profilerVersionGate;
    AgentUplink* uplink = nullptr;
    std::condition_variable exitSignal;
    size_t queuedBytes = 0;
    size_t maxQueuedBytes = DefaultMaxQueuedBytes;

    mutable std::mutex buffersMutex;
    std::vector<ThreadBuffer*> buffers;           // under buffersMutex
    std::atomic<uint64_t> retiredBufferDrops{0};  // drops of buffers already freed

    std::atomic<MonotonicClock> clock;
    std::atomic<uint64_t> sentCount{0};
    std::atomic<uint64_t> failedCount{0};
    std::atomic<uint64_t> droppedCount{0};
    std::atomic<uint64_t> throttledCount{0};
    std::atomic<uint64_t> lateCount{0};
    std::atomic<uint64_t> timedOutCount{0};
    std::atomic<bool> reportDelivery{false};
    uint64_t reportProcessId = 0;
    int64_t reportInterval = DeliveryReportInterval;
    int64_t lastDeliveryReport = 0;  // worker thread only

    // Context for new readers (worker thread only, counted under queueMutex for the getters).
    std::unordered_map<uint32_t, size_t> functionIndex;
    std::vector<std::unique_ptr<ContextMessage>> functions;
    std::vector<ContextMessage*> pendingFunctions;  // not yet on the current connection
    ContextMessage announcements[4];                // process started, frequency, type, version
    uint64_t replayGeneration = 0;                  // the connection pendingFunctions was made for
    size_t knownFunctionCount = 0;                  // under queueMutex
    size_t knownFunctionBytes = 0;                  // under queueMutex
    std::atomic<int64_t> lastDropWarning{0};
    std::atomic<bool> dropWarned{false};
    uint64_t reportedBufferDrops = 0;                                // worker thread only
    int64_t lastBufferDropWarning = 0;                               // worker thread only
    int64_t lastBufferDropCheck = 0;                                 // worker thread only
    int64_t lastCalibration = 0;                                     // worker thread only
    static constexpr int64_t BufferDropCheckInterval = 250000000LL;  // 250 ms in ns
};
