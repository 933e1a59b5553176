#include "uplink/RelayWorker.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
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
        QX_LOG(LogLevel::Error, LogArea::Unprefixed, "RelayWorker::Enqueue - Exception: %s", reason);
    } catch (...) {}
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
    ReleaseQueued(std::vector<Queued>(queue.begin(), queue.end()));
    for (ThreadBuffer* buffer : buffers) delete buffer;
}

void RelayWorker::ReleaseQueued(const std::vector<Queued>& items) {
    size_t bytes = 0, charged = 0;
    for (const Queued& item : items) {
        const size_t cost = static_cast<size_t>(item.message->GetLength()) + QueuedMessageOverhead;
        bytes += cost;
        if (!item.last) charged += cost;
        delete item.message;
    }
    if (charged != 0) ThreadBuffer::ReleaseBudget(charged);
    if (bytes == 0) return;
    std::lock_guard<std::mutex> lock(queueMutex);
    queuedBytes -= bytes;
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
    QX_LOG(LogLevel::Info, LogArea::Unprefixed, "RelayWorker - Started");
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

bool RelayWorker::PushMessage(std::unique_ptr<SerializedCommand> message, bool afterCalls, bool last) {
    // Counted with its bookkeeping: many small messages cost far more than their bytes.
    const size_t cost = static_cast<size_t>(message->GetLength()) + QueuedMessageOverhead;
    bool accepted = false;
    bool wake = false;
    size_t waiting = 0;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (last || (queuedBytes + cost <= maxQueuedBytes && ThreadBuffer::ChargeBudget(cost))) {
            queue.push_back({message.get(), afterCalls, last});
            message.release();
            queuedBytes += cost;
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
    return accepted;
}

bool RelayWorker::EnqueueMessage(uint8_t* payload, int16_t length) noexcept {
    try {
        std::unique_ptr<uint8_t[]> owned(payload);
        if (stopped.load(std::memory_order_relaxed) || length < static_cast<int16_t>(CommandHeaderLength)) {
            droppedCount.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        auto message = std::make_unique<SerializedCommand>(owned.get(), length);
        owned.release();
        return PushMessage(std::move(message), false, false);
    } catch (const std::exception& e) {
        LogEnqueueFailure(e.what());
    } catch (...) {
        LogEnqueueFailure("unknown exception");
    }
    return false;
}

void RelayWorker::ReportDrop(int64_t now, size_t waiting) {
    int64_t last = lastDropWarning.load(std::memory_order_relaxed);
    if (dropWarned.load(std::memory_order_relaxed) && now - last < DropWarningInterval) return;
    // One reporter per interval when several producers drop at once.
    if (!lastDropWarning.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
    dropWarned.store(true, std::memory_order_relaxed);
    QX_LOG(LogLevel::Warning, "Relay", "Queue full (%zu bytes waiting), %llu messages dropped so far", waiting,
           static_cast<unsigned long long>(droppedCount.load(std::memory_order_relaxed)));
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
    ThreadBuffer::SetReaderKeepsUp(false);
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
    // Threads still calling now must not wait for room: what they write is too late anyway.
    ThreadBuffer::SetReaderKeepsUp(false);
    // A batch under way begins no message past the first cap and leaves none begun past the second.
    AgentUplink::SetDeadlineCaps(deadline - LastMessageReserve, deadline - FinalReserve);
    Push(last, true, true);
    stopped.store(true);
    queueSignal.notify_one();
    std::unique_lock<std::mutex> lock(queueMutex);
    // The worker itself gives up at the deadline; it is waited for a little longer, so that the
    // process never ends while it is inside a write.
    exitSignal.wait_for(lock, budget + ExitOverrun, [this] { return lastSent || exited || (ended && !inFlight); });
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
    QX_LOG(LogLevel::Warning, "Relay", "Thread buffers full, %llu messages dropped so far",
           static_cast<unsigned long long>(dropped));
}

void RelayWorker::Recalibrate() {
    // Often at first, so that the counter serves soon; then once a second to follow the wall clock.
    const int64_t now = MonotonicNanoseconds();
    const int64_t interval = CallClock::UsesCounter() ? 1000000000LL : 20000000LL;
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

void RelayWorker::AddContext(std::vector<MessageRun>& runs, std::vector<ContextSeen>& seen, uint64_t generation) {
    for (ContextMessage& announcement : announcements) {
        if (announcement.bytes == nullptr || announcement.sentGeneration == generation) continue;
        seen.push_back({runs.size(), &announcement, false, nullptr, 0});
        runs.push_back({announcement.bytes.get(), announcement.length, 1});
    }
    if (generation != replayGeneration) {
        // A new reader: every name it may meet goes first.
        replayGeneration = generation;
        pendingFunctions.clear();
        for (const auto& function : functions) {
            function->pending = true;
            pendingFunctions.push_back(function.get());
        }
    }
    for (ContextMessage* function : pendingFunctions) {
        if (function->sentGeneration == generation) continue;
        seen.push_back({runs.size(), function, true, nullptr, 0});
        runs.push_back({function->bytes.get(), function->length, 1});
    }
}

void RelayWorker::NoteContext(const uint8_t* message, size_t length, uint64_t index, std::vector<ContextSeen>& seen) {
    const uint8_t type = message[2];
    if (type == Calls::MethodInfo) {
        if (length < CommandHeaderLength + 4) return;
        uint32_t functionId;
        std::memcpy(&functionId, message + CommandHeaderLength, 4);
        auto found = functionIndex.find(functionId);
        ContextMessage* function;
        if (found != functionIndex.end()) {
            function = functions[found->second].get();
        } else {
            auto kept = std::make_unique<ContextMessage>();
            kept->bytes.reset(new uint8_t[length]);
            std::memcpy(kept->bytes.get(), message, length);
            kept->length = length;
            function = kept.get();
            functionIndex.emplace(functionId, functions.size());
            functions.push_back(std::move(kept));
            std::lock_guard<std::mutex> lock(queueMutex);
            ++knownFunctionCount;
            knownFunctionBytes += length;
        }
        seen.push_back({index, function, true, nullptr, 0});
        return;
    }
    int slot = -1;
    if (type == Calls::ProcessStarted) slot = 0;
    if (type == Calls::ProcessFrequency) slot = 1;
    if (type == Calls::ProcessType) slot = 2;
    if (type == Calls::ProfilerVersion) slot = 3;
    if (slot >= 0) seen.push_back({index, &announcements[slot], false, message, length});
}

void RelayWorker::SettleContext(const std::vector<ContextSeen>& seen, bool ready, uint64_t delivered,
                                uint64_t generation) {
    for (const ContextSeen& item : seen) {
        ContextMessage& message = *item.message;
        const bool taken = ready && item.index < delivered;
        if (item.data != nullptr) {
            // The latest announcement of its kind is the one a new reader gets.
            if (message.length != item.length || message.bytes == nullptr) {
                message.bytes.reset(new uint8_t[item.length]);
                message.length = item.length;
            }
            std::memcpy(message.bytes.get(), item.data, item.length);
            message.sentGeneration = taken ? generation : 0;
            continue;
        }
        if (taken) {
            message.sentGeneration = generation;
        } else if (item.function && !message.pending && message.sentGeneration != generation) {
            message.pending = true;
            pendingFunctions.push_back(&message);
        }
    }
    if (!ready) return;
    pendingFunctions.erase(std::remove_if(pendingFunctions.begin(), pendingFunctions.end(),
                                          [generation](ContextMessage* function) {
                                              if (function->sentGeneration != generation) return false;
                                              function->pending = false;
                                              return true;
                                          }),
                           pendingFunctions.end());
}

size_t RelayWorker::Pass() {
    // Worker-thread scratch, kept between passes so that a steady stream allocates nothing.
    static thread_local std::vector<Queued> taken, after, deferred;
    static thread_local std::vector<BufferTake> takes;
    static thread_local std::vector<ThreadBuffer*> snapshot;
    static thread_local std::vector<MessageRun> runs;
    static thread_local std::vector<ThreadBuffer::Span> spans;
    static thread_local std::vector<ContextSeen> seen;
    taken.clear();
    after.clear();
    deferred.clear();
    takes.clear();
    runs.clear();
    seen.clear();

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
        if (queue.size() > MaxQueueItemsPerPass && !queue.front().afterCalls) {
            // A long queue goes a slice at a time; the calls wait, as they may follow thread
            // starts still in it (what Peek saw stays where it is).
            size_t count = 0;
            while (count < MaxQueueItemsPerPass && !queue[count].afterCalls) ++count;
            taken.assign(queue.begin(), queue.begin() + static_cast<long>(count));
            queue.erase(queue.begin(), queue.begin() + static_cast<long>(count));
            spans.clear();
            takes.clear();
        } else {
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
        }
        if (taken.empty() && after.empty() && spans.empty()) return 0;
        inFlight = true;
    }

    // A new reader first gets the context it lacks; the transport connects here, if at all.
    bool ready = false;
    uint64_t generation = 0;
    try {
        ready = uplink != nullptr && uplink->Prepare();
        if (ready) generation = uplink->Generation();
    } catch (...) {}
    if (ready) AddContext(runs, seen, generation);
    const size_t firstBatchRun = runs.size();

    // Context is looked for in what the queue brought and in the chunks a writer marked.
    uint64_t index = firstBatchRun;  // the replay has one message per run
    auto add = [&](const MessageRun& run, bool look) {
        runs.push_back(run);
        if (!look) {
            index += run.messages != 0 ? run.messages : AgentUplink::CountMessages(&run, 1);
            return;
        }
        AgentUplink::ForEachMessage(&run, 1, [&](const uint8_t* message, size_t length) {
            NoteContext(message, length, index, seen);
            ++index;
        });
    };
    SerializedCommand* lastMessage = nullptr;
    for (const Queued& item : taken)
        add({item.message->GetBody(), static_cast<size_t>(item.message->GetLength()), 1}, true);
    for (const ThreadBuffer::Span& span : spans) add({span.data, span.length, span.messages}, span.mayHoldContext);
    for (const Queued& item : after) {
        if (item.last) {
            lastMessage = item.message;
            continue;
        }
        add({item.message->GetBody(), static_cast<size_t>(item.message->GetLength()), 1}, true);
    }

    const int64_t now = MonotonicNanoseconds();
    const int64_t exitAt = exitDeadline.load(std::memory_order_relaxed);
    int64_t deadline = now + BatchTimeout;
    if (exitAt != INT64_MAX) deadline = std::min(deadline, exitAt - LastMessageReserve);
    if (lastMessage != nullptr) AgentUplink::SetDeadlineCaps(exitAt - LastMessageReserve, exitAt - FinalReserve);
    BatchResult result;
    const uint64_t total = AgentUplink::CountMessages(runs.data(), runs.size());
    try {
        if (ready && !runs.empty())
            result = uplink->SendRuns(runs.data(), runs.size(), deadline);
        else
            result.failed = total;
    } catch (...) {
        // A transport failure loses these messages only.
        result.failed = total - result.delivered;
        result.timedOut = 0;
    }
    // On a stream the messages taken are the first ones; elsewhere only a clean batch says which.
    bool stream = false;
    try {
        stream = uplink != nullptr && uplink->SupportsBatching();
    } catch (...) {}
    const uint64_t deliveredPrefix = stream ? result.delivered : (result.failed == 0 ? total : 0);
    // Writers wait for room only while a reader takes what is sent, and never once the end began.
    if (result.failed != 0 || exitAt != INT64_MAX)
        ThreadBuffer::SetReaderKeepsUp(false);
    else if (result.delivered != 0)
        ThreadBuffer::SetReaderKeepsUp(true);
    SettleContext(seen, ready, deliveredPrefix, generation);

    bool lastDelivered = false;
    if (lastMessage != nullptr) {
        // What is left of the budget is for the end: a message still begun, the report, the last.
        AgentUplink::SetDeadlineCaps(exitAt, exitAt);
        // The final delivery report goes just before the end, with every count but its own.
        if (reportDelivery.load(std::memory_order_acquire) && ready) {
            sentCount.fetch_add(result.delivered, std::memory_order_relaxed);
            failedCount.fetch_add(result.failed, std::memory_order_relaxed);
            timedOutCount.fetch_add(result.timedOut, std::memory_order_relaxed);
            result = {};
            std::unique_ptr<DeliveryStatisticsCommand> report(NewDeliveryReport(true));
            std::unique_ptr<uint8_t[]> bytes(report != nullptr ? report->GetPayload() : nullptr);
            if (bytes != nullptr) {
                const MessageRun run{bytes.get(), DeliveryStatisticsCommand::Length, 1};
                try {
                    result = uplink->SendRuns(&run, 1, exitAt - FinalReserve / 2);
                } catch (...) {
                    result.failed = 1;
                }
            }
        }
        const MessageRun run{lastMessage->GetBody(), static_cast<size_t>(lastMessage->GetLength()), 1};
        try {
            lastDelivered = uplink != nullptr && uplink->SendRuns(&run, 1, exitAt).delivered == 1;
        } catch (...) {}
        (lastDelivered ? result.delivered : result.failed) += 1;
    }
    sentCount.fetch_add(result.delivered, std::memory_order_relaxed);
    failedCount.fetch_add(result.failed, std::memory_order_relaxed);
    timedOutCount.fetch_add(result.timedOut, std::memory_order_relaxed);

    for (const BufferTake& take : takes) take.buffer->Consume();
    if (lastMessage != nullptr) CountLate();
    size_t bytes = 0;
    for (size_t r = firstBatchRun; r < runs.size(); ++r) bytes += runs[r].length;
    ReleaseQueued(taken);
    ReleaseQueued(after);

    std::lock_guard<std::mutex> lock(queueMutex);
    inFlight = false;
    if (lastMessage != nullptr) {
        lastSent = lastDelivered;
        running = false;
        ended = true;
    }
    exitSignal.notify_all();
    // Commands of the queue always count as work: more of them may be right behind.
    return taken.empty() && after.empty() ? bytes : std::max(bytes, BusyPassBytes);
}

void RelayWorker::CountLate() noexcept {
    // Threads still inside a hook when the end began: what they wrote since never goes out, so
    // that nothing follows the last message; it is counted instead.
    try {
        static thread_local std::vector<ThreadBuffer::Span> left;
        uint64_t late = 0;
        {
            std::lock_guard<std::mutex> lock(buffersMutex);
            for (ThreadBuffer* buffer : buffers) {
                left.clear();
                buffer->Peek(left);
                for (const ThreadBuffer::Span& span : left) late += span.messages;
            }
        }
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            late += queue.size();
        }
        lateCount.fetch_add(late, std::memory_order_relaxed);
        droppedCount.fetch_add(late, std::memory_order_relaxed);
    } catch (...) {}
}

DeliveryStatisticsCommand* RelayWorker::NewDeliveryReport(bool final) const {
    try {
        return new DeliveryStatisticsCommand(reportProcessId, GetDeliveryCounts(), final);
    } catch (...) {
        return nullptr;
    }
}

void RelayWorker::ReportDeliveryIfDue() {
    // Once the end began, the final report alone follows (one pushed now would count as dropped).
    if (!reportDelivery.load(std::memory_order_acquire) || stopped.load(std::memory_order_relaxed)) return;
    const int64_t now = clock.load(std::memory_order_relaxed)();
    if (now - lastDeliveryReport < reportInterval) return;
    lastDeliveryReport = now;
    if (DeliveryStatisticsCommand* report = NewDeliveryReport(false)) Push(report, false, false);
}

DeliveryStatisticsCommand::Counts RelayWorker::GetDeliveryCounts() const {
    DeliveryStatisticsCommand::Counts counts;
    counts.sent = sentCount.load(std::memory_order_relaxed);
    counts.queueFull = GetDroppedCount();
    const uint64_t failed = failedCount.load(std::memory_order_relaxed);
    counts.pipeFull = std::min(failed, timedOutCount.load(std::memory_order_relaxed));
    counts.sendFailed = failed - counts.pipeFull;
    return counts;
}

void RelayWorker::ReportDelivery(uint64_t processId, int64_t interval) {
    reportProcessId = processId;
    reportInterval = interval > 0 ? interval : DeliveryReportInterval;
    lastDeliveryReport = clock.load(std::memory_order_relaxed)();
    reportDelivery.store(true, std::memory_order_release);
}

size_t RelayWorker::GetKnownFunctionCount() {
    std::lock_guard<std::mutex> lock(queueMutex);
    return knownFunctionCount;
}

size_t RelayWorker::GetKnownFunctionBytes() {
    std::lock_guard<std::mutex> lock(queueMutex);
    return knownFunctionBytes;
}

void RelayWorker::Run() {
    try {
        // Writes of this thread must never raise SIGPIPE in the host, whatever its disposition.
        SigpipeShield::BlockOnThisThread();
        // Named, so that an operator's top or profiler shows what the thread is.
        pthread_setname_np(pthread_self(), "quorix-relay");
        QX_LOG(LogLevel::Info, LogArea::Unprefixed, "RelayWorker [Start] Run");
        for (;;) {
            const size_t found = Pass();
            ReportDeliveryIfDue();
            Recalibrate();
            ReleaseRetiredBuffers();
            ReportBufferDrops();
            std::unique_lock<std::mutex> lock(queueMutex);
            if (!running) break;
            if (found >= BusyPassBytes) continue;
            if (found > 0) {
                // Still flowing: a short nap the writers need not end. Waking a sleeping thread
                // costs the writer a system call, several microseconds on a virtual machine.
                queueSignal.wait_for(lock, ActiveNap,
                                     [this] { return !running || (!queue.empty() && queue.back().last); });
                if (!running) break;
                continue;
            }
            workerWaiting.store(true, std::memory_order_relaxed);
            queueSignal.wait_for(lock, IdleWait, [this] {
                return !queue.empty() || !running || !workerWaiting.load(std::memory_order_relaxed);
            });
            workerWaiting.store(false, std::memory_order_relaxed);
            if (!running) break;
        }
        QX_LOG(LogLevel::Info, LogArea::Unprefixed, "RelayWorker [End] Run");
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
