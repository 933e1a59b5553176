#include "uplink/RelayWorker.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "commands/CallClock.h"
#include "commands/CommandBase.h"
#include "commands/PayloadWriter.h"
#include "commands/SerializedCommand.h"
#include "environment/Logger.h"
#include "uplink/AgentUplink.h"
#include "uplink/SigpipeShield.h"
#include "uplink/StreamWriter.h"
#include "uplink/ThreadBuffer.h"

namespace {

int64_t MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Logging itself allocates; a failure there must not leave Enqueue either.
void LogEnqueueFailure(const char* reason) noexcept {
    try {
        QX_LOG(LogLevel::Error, "RelayWorker::Enqueue - Exception: %s", reason);
    } catch (...) {
    }
}

// What one pass took from a thread buffer: runs [first, first + count) of the pass's spans.
struct BufferTake {
    ThreadBuffer* buffer;
    size_t first;
    size_t count;
};


}  // namespace

RelayWorker* RelayWorker::Instance() {
    static RelayWorker* const instance = new RelayWorker();
    return instance;
}

RelayWorker::RelayWorker() : clock(&MonotonicNanoseconds) {}

RelayWorker::~RelayWorker() {
    // The end this worker announced no longer bounds the transports (another worker may follow).
    if (exitDeadline.load(std::memory_order_relaxed) != INT64_MAX) AgentUplink::SetDeadlineCap(INT64_MAX);
    for (const Queued& item : queue) delete item.message;
    for (ThreadBuffer* buffer : buffers) delete buffer;
}

void RelayWorker::Start(AgentUplink* transport) {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (started || stopped.load()) return;
        started = true;
        running = true;
        AgentUplink::SetDeadlineCap(INT64_MAX);
        exited = false;
        uplink = transport;
    }
    QX_LOG(LogLevel::Info, "RelayWorker - Started");
    try {
        std::thread([this] { Run(); }).detach();
    } catch (const std::system_error& e) {
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            running = false;
            exited = true;
        }
        throw std::system_error(e.code(), "thread constructor failed");
    }
}

bool RelayWorker::Admit(Gate& gate, int64_t now) {
    // Tracked separately from the time, so the first announcement passes whatever the clock reads.
    if (gate.acceptedOnce.load(std::memory_order_relaxed) &&
        now - gate.lastAccepted.load(std::memory_order_relaxed) < AnnouncementInterval) {
        return false;
    }
    gate.lastAccepted.store(now, std::memory_order_relaxed);
    gate.acceptedOnce.store(true, std::memory_order_relaxed);
    return true;
}

