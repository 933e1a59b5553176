#include "uplink/PipeUplink.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "uplink/StreamWriter.h"

#include "environment/Logger.h"
#include "environment/profiler_pal.h"
#include "uplink/SigpipeShield.h"

namespace {

constexpr int64_t NanosecondsPerMillisecond = 1000000;
constexpr int64_t DropWarningInterval = 5000 * NanosecondsPerMillisecond;

std::string ErrorText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

}  // namespace

namespace {

// The FIFO this process made, so that exactly that one is removed at exit: not one the
// collector made, nor whatever took its path since.
struct CreatedFifo {
    std::mutex lock;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    bool present = false;
};

CreatedFifo& Created() {
    // Never destroyed: the exit handler below may run after static destructors.
    static CreatedFifo* const created = new CreatedFifo();
    return *created;
}

void RemoveAtExit() { PipeUplink::RemoveCreatedFifo(); }

}  // namespace

void PipeUplink::RememberCreatedFifo(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISFIFO(status.st_mode)) return;
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(RemoveAtExit); });
    CreatedFifo& created = Created();
    std::lock_guard<std::mutex> guard(created.lock);
    created.path = path;
    created.device = status.st_dev;
    created.inode = status.st_ino;
    created.present = true;
}

bool PipeUplink::RemoveCreatedFifo() noexcept {
    try {
        CreatedFifo& created = Created();
        std::lock_guard<std::mutex> guard(created.lock);
        if (!created.present) return false;
        created.present = false;
        struct stat status {};
        if (lstat(created.path.c_str(), &status) != 0 || !S_ISFIFO(status.st_mode) || status.st_dev != created.device ||
            status.st_ino != created.inode)
            return false;
        return unlink(created.path.c_str()) == 0;
    } catch (...) {
        return false;
    }
}

PipeUplink::PipeUplink() = default;

PipeUplink::PipeUplink(const std::wstring& path) {
    try {
        pipePath = W2A(path.c_str());
    } catch (const std::exception& e) {
        QX_LOG(LogLevel::Error, LogArea::Unprefixed, "PipeUplink::PipeUplink - %s", e.what());
    }
    QX_LOG(LogLevel::Info, LogArea::Unprefixed, "PipeUplink::PipeUplink - %s", pipePath.c_str());
}

PipeUplink::~PipeUplink() { Close(); }

bool PipeUplink::Connect() {
    if (pipeFd >= 0) return true;

    // Only the owner may read the stream: captured values and names go through it.
    if (mkfifo(pipePath.c_str(), 0600) == 0) {
        RememberCreatedFifo(pipePath);
    } else if (errno != EEXIST) {
        failures.Report("Unable to CREATE pipe: %s - %s", pipePath.c_str(), ErrorText(errno).c_str());
        return false;
    }
    // No O_CREAT and no following of links: only an existing FIFO at this very path is written to.
    const int fd = open(pipePath.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        failures.Report("Unable to OPEN pipe: %s - %s", pipePath.c_str(), ErrorText(errno).c_str());
        return false;
    }
    // In a shared working directory anyone may have made the FIFO: one of another user, or one
    // others may write into, would hand the stream (API key included) to them or mix theirs in.
    struct stat status {};
    const char* refusal = nullptr;
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) {
        refusal = "not a FIFO";
    } else if (status.st_uid != geteuid()) {
        refusal = "owned by another user";
    } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refusal = "writable by group or others";
    }
    if (refusal != nullptr) {
        close(fd);
        failures.Report("Unable to OPEN pipe: %s - %s", pipePath.c_str(), refusal);
        return false;
    }
    pipeFd = fd;
    failures.Succeeded();
    CountConnection();
    QX_LOG(LogLevel::Info, LogArea::Unprefixed, "Successfully created pipe: %s", pipePath.c_str());
    return true;
}

void PipeUplink::CountDrops(uint64_t messages) {
    if (messages == 0) return;
    const uint64_t dropped = droppedCount.fetch_add(messages, std::memory_order_relaxed) + messages;
    const int64_t now = MonotonicNow();
    if (dropWarned && now - lastDropWarning < DropWarningInterval) return;
    dropWarned = true;
    lastDropWarning = now;
    QX_LOG(LogLevel::Warning, "Uplink", "Named pipe full, %llu messages dropped so far",
           static_cast<unsigned long long>(dropped));
}

bool PipeUplink::Send(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    const MessageRun run{data, static_cast<size_t>(length)};
    return SendRuns(&run, 1, MonotonicNow() + RoomWaitMilliseconds * NanosecondsPerMillisecond).delivered == 1;
}

