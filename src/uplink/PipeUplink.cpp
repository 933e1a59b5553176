#include "uplink/PipeUplink.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
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

int64_t MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::string ErrorText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

// Waits for the FIFO to become writable, at most until the deadline and a few ms at a time.
void PauseForReader(int fd, int64_t deadline) {
    const int64_t left = (deadline - MonotonicNow()) / NanosecondsPerMillisecond;
    pollfd entry{fd, POLLOUT, 0};
    poll(&entry, 1, static_cast<int>(std::clamp<int64_t>(left, 1, 5)));
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
        if (lstat(created.path.c_str(), &status) != 0 || !S_ISFIFO(status.st_mode) ||
            status.st_dev != created.device || status.st_ino != created.inode)
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
        QX_LOG(LogLevel::Error, "PipeUplink::PipeUplink - %s", e.what());
    }
    QX_LOG(LogLevel::Info, "PipeUplink::PipeUplink - %s", pipePath.c_str());
}

PipeUplink::~PipeUplink() { Close(); }

bool PipeUplink::Connect() {
    if (pipeFd >= 0) return true;

    // Only the owner may read the stream: captured values and names go through it.
    if (mkfifo(pipePath.c_str(), 0600) == 0) {
        RememberCreatedFifo(pipePath);
    } else if (errno != EEXIST) {
        QX_LOG(LogLevel::Error, "Unable to CREATE pipe: %s - %s", pipePath.c_str(), ErrorText(errno).c_str());
        return false;
    }
    // No O_CREAT and no following of links: only an existing FIFO at this very path is written to.
    const int fd = open(pipePath.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        QX_LOG(LogLevel::Error, "Unable to OPEN pipe: %s - %s", pipePath.c_str(), ErrorText(errno).c_str());
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) {
        close(fd);
        QX_LOG(LogLevel::Error, "Unable to OPEN pipe: %s - %s", pipePath.c_str(), "not a FIFO");
        return false;
    }
    pipeFd = fd;
    QX_LOG(LogLevel::Info, "Successfully created pipe: %s", pipePath.c_str());
    return true;
}

size_t PipeUplink::SafeRoom() const {
    // The kernel keeps a FIFO in page-sized slots; counting the unread bytes in whole pages plus
    // one partly used page rarely overestimates the room left, and a write that still comes out
    // short is finished by the stream writer.
    const long page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
    pollfd entry{pipeFd, POLLOUT, 0};
    if (poll(&entry, 1, 0) == 1 && (entry.revents & POLLERR) != 0) return SIZE_MAX;
    const int capacity = fcntl(pipeFd, F_GETPIPE_SZ);
    int unread = 0;
    if (capacity <= 0 || ioctl(pipeFd, FIONREAD, &unread) != 0) return SIZE_MAX;
    const long usedPages = (unread + page - 1) / page + (unread > 0 ? 1 : 0);
    const long room = capacity - usedPages * page;
    return room > 0 ? static_cast<size_t>(room) : 0;
}

void PipeUplink::CountDrops(uint64_t messages) {
    if (messages == 0) return;
    const uint64_t dropped = droppedCount.fetch_add(messages, std::memory_order_relaxed) + messages;
    const int64_t now = MonotonicNow();
    if (dropWarned && now - lastDropWarning < DropWarningInterval) return;
    dropWarned = true;
    lastDropWarning = now;
    QX_LOG(LogLevel::Warning, "[%lu][Uplink] Named pipe full, %llu messages dropped so far", LogProcessId(),
           static_cast<unsigned long long>(dropped));
}

bool PipeUplink::Send(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    const MessageRun run{data, static_cast<size_t>(length)};
    return SendRuns(&run, 1, MonotonicNow() + RoomWaitMilliseconds * NanosecondsPerMillisecond).delivered == 1;
}

BatchResult PipeUplink::SendRuns(const MessageRun* runs, size_t runCount, int64_t deadline) {
    const uint64_t total = CountMessages(runs, runCount);
    if (total == 0) return {};
    if (!Connect()) {
        QX_LOG(LogLevel::Error, "Failed to connect to named pipe");
        return {0, total};
    }
    const int64_t roomDeadline = std::min(deadline, MonotonicNow() + RoomWaitMilliseconds * NanosecondsPerMillisecond);

    // The runs still to write, re-cut after every write.
    std::vector<MessageRun> left(runs, runs + runCount);
    std::vector<MessageRun> chunk;
    uint64_t delivered = 0;
    while (!left.empty()) {
        const size_t room = std::min(SafeRoom(), MaxWriteBytes);
        const size_t bytes = StreamWriter::WholeMessageBytes(left.data(), left.size(), room);
        if (bytes == 0) {
            // Not even the next message fits for certain: wait for the reader, then give the rest up.
            if (MonotonicNow() < roomDeadline) {
                PauseForReader(pipeFd, roomDeadline);
                continue;
            }
            CountDrops(total - delivered);
            return {delivered, total - delivered};
        }
        chunk.clear();
        size_t need = bytes;
        for (const MessageRun& run : left) {
            if (need == 0) break;
            const size_t take = std::min(need, run.length);
            chunk.push_back({run.data, take});
            need -= take;
        }
        const StreamWriter::Outcome outcome =
            StreamWriter(pipeFd, false).Write(chunk.data(), chunk.size(), roomDeadline, TornMessageGraceNanoseconds);
        delivered += CountWholeMessages(chunk.data(), chunk.size(), outcome.bytes);
        if (outcome.error != 0) {
            QX_LOG(LogLevel::Error, "Failed to write to named pipe: %d", outcome.error);
            // The reader is gone (the next batch reopens for a new one), or the stream now holds
            // part of a message: either way this descriptor is done.
            if (outcome.error == EPIPE || outcome.torn) Close();
            return {delivered, total - delivered};
        }
        if (outcome.torn) {
            QX_LOG(LogLevel::Error, "Incomplete write to named pipe: %d of %d bytes", static_cast<int>(outcome.bytes),
                   static_cast<int>(bytes));
            Close();
            return {delivered, total - delivered};
        }
        if (outcome.bytes < bytes) {
            CountDrops(total - delivered);
            return {delivered, total - delivered};
        }
        // Drop what was written from the front of the runs.
        size_t advance = bytes;
        size_t index = 0;
        while (advance > 0 && index < left.size()) {
            if (advance >= left[index].length) {
                advance -= left[index].length;
                ++index;
            } else {
                left[index].data += advance;
                left[index].length -= advance;
                left[index].messages = 0;  // cut: counted again when needed
                advance = 0;
            }
        }
        left.erase(left.begin(), left.begin() + static_cast<long>(index));
    }
    return {delivered, total - delivered};
}

bool PipeUplink::Close() {
    if (pipeFd >= 0) {
        close(pipeFd);
        pipeFd = -1;
    }
    return true;
}