bool RelayWorker::AdmitAnnouncement(Calls::CallType type) noexcept {
    Gate* gate = nullptr;
    if (type == Calls::ProcessType) gate = &processTypeGate;
    if (type == Calls::ProfilerVersion) gate = &profilerVersionGate;
    if (gate == nullptr || Admit(*gate, clock.load(std::memory_order_relaxed)())) return true;
    throttledCount.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void RelayWorker::Enqueue(CommandBase* command) noexcept { Push(command, false, false); }

void RelayWorker::EnqueueAfterCalls(CommandBase* command) noexcept { Push(command, true, false); }

void RelayWorker::Push(CommandBase* command, bool afterCalls, bool last) noexcept {
    if (command == nullptr) return;
    try {
        std::unique_ptr<CommandBase> owned(command);
        if (stopped.load(std::memory_order_relaxed) && !last) {
            droppedCount.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (!AdmitAnnouncement(command->GetCallType())) return;

        // Serialised outside the lock, so producers only contend for the append itself.
        const int16_t length = command->GetPayloadLength();
        if (length < static_cast<int16_t>(CommandHeaderLength)) throw std::length_error("command length out of range");
        auto message = std::make_unique<SerializedCommand>(command->GetPayload(), length);
        owned.reset();

        PushMessage(std::move(message), afterCalls, last);
    } catch (const std::exception& e) {
        LogEnqueueFailure(e.what());
    } catch (...) {
        LogEnqueueFailure("unknown exception");
    }
}

void RelayWorker::PushMessage(std::unique_ptr<SerializedCommand> message, bool afterCalls, bool last) {
    const size_t length = static_cast<size_t>(message->GetLength());
    bool accepted = false;
    bool wake = false;
    size_t waiting = 0;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (last || queuedBytes + length <= maxQueuedBytes) {
            queue.push_back({message.get(), afterCalls, last});
            message.release();
            queuedBytes += length;
            accepted = true;
            // A busy worker takes this message with the others; waking costs a system call.
            wake = workerWaiting.load(std::memory_order_relaxed) || last;
        }
        waiting = queuedBytes;
    }
    if (wake) queueSignal.notify_one();
    if (!accepted) {
        droppedCount.fetch_add(1, std::memory_order_relaxed);
        ReportDrop(clock.load(std::memory_order_relaxed)(), waiting);
    }
}

void RelayWorker::EnqueueMessage(uint8_t* payload, int16_t length) noexcept {
    try {
        std::unique_ptr<uint8_t[]> owned(payload);
        if (stopped.load(std::memory_order_relaxed) || length < static_cast<int16_t>(CommandHeaderLength)) {
            droppedCount.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        auto message = std::make_unique<SerializedCommand>(owned.get(), length);
        owned.release();
        PushMessage(std::move(message), false, false);
    } catch (const std::exception& e) {
        LogEnqueueFailure(e.what());
    } catch (...) {
        LogEnqueueFailure("unknown exception");
    }
}

void RelayWorker::ReportDrop(int64_t now, size_t waiting) {
    int64_t last = lastDropWarning.load(std::memory_order_relaxed);
    if (dropWarned.load(std::memory_order_relaxed) && now - last < DropWarningInterval) return;
    // One reporter per interval when several producers drop at once.
    if (!lastDropWarning.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
    dropWarned.store(true, std::memory_order_relaxed);
    QX_LOG(LogLevel::Warning, "[%lu][Relay] Queue full (%zu bytes waiting), %llu messages dropped so far",
           LogProcessId(), waiting, static_cast<unsigned long long>(droppedCount.load(std::memory_order_relaxed)));
}

void RelayWorker::Register(ThreadBuffer* buffer) noexcept {
    if (buffer == nullptr) return;
    try {
        std::lock_guard<std::mutex> lock(buffersMutex);
        buffers.push_back(buffer);
    } catch (...) {
        // Without a place in the list the buffer is never read: its writer simply drops.
        buffer->Retire();
    }
}

void RelayWorker::Nudge() noexcept {
    if (workerWaiting.exchange(false, std::memory_order_relaxed)) queueSignal.notify_one();
}

uint64_t RelayWorker::GetDroppedCount() const {
    uint64_t total = droppedCount.load(std::memory_order_relaxed) + retiredBufferDrops.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(buffersMutex);
    for (const ThreadBuffer* buffer : buffers) total += buffer->GetDroppedCount();
    return total;
}

void RelayWorker::Stop() {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        running = false;
        stopped.store(true);
    }
    queueSignal.notify_all();
}

bool RelayWorker::Finish(CommandBase* last, std::chrono::milliseconds budget) noexcept {
    const int64_t deadline = MonotonicNanoseconds() + budget.count() * 1000000;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (!started || exited || !running) {
            delete last;
            return false;
        }
    }
    exitDeadline.store(deadline, std::memory_order_relaxed);
    AgentUplink::SetDeadlineCap(deadline);
    Push(last, true, true);
    stopped.store(true);
    queueSignal.notify_one();
    std::unique_lock<std::mutex> lock(queueMutex);
    // A little beyond the budget: the worker itself gives up at it.
    exitSignal.wait_for(lock, budget + std::chrono::milliseconds(50), [this] { return lastSent || exited; });
    return lastSent;
}

void RelayWorker::ReportBufferDrops() {
    // Summing the buffers takes their lock: a few times a second is enough for a warning.
    const int64_t now = MonotonicNanoseconds();
    if (now - lastBufferDropCheck < BufferDropCheckInterval) return;
    lastBufferDropCheck = now;
    const uint64_t dropped = GetDroppedCount() - droppedCount.load(std::memory_order_relaxed);
    if (dropped == reportedBufferDrops) return;
    if (reportedBufferDrops != 0 && now - lastBufferDropWarning < DropWarningInterval) return;
    reportedBufferDrops = dropped;
    lastBufferDropWarning = now;
    QX_LOG(LogLevel::Warning, "[%lu][Relay] Thread buffers full, %llu messages dropped so far", LogProcessId(),
           static_cast<unsigned long long>(dropped));
}

void RelayWorker::Recalibrate() {
    // Often at first, so that the counter serves soon; then once a second to follow the wall clock.
    const int64_t now = MonotonicNanoseconds();
    const int64_t interval = CallClock::UsesCounter() ? 1000000000LL : 120000000LL;
    if (now - lastCalibration < interval) return;
    lastCalibration = now;
    CallClock::Calibrate();
}

void RelayWorker::ReleaseRetiredBuffers() {
    std::lock_guard<std::mutex> lock(buffersMutex);
    for (auto it = buffers.begin(); it != buffers.end();) {
        ThreadBuffer* buffer = *it;
        if (buffer->IsRetired() && buffer->IsEmpty()) {
            retiredBufferDrops.fetch_add(buffer->GetDroppedCount(), std::memory_order_relaxed);
            delete buffer;
            it = buffers.erase(it);
        } else {
            ++it;
        }
    }
}

size_t RelayWorker::Pass() {
    // Worker-thread scratch, kept between passes so that a steady stream allocates nothing.
    static thread_local std::vector<Queued> taken, after, deferred;
    static thread_local std::vector<BufferTake> takes;
    static thread_local std::vector<ThreadBuffer*> snapshot;
    static thread_local std::vector<MessageRun> runs;
    static thread_local std::vector<ThreadBuffer::Span> spans;
    taken.clear();
    after.clear();
    deferred.clear();
    takes.clear();
    runs.clear();

    // The commands that must follow the calls are counted before the buffers are looked at:
    // whatever a thread committed before its end was queued is then part of this pass.
    size_t afterLimit;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        afterLimit = queue.size();
    }
    {
        std::lock_guard<std::mutex> lock(buffersMutex);
        snapshot.assign(buffers.begin(), buffers.end());
    }
    spans.clear();
    for (ThreadBuffer* buffer : snapshot) {
        const size_t first = spans.size();
        const size_t count = buffer->Peek(spans);
        // Taken even when empty: Consume then settles what Peek saw.
        takes.push_back({buffer, first, count});
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (!running) return 0;
        size_t index = 0;
        for (const Queued& item : queue) {
            if (!item.afterCalls) {
                taken.push_back(item);
            } else if (index < afterLimit) {
                after.push_back(item);
            } else {
                deferred.push_back(item);
            }
            ++index;
        }
        queue.clear();
        // Later commands that follow the calls wait for the next pass, in their order.
        for (const Queued& item : deferred) queue.push_back(item);
        for (const Queued& item : taken) queuedBytes -= static_cast<size_t>(item.message->GetLength());
        for (const Queued& item : after) queuedBytes -= static_cast<size_t>(item.message->GetLength());
        if (taken.empty() && after.empty() && spans.empty()) return 0;
        inFlight = true;
    }

    SerializedCommand* lastMessage = nullptr;
    for (const Queued& item : taken)
        runs.push_back({item.message->GetBody(), static_cast<size_t>(item.message->GetLength()), 1});
    for (const ThreadBuffer::Span& span : spans) runs.push_back({span.data, span.length, span.messages});
    for (const Queued& item : after) {
        if (item.last) {
            lastMessage = item.message;
            continue;
        }
        runs.push_back({item.message->GetBody(), static_cast<size_t>(item.message->GetLength()), 1});
    }

    const int64_t now = MonotonicNanoseconds();
    const int64_t exitAt = exitDeadline.load(std::memory_order_relaxed);
    int64_t deadline = now + BatchTimeout;
    if (exitAt != INT64_MAX) deadline = std::min(deadline, exitAt - LastMessageReserve);
    BatchResult result;
    try {
        if (uplink != nullptr && !runs.empty()) result = uplink->SendRuns(runs.data(), runs.size(), deadline);
        else if (uplink == nullptr) result.failed = AgentUplink::CountMessages(runs.data(), runs.size());
    } catch (...) {
        // A transport failure loses these messages only.
        result.failed = AgentUplink::CountMessages(runs.data(), runs.size()) - result.delivered;
    }
    bool lastDelivered = false;
    if (lastMessage != nullptr) {
        const MessageRun run{lastMessage->GetBody(), static_cast<size_t>(lastMessage->GetLength()), 1};
        try {
            lastDelivered = uplink != nullptr && uplink->SendRuns(&run, 1, exitAt).delivered == 1;
        } catch (...) {
        }
        (lastDelivered ? result.delivered : result.failed) += 1;
    }
    sentCount.fetch_add(result.delivered, std::memory_order_relaxed);
    failedCount.fetch_add(result.failed, std::memory_order_relaxed);

    for (const BufferTake& take : takes) take.buffer->Consume();
    for (const Queued& item : taken) delete item.message;
    for (const Queued& item : after) delete item.message;

    std::lock_guard<std::mutex> lock(queueMutex);
    inFlight = false;
    if (lastMessage != nullptr) {
        lastSent = lastDelivered;
        running = false;
    }
    exitSignal.notify_all();
    size_t bytes = 0;
    for (const MessageRun& run : runs) bytes += run.length;
    // Commands of the queue always count as work: more of them may be right behind.
    return taken.empty() && after.empty() ? bytes : std::max(bytes, BusyPassBytes);
}

