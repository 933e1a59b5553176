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

namespace {

// The longest line that may pass drainAt before the buffer is handed over.
constexpr size_t LineSlack = 64 * 1024;

}  // namespace

size_t JsonFile::BufferBytes(size_t drainAt, const Options& options) {
    return (options.inFlight + 2) * (drainAt + LineSlack + BulkFileWriter::Block);
}

bool JsonFile::Open(const std::string& path, std::string& error) {
    if (path == "-") {
        // Shared with whoever started us: its flags are not ours to change.
        Attach(STDOUT_FILENO, false);
        return true;
    }
    std::string reason;
    const int descriptor = OpenOutputFile(path, reason);
    if (descriptor < 0) {
        error = "cannot open JSON output '" + path + "': " + reason;
        return false;
    }
    Attach(descriptor, true);
    return true;
}

void JsonFile::Attach(int descriptor, bool own) {
    fd = descriptor;
    owned = own;
    if (options.inFlight == 0) {
        options.inFlight = 1;
    }
    buffer.reserve(drainAt + LineSlack);
    file = std::make_unique<BulkFileWriter>(fd, own && options.direct, drainAt + LineSlack);
    writer = QuietThread([this] { WriterLoop(); });
}

void JsonFile::Drain() {
    if (buffer.empty() || !writer.joinable() || failed) {
        buffer.clear();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    idle.wait(lock, [this] { return pending.size() < options.inFlight; });
    pending.push_back(std::move(buffer));
    if (!spare.empty()) {
        buffer = std::move(spare.back());
        spare.pop_back();
    } else {
        buffer = std::string();
    }
    work.notify_one();
    lock.unlock();
    buffer.clear();
    buffer.reserve(drainAt + LineSlack);
}

void JsonFile::Close() {
    if (!writer.joinable()) {
        return;
    }
    Drain();
    {
        std::unique_lock<std::mutex> lock(mutex);
        idle.wait(lock, [this] { return pending.empty(); });
        stop = true;
        work.notify_one();
    }
    writer.join();
    if (!failed) {
        if (const int error = file->Flush(); error != 0) {
            Fail(error);
        }
    }
    if (owned && fd >= 0 && close(fd) != 0 && !failed) {
        Fail(errno);
    }
    fd = -1;
}

void JsonFile::WriterLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        if (!work.wait_for(lock, options.quiet, [this] { return !pending.empty() || stop; })) {
            // Nothing new for a while: the block kept back for the next write goes out now.
            if (!failed && file->TailPending()) {
                lock.unlock();
                if (const int error = file->Flush(); error != 0) {
                    Fail(error);
                }
                lock.lock();
            }
            continue;
        }
        if (pending.empty()) {
            return;
        }
        std::string& text = pending.front();
        lock.unlock();
        if (!failed) {
            if (const int error = file->Write(text.data(), text.size()); error != 0) {
                Fail(error);
            }
        }
        lock.lock();
        text.clear();
        spare.push_back(std::move(text));
        pending.pop_front();
        idle.notify_one();
    }
}

void JsonFile::Fail(int error) {
    // A full disk or a closed reader must not stop the collection itself.
    failed = true;
    fprintf(stderr, "quorix-collect: writing JSON output failed (%s); JSON output stopped\n", strerror(error));
}

}  // namespace QuorixCollect
