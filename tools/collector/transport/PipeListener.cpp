#include "transport/ListenerParts.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace QuorixCollect {

using namespace ListenerParts;

namespace {

class PipeListener final : public Listener {
public:
    explicit PipeListener(const CollectorOptions& o) : options(o), buffer(new uint8_t[ReadChunk]) {}
    ~PipeListener() override { Shutdown(); }

    bool Open(std::string& error) override {
        const std::string& path = options.pipePath;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0) {
            if (!S_ISFIFO(st.st_mode)) {
                error = "'" + path + "' exists and is not a FIFO; refusing to use it";
                return false;
            }
        } else if (errno == ENOENT) {
            if (mkfifo(path.c_str(), 0600) == 0) {
                created = true;
            } else if (errno != EEXIST) {
                error = SystemError(("cannot create FIFO '" + path + "'").c_str());
                return false;
            }
        } else {
            error = SystemError(("cannot inspect '" + path + "'").c_str());
            return false;
        }
        // O_NOFOLLOW and fstat close the window between the check above and the open.
        readFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (readFd < 0) {
            error = SystemError(("cannot open FIFO '" + path + "'").c_str());
            return false;
        }
        if (fstat(readFd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
            error = "'" + path + "' is not a FIFO; refusing to use it";
            return false;
        }
        // Another user's FIFO, or one others may write into, could carry a forged process.
        if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            error = "'" + path + "' is " +
                    (st.st_uid != geteuid() ? "owned by another user" : "writable by group or others") +
                    "; refusing to use it";
            return false;
        }
        device = st.st_dev;
        inode = st.st_ino;
        // Our own write end keeps the FIFO from reporting end-of-file whenever an agent closes it.
        writeFd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        struct stat wst {};
        if (writeFd < 0 || fstat(writeFd, &wst) != 0 || wst.st_dev != device || wst.st_ino != inode) {
            error = "cannot hold the FIFO '" + path + "' open for writing";
            return false;
        }
        // A larger pipe lets the writers hand over more per wake-up (best effort: the system
        // caps it for unprivileged users).
        fcntl(readFd, F_SETPIPE_SZ, static_cast<int>(ReadChunk));
        lastByte = Clock::now();
        return true;
    }

    std::string Endpoint() const override { return options.pipePath; }

    void Wait(ReceivedBytes& session, int timeoutMs) override {
        WaitAndRead(readFd, timeoutMs, [&] { return Read(session); });
    }

    void Drain(ReceivedBytes& session, Clock::duration limit) override {
        const auto deadline = Clock::now() + limit;
        while (Read(session) && Clock::now() < deadline) {}
    }

    void Expire(ReceivedBytes& session, Clock::time_point now) override {
        // Writers come and go on the one FIFO; only a command left half-written is stale.
        if (options.idleTimeoutSeconds > 0 && session.StreamPending(0) != 0 &&
            now - lastByte >= std::chrono::duration<double>(options.idleTimeoutSeconds)) {
            session.OnStreamTimedOut(0, options.idleTimeoutSeconds);
        }
    }

    std::vector<std::string> Describe() const override {
        return {"transport: FIFO '" + options.pipePath + "', " + std::to_string(bytes) + " bytes"};
    }

    void Shutdown() override {
        CloseFd(readFd);
        CloseFd(writeFd);
        if (created) {
            // Only remove what is still the FIFO we made.
            struct stat st {};
            if (lstat(options.pipePath.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && st.st_dev == device &&
                st.st_ino == inode) {
                unlink(options.pipePath.c_str());
            }
            created = false;
        }
    }

private:
    // One read; returns whether anything was read.
    bool Read(ReceivedBytes& session) {
        const ssize_t n = read(readFd, buffer.get(), ReadChunk);
        if (n <= 0) {
            return false;
        }
        lastByte = Clock::now();
        session.ReadStarted(lastByte);
        bytes += static_cast<uint64_t>(n);
        session.OnStreamData(0, buffer.get(), static_cast<size_t>(n));
        session.ReadFinished(Clock::now());
        return true;
    }

    CollectorOptions options;
    int readFd = -1;
    int writeFd = -1;
    bool created = false;
    dev_t device = 0;
    ino_t inode = 0;
    uint64_t bytes = 0;
    Clock::time_point lastByte{};
    std::unique_ptr<uint8_t[]> buffer;
};

}  // namespace

std::unique_ptr<Listener> MakePipeListener(const CollectorOptions& options) {
    return std::make_unique<PipeListener>(options);
}

}  // namespace QuorixCollect