void RelayWorker::Run() {
    try {
        // Writes of this thread must never raise SIGPIPE in the host, whatever its disposition.
        SigpipeShield::BlockOnThisThread();
        // Named, so that an operator's top or profiler shows what the thread is.
        pthread_setname_np(pthread_self(), "quorix-relay");
        QX_LOG(LogLevel::Info, "RelayWorker [Start] Run");
        for (;;) {
            const bool busy = Pass() >= BusyPassBytes;
            Recalibrate();
            ReleaseRetiredBuffers();
            ReportBufferDrops();
            std::unique_lock<std::mutex> lock(queueMutex);
            if (!running) break;
            if (busy) continue;
            workerWaiting.store(true, std::memory_order_relaxed);
            queueSignal.wait_for(lock, IdleWait, [this] {
                return !queue.empty() || !running || !workerWaiting.load(std::memory_order_relaxed);
            });
            workerWaiting.store(false, std::memory_order_relaxed);
            if (!running) break;
        }
        QX_LOG(LogLevel::Info, "RelayWorker [End] Run");
    } catch (...) {
        // Nothing may leave the thread function.
    }
    // Signalled under the lock: a waiter that then frees this object cannot overtake the signal.
    std::lock_guard<std::mutex> lock(queueMutex);
    exited = true;
    exitSignal.notify_all();
}

