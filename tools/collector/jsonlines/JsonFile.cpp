#include "threading/QuietThread.h"
#include "jsonlines/JsonFile.h"

#include "files/OutputFile.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace QuorixCollect {

bool JsonFile::Open(const std::string& path, std::string& error) {
    if (path == "-") {
        fd = STDOUT_FILENO;
    } else {
        std::string reason;
        fd = OpenOutputFile(path, reason);
        if (fd < 0) {
            error = "cannot open JSON output '" + path + "': " + reason;
            return false;
        }
        owned = true;
    }
    buffer.reserve(drainAt + 64 * 1024);
    writing.reserve(drainAt + 64 * 1024);
    writer = QuietThread([this] { WriterLoop(); });
    return true;
}

void JsonFile::Drain() {
    if (buffer.empty() || !writer.joinable()) {
        buffer.clear();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    idle.wait(lock, [this] { return !full; });
    writing.swap(buffer);
    full = true;
    work.notify_one();
    lock.unlock();
    buffer.clear();
}

void JsonFile::Close() {
    if (!writer.joinable()) {
        return;
    }
    Drain();
    {
        std::unique_lock<std::mutex> lock(mutex);
        idle.wait(lock, [this] { return !full; });
        stop = true;
        work.notify_one();
    }
    writer.join();
    if (owned && fd >= 0 && close(fd) != 0 && !failed) {
        Fail(errno);
    }
    fd = -1;
}

void JsonFile::WriterLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        work.wait(lock, [this] { return full || stop; });
        if (!full) {
            return;
        }
        lock.unlock();
        WriteOut(writing);
        lock.lock();
        writing.clear();
        full = false;
        idle.notify_one();
    }
}

void JsonFile::WriteOut(const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    while (!failed && left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            Fail(n < 0 ? errno : EIO);
            return;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
}

void JsonFile::Fail(int error) {
    // A full disk or a closed reader must not stop the collection itself.
    failed = true;
    fprintf(stderr, "quorix-collect: writing JSON output failed (%s); JSON output stopped\n", strerror(error));
}

}  // namespace QuorixCollect