bool PipeUplink::Prepare() {
    if (pipeFd >= 0) {
        // The write end reports an error once no reader is left: this descriptor is done.
        pollfd entry{pipeFd, POLLOUT, 0};
        if (poll(&entry, 1, 0) == 1 && (entry.revents & POLLERR) != 0) Close();
    }
    // Connect has said why, once per spell.
    return Connect();
}

bool PipeUplink::FinishTail(int64_t deadline) {
    // The rest of a begun message: allowed the time of one, not of a new batch.
    const StreamWriter::Outcome outcome =
        StreamWriter(pipeFd, false).WriteRest(tail.data(), tail.size(), deadline + TornMessageGraceNanoseconds);
    tail.erase(tail.begin(), tail.begin() + static_cast<long>(outcome.bytes));
    if (outcome.error != 0) {
        failures.Report("Failed to write to named pipe: %d", outcome.error);
        Close();
    }
    return tail.empty() && pipeFd >= 0;
}

bool PipeUplink::LockWriters(int64_t deadline) {
    if (locked || lockless) return true;
    for (;;) {
        if (flock(pipeFd, LOCK_EX | LOCK_NB) == 0) {
            locked = true;
            return true;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            // Where the file system keeps no locks, small writes still arrive whole.
            QX_LOG(LogLevel::Warning, "Uplink",
                   "Named pipe cannot be locked (%s): large messages may mix with other writers'",
                   ErrorText(errno).c_str());
            lockless = true;
            return true;
        }
        const int64_t now = MonotonicNow();
        if (now >= EffectiveDeadline(deadline)) return false;
        poll(nullptr, 0, 1);
    }
}

void PipeUplink::UnlockWriters() {
    // A message begun keeps the others out until it is finished.
    if (!locked || !tail.empty() || pipeFd < 0) return;
    flock(pipeFd, LOCK_UN);
    locked = false;
}

BatchResult PipeUplink::SendRuns(const MessageRun* runs, size_t runCount, int64_t deadline) {
    const uint64_t total = CountMessages(runs, runCount);
    if (total == 0 && tail.empty()) return {};
    if (!Connect()) return {0, total, 0};
    if (!LockWriters(deadline)) {
        // Another process writes for longer than this batch may wait.
        CountDrops(total);
        return {0, total, total};
    }
    const BatchResult result = WriteLocked(runs, runCount, total, deadline);
    UnlockWriters();
    return result;
}

BatchResult PipeUplink::WriteLocked(const MessageRun* runs, size_t runCount, uint64_t total, int64_t deadline) {
    if (!tail.empty() && !FinishTail(deadline)) {
        // Nothing may pass the unfinished message; a reader gone has taken it along.
        if (pipeFd < 0) return {0, total, 0};
        CountDrops(total);
        return {0, total, total};
    }
    if (total == 0) return {};

    size_t bytes = 0;
    for (size_t r = 0; r < runCount; ++r) bytes += runs[r].length;
    // Writes of whole messages within PIPE_BUF are never split by the kernel, so even a writer
    // that does not lock cannot land inside them; a larger message relies on the lock.
    const StreamWriter::Outcome outcome =
        StreamWriter(pipeFd, false, PIPE_BUF).Write(runs, runCount, deadline, TornMessageGraceNanoseconds);
    uint64_t delivered = outcome.bytes == bytes ? total : CountWholeMessages(runs, runCount, outcome.bytes);
    if (outcome.error != 0) {
        failures.Report("Failed to write to named pipe: %d", outcome.error);
        // The reader is gone (the next batch reopens for a new one) and took any part message along.
        Close();
        return {delivered, total - delivered, 0};
    }
    if (outcome.torn && StreamWriter::TornTail(runs, runCount, outcome.bytes, tail) > 0) {
        // Begun, so it is finished first by the next batch: as good as handed over.
        ++delivered;
        QX_LOG(LogLevel::Warning, "Uplink", "Named pipe reader is slow: %zu bytes of a message follow later",
               tail.size());
    }
    if (delivered < total) CountDrops(total - delivered);
    return {delivered, total - delivered, total - delivered};
}

bool PipeUplink::Close() {
    tail.clear();
    // Closing the only descriptor of the open file releases its lock.
    locked = false;
    lockless = false;
    if (pipeFd >= 0) {
        close(pipeFd);
        pipeFd = -1;
    }
    return true;
}
