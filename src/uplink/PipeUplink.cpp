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
#include <cstring>
#include <exception>

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

    if (mkfifo(pipePath.c_str(), 0644) != 0 && errno != EEXIST) {
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

bool PipeUplink::WaitForRoom(size_t length, int64_t deadline) const {
    // The kernel keeps a FIFO in page-sized slots; counting the unread bytes in whole pages plus
    // one partly used page never overestimates the room left.
    const long page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
    for (;;) {
        // Without a reader nothing will make room; the write then reports the broken pipe.
        pollfd entry{pipeFd, POLLOUT, 0};
        if (poll(&entry, 1, 0) == 1 && (entry.revents & POLLERR) != 0) return true;
        const int capacity = fcntl(pipeFd, F_GETPIPE_SZ);
        int unread = 0;
        if (capacity <= 0 || ioctl(pipeFd, FIONREAD, &unread) != 0) return true;  // let write decide
        const long usedPages = (unread + page - 1) / page + (unread > 0 ? 1 : 0);
        const long room = capacity - usedPages * page;
        if (room >= static_cast<long>(length)) return true;
        if (MonotonicNow() >= deadline) return false;
        const timespec pause{0, 2 * NanosecondsPerMillisecond};
        nanosleep(&pause, nullptr);
    }
}

void PipeUplink::CountDrop() {
    const uint64_t dropped = droppedCount.fetch_add(1, std::memory_order_relaxed) + 1;
    const int64_t now = MonotonicNow();
    if (dropWarned && now - lastDropWarning < DropWarningInterval) return;
    dropWarned = true;
    lastDropWarning = now;
    QX_LOG(LogLevel::Warning, "[%lu][Uplink] Named pipe full, %llu messages dropped so far", LogProcessId(),
           static_cast<unsigned long long>(dropped));
}

bool PipeUplink::Send(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    if (!Connect()) {
        QX_LOG(LogLevel::Error, "Failed to connect to named pipe");
        return false;
    }

    const size_t total = static_cast<size_t>(length);
    int64_t deadline = MonotonicNow() + RoomWaitMilliseconds * NanosecondsPerMillisecond;
    // Up to PIPE_BUF bytes the kernel writes all or nothing; above, make sure it all fits first.
    if (total > PIPE_BUF && !WaitForRoom(total, deadline)) {
        CountDrop();
        return false;
    }

    SigpipeShield shield;
    size_t written = 0;
    while (written < total) {
        const ssize_t result = write(pipeFd, data + written, total - written);
        if (result > 0) {
            if (written == 0 && static_cast<size_t>(result) < total) {
                // Part of the message is in the pipe: give the reader a fresh period to take the rest.
                deadline = MonotonicNow() + RoomWaitMilliseconds * NanosecondsPerMillisecond;
            }
            written += static_cast<size_t>(result);
            continue;
        }
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 && errno == EAGAIN) {
            if (MonotonicNow() >= deadline) break;
            PauseForReader(pipeFd, deadline);
            continue;
        }
        const int error = result < 0 ? errno : EIO;
        if (error == EPIPE) shield.ConsumePending();
        QX_LOG(LogLevel::Error, "Failed to write to named pipe: %d", error);
        // The reader is gone (the next message reopens for a new one), or the stream now holds
        // part of a message: either way this descriptor is done.
        if (error == EPIPE || written > 0) Close();
        return false;
    }

    if (written == total) return true;
    if (written == 0) {
        CountDrop();
        return false;
    }
    QX_LOG(LogLevel::Error, "Incomplete write to named pipe: %d of %d bytes", static_cast<int>(written), length);
    Close();
    return false;
}

bool PipeUplink::Close() {
    if (pipeFd >= 0) {
        close(pipeFd);
        pipeFd = -1;
    }
    return true;
}