bool RelayWorker::WaitForExit(int timeoutMilliseconds) {
    std::unique_lock<std::mutex> lock(queueMutex);
    return exitSignal.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                               [this] { return exited || !started; });
}

bool RelayWorker::WaitUntilDrained(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(queueMutex);
    return exitSignal.wait_for(lock, timeout, [this] {
        if (exited || !started) return true;
        if (!queue.empty() || inFlight) return false;
        std::lock_guard<std::mutex> buffersLock(buffersMutex);
        for (const ThreadBuffer* buffer : buffers)
            if (!buffer->IsEmpty()) return false;
        return true;
    });
}

void RelayWorker::SetMaxQueuedBytes(size_t bytes) {
    std::lock_guard<std::mutex> lock(queueMutex);
    maxQueuedBytes = bytes;
}

void RelayWorker::SetClock(MonotonicClock source) {
    clock.store(source != nullptr ? source : &MonotonicNanoseconds, std::memory_order_relaxed);
}

size_t RelayWorker::GetQueuedBytes() {
    std::lock_guard<std::mutex> lock(queueMutex);
    return queuedBytes;
}

size_t RelayWorker::GetQueuedMessages() {
    std::lock_guard<std::mutex> lock(queueMutex);
    return queue.size();
}

size_t RelayWorker::GetBufferCount() {
    std::lock_guard<std::mutex> lock(buffersMutex);
    return buffers.size();
}
