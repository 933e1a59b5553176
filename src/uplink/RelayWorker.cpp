#include "uplink/RelayWorker.h"

#include <vector>

#include <time.h>

#include <chrono>
#include <exception>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "commands/CommandBase.h"
#include "commands/PayloadWriter.h"
#include "commands/SerializedCommand.h"
#include "environment/Logger.h"
#include "uplink/AgentUplink.h"
#include "uplink/SigpipeShield.h"

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

}  // namespace

RelayWorker* RelayWorker::Instance() {
    static RelayWorker* const instance = new RelayWorker();
    return instance;
}

RelayWorker::RelayWorker() : clock(&MonotonicNanoseconds) {}

RelayWorker::~RelayWorker() {
    for (SerializedCommand* message : queue) delete message;
}

void RelayWorker::Start(AgentUplink* transport) {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (started || stopped.load()) return;
        started = true;
        running = true;
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

void RelayWorker::Enqueue(CommandBase* command) noexcept {
    if (command == nullptr) return;
    try {
        std::unique_ptr<CommandBase> owned(command);
        if (stopped.load(std::memory_order_relaxed)) {
            droppedCount.fetch_add(1, std::memory_order_relaxed);
            return;
        }

        // Only the two slowly changing announcements are throttled; their type numbers name them.
        Gate* gate = nullptr;
        if (command->GetCallType() == Calls::ProcessType) gate = &processTypeGate;
        if (command->GetCallType() == Calls::ProfilerVersion) gate = &profilerVersionGate;
        if (gate != nullptr && !Admit(*gate, clock.load(std::memory_order_relaxed)())) {
            throttledCount.fetch_add(1, std::memory_order_relaxed);
            return;
        }

        // Serialised outside the lock, so producers only contend for the append itself.
        const int16_t length = command->GetPayloadLength();
        if (length < static_cast<int16_t>(CommandHeaderLength)) throw std::length_error("command length out of range");
        auto message = std::make_unique<SerializedCommand>(command->GetPayload(), length);
        owned.reset();

        bool accepted = false;
        bool wake = false;
        size_t waiting = 0;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (queuedBytes + static_cast<size_t>(length) <= maxQueuedBytes) {
                queue.push_back(message.get());
                message.release();
                queuedBytes += static_cast<size_t>(length);
                accepted = true;
                // A busy worker takes this message with the others; waking costs a system call.
                wake = workerWaiting;
            }
            waiting = queuedBytes;
        }
        if (wake) queueSignal.notify_one();
        if (!accepted) {
            droppedCount.fetch_add(1, std::memory_order_relaxed);
            ReportDrop(clock.load(std::memory_order_relaxed)(), waiting);
        }
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

void RelayWorker::Stop() {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        running = false;
        stopped.store(true);
    }
    queueSignal.notify_all();
}

void RelayWorker::Run() {
    try {
        // Writes of this thread must never raise SIGPIPE in the host, whatever its disposition.
        SigpipeShield::BlockOnThisThread();
        QX_LOG(LogLevel::Info, "RelayWorker [Start] Run");
        const bool batching = uplink != nullptr && uplink->SupportsBatching();
        std::vector<SerializedCommand*> taken;
        std::vector<uint8_t> batch;
        for (;;) {
            taken.clear();
            {
                std::unique_lock<std::mutex> lock(queueMutex);
                workerWaiting = true;
                queueSignal.wait(lock, [this] { return !queue.empty() || !running; });
                workerWaiting = false;
                if (!running) break;
                // A stream carries messages back to back, so several go out in one write; the
                // bytes on the wire are the same, the system calls far fewer.
                size_t bytes = 0;
                do {
                    SerializedCommand* message = queue.front();
                    const size_t length = static_cast<size_t>(message->GetLength());
                    if (!taken.empty() && bytes + length > MaxBatchBytes) break;
                    queue.pop_front();
                    queuedBytes -= length;
                    bytes += length;
                    taken.push_back(message);
                } while (batching && !queue.empty());
                inFlight = true;
            }
            bool delivered = false;
            try {
                if (uplink != nullptr) {
                    if (taken.size() == 1) {
                        delivered = uplink->Send(taken[0]->GetBody(), taken[0]->GetLength());
                    } else {
                        batch.clear();
                        for (SerializedCommand* message : taken)
                            batch.insert(batch.end(), message->GetBody(), message->GetBody() + message->GetLength());
                        delivered = uplink->Send(batch.data(), static_cast<int32_t>(batch.size()));
                    }
                }
            } catch (...) {
                // A transport failure loses these messages only.
            }
            (delivered ? sentCount : failedCount).fetch_add(taken.size(), std::memory_order_relaxed);
            for (SerializedCommand* message : taken) delete message;
            std::lock_guard<std::mutex> lock(queueMutex);
            inFlight = false;
            if (queue.empty()) exitSignal.notify_all();
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
    return exitSignal.wait_for(lock, timeout, [this] { return exited || !started || (queue.empty() && !inFlight); });
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
