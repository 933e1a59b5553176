#include "Listeners.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/sock_diag.h>

#include <cerrno>
#include <cstring>

namespace QuorixCollect {

namespace {

// Large reads: the agent writes batches of 64 KiB and more, and every read costs a system call.
constexpr size_t ReadChunk = 1 << 20;
// A command is at most 32767 bytes; a datagram that fills the whole slot was longer.
constexpr size_t DatagramSlot = MaxCommandLength + 1;
constexpr int DatagramBatch = 64;
// Large enough for bursts of small commands; the agent does not wait for us.
constexpr int UdpReceiveBuffer = 8 * 1024 * 1024;
// Work done per wake-up before looking at signals and deadlines again.
constexpr int MaxReadsPerWake = 64;

std::string SystemError(const char* what) { return std::string(what) + ": " + strerror(errno); }

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

std::string Seconds(double s) {
    char buf[32];
    snprintf(buf, sizeof buf, "%g s", s);
    return buf;
}

class UdpListener final : public Listener {
public:
    explicit UdpListener(const CollectorOptions& o) : options(o), buffers(new uint8_t[DatagramBatch * DatagramSlot]) {}
    ~UdpListener() override { Shutdown(); }

    bool Open(std::string& error) override {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = SystemError("cannot create UDP socket");
            return false;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        int size = UdpReceiveBuffer;
        // The forced variant passes the system cap but needs privileges; fall back quietly.
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        socklen_t len = sizeof receiveBuffer;
        getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, &len);
        // The kernel then hands its drop counter along with every datagram.
        overflowReported = setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) == 0;

        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(options.port));
        // Bound to the group itself for multicast, so unrelated unicast traffic is not read.
        addr.sin_addr.s_addr = options.multicast ? inet_addr(MulticastGroup) : htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            error = SystemError(("cannot bind UDP port " + std::to_string(options.port)).c_str());
            return false;
        }
        if (options.multicast && !JoinGroup(error)) {
            return false;
        }
        sockaddr_in bound{};
        socklen_t boundLen = sizeof bound;
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLen);
        port = ntohs(bound.sin_port);
        return true;
    }

    std::string Endpoint() const override { return std::to_string(port); }

    void Wait(CollectorSession& session, int timeoutMs) override {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) > 0) {
            for (int round = 0; round < MaxReadsPerWake && Read(session); ++round) {}
        }
    }

    void Drain(CollectorSession& session, Clock::duration limit) override {
        const auto deadline = Clock::now() + limit;
        while (Read(session)) {
            if (Clock::now() >= deadline) {
                drainCut = true;
                break;
            }
        }
        // Drops after the last datagram read are only in the socket's own counter.
        ReadDropCounter();
    }

    void Expire(CollectorSession&, Clock::time_point) override {}

    std::vector<std::string> Describe() const override {
        std::string where = options.multicast ? std::string(MulticastGroup) : "127.0.0.1";
        std::string line = "transport: udp " + where + ":" + std::to_string(port) + ", receive buffer " +
                           std::to_string(receiveBuffer) + " bytes, " + std::to_string(datagrams) + " datagrams";
        if (drainCut) {
            line += " (final drain stopped while datagrams kept coming)";
        }
        return {line};
    }

    std::vector<std::string> LossLines() const override {
        if (!overflowReported && !counterRead) {
            return {"kernel drops: unknown"};
        }
        return {"kernel drops: " + std::to_string(drops)};
    }

    void Shutdown() override { CloseFd(fd); }

private:
    bool JoinGroup(std::string& error) {
        ip_mreqn req{};
        req.imr_multiaddr.s_addr = inet_addr(MulticastGroup);
        req.imr_address.s_addr = htonl(INADDR_ANY);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) == 0) {
            return true;
        }
        const int firstError = errno;
        // Without a default route the kernel cannot pick an interface; the loopback one still
        // serves senders on this machine.
        req.imr_ifindex = static_cast<int>(if_nametoindex("lo"));
        if (req.imr_ifindex != 0 && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) == 0) {
            return true;
        }
        error = "cannot join multicast group " + std::string(MulticastGroup) + ": " + strerror(firstError);
        return false;
    }

    // The kernel's counter is 32 bits and counts from the socket's creation.
    void NoteDropCounter(uint32_t counter) {
        drops += static_cast<uint32_t>(counter - lastCounter);
        lastCounter = counter;
    }

    void ReadDropCounter() {
        uint32_t info[SK_MEMINFO_VARS] = {};
        socklen_t len = sizeof info;
        if (fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) == 0 &&
            len >= (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) {
            NoteDropCounter(info[SK_MEMINFO_DROPS]);
            counterRead = true;
        }
    }

    // One batch; returns whether anything was read.
    bool Read(CollectorSession& session) {
        mmsghdr msgs[DatagramBatch];
        iovec iov[DatagramBatch];
        alignas(cmsghdr) char control[DatagramBatch][CMSG_SPACE(sizeof(uint32_t))];
        for (int i = 0; i < DatagramBatch; ++i) {
            iov[i].iov_base = buffers.get() + i * DatagramSlot;
            iov[i].iov_len = DatagramSlot;
            msgs[i].msg_hdr = msghdr{};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = control[i];
            msgs[i].msg_hdr.msg_controllen = sizeof control[i];
            msgs[i].msg_len = 0;
        }
        const int n = recvmmsg(fd, msgs, DatagramBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) {
            return false;
        }
        session.ReadStarted(Clock::now());
        for (int i = 0; i < n; ++i) {
            msghdr& h = msgs[i].msg_hdr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    uint32_t counter = 0;
                    memcpy(&counter, CMSG_DATA(c), sizeof counter);
                    NoteDropCounter(counter);
                }
            }
            if ((h.msg_flags & MSG_TRUNC) != 0 || msgs[i].msg_len >= DatagramSlot) {
                session.OnOversizedDatagram();
            } else {
                session.OnDatagram(static_cast<const uint8_t*>(iov[i].iov_base), msgs[i].msg_len);
            }
        }
        datagrams += static_cast<uint64_t>(n);
        session.ReadFinished(Clock::now());
        return true;
    }

    CollectorOptions options;
    int fd = -1;
    uint16_t port = 0;
    int receiveBuffer = 0;
    uint64_t datagrams = 0;
    bool overflowReported = false;
    bool counterRead = false;
    uint32_t lastCounter = 0;
    uint64_t drops = 0;
    bool drainCut = false;
    std::unique_ptr<uint8_t[]> buffers;
};

class TcpListener final : public Listener {
public:
    explicit TcpListener(const CollectorOptions& o) : options(o), buffer(new uint8_t[ReadChunk]) {}
    ~TcpListener() override { Shutdown(); }

    bool Open(std::string& error) override {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = SystemError("cannot create TCP socket");
            return false;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(options.port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            error = SystemError(("cannot bind TCP port " + std::to_string(options.port)).c_str());
            return false;
        }
        if (listen(fd, 128) != 0) {
            error = SystemError("cannot listen");
            return false;
        }
        sockaddr_in bound{};
        socklen_t boundLen = sizeof bound;
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLen);
        port = ntohs(bound.sin_port);
        return true;
    }

    std::string Endpoint() const override { return std::to_string(port); }

    void Wait(CollectorSession& session, int timeoutMs) override {
        fds.clear();
        fds.push_back({fd, POLLIN, 0});
        for (const auto& c : connections) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), timeoutMs) <= 0) {
            return;
        }
        // Connections first, last to first: closing one shifts only those behind it.
        for (size_t i = fds.size(); i-- > 1;) {
            if (fds[i].revents != 0) {
                for (int round = 0; round < MaxReadsPerWake && ReadConnection(session, i - 1) == ReadResult::Full;
                     ++round) {}
            }
        }
        if (fds[0].revents != 0) {
            Accept(session);
        }
    }

    void Drain(CollectorSession& session, Clock::duration limit) override {
        const auto deadline = Clock::now() + limit;
        Accept(session);
        bool more = true;
        while (more && Clock::now() < deadline) {
            more = false;
            for (size_t i = connections.size(); i-- > 0;) {
                if (ReadConnection(session, i) == ReadResult::Full) {
                    more = true;
                }
            }
        }
    }

    void Expire(CollectorSession& session, Clock::time_point now) override {
        if (options.idleTimeoutSeconds <= 0) {
            return;
        }
        const auto idle =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.idleTimeoutSeconds));
        for (size_t i = connections.size(); i-- > 0;) {
            if (now - connections[i].lastByte < idle) {
                continue;
            }
            if (session.StreamPending(connections[i].id) != 0) {
                session.OnStreamTimedOut(connections[i].id, options.idleTimeoutSeconds);
                ++partialTimeouts;
            }
            ++idleClosed;
            Close(session, i);
        }
    }

    std::vector<std::string> Describe() const override {
        std::string line =
            "transport: tcp 127.0.0.1:" + std::to_string(port) + ", " + std::to_string(accepted) + " connections";
        std::string notes;
        auto note = [&notes](uint64_t n, const std::string& what) {
            if (n != 0) {
                notes += (notes.empty() ? "" : ", ") + std::to_string(n) + " " + what;
            }
        };
        note(idleClosed,
             "closed after " + Seconds(options.idleTimeoutSeconds) + " without a byte" +
                 (partialTimeouts != 0 ? " (" + std::to_string(partialTimeouts) + " in the middle of a command)"
                                       : std::string()));
        note(evicted, "closed to admit newer ones (limit " + std::to_string(options.maxConnections) + ")");
        if (!notes.empty()) {
            line += " (" + notes + ")";
        }
        return {line};
    }

    void Shutdown() override {
        for (auto& c : connections) {
            CloseFd(c.fd);
        }
        connections.clear();
        CloseFd(fd);
    }

private:
    struct Connection {
        int fd;
        uint64_t id;
        Clock::time_point lastByte;
    };
    enum class ReadResult { Full, Partial, Nothing };

    void Close(CollectorSession& session, size_t index) {
        session.OnStreamClosed(connections[index].id);
        close(connections[index].fd);
        connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(index));
    }

    void Accept(CollectorSession& session) {
        for (int round = 0; round < 1024; ++round) {
            const int c = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c < 0) {
                return;
            }
            if (connections.size() >= options.maxConnections) {
                // Whoever holds connections open without sending cannot lock the agent out:
                // the one silent the longest makes room.
                size_t oldest = 0;
                for (size_t i = 1; i < connections.size(); ++i) {
                    if (connections[i].lastByte < connections[oldest].lastByte) {
                        oldest = i;
                    }
                }
                if (session.StreamPending(connections[oldest].id) != 0) {
                    session.OnStreamTimedOut(
                        connections[oldest].id,
                        std::chrono::duration<double>(Clock::now() - connections[oldest].lastByte).count());
                }
                Close(session, oldest);
                ++evicted;
            }
            ++accepted;
            connections.push_back({c, nextId++, Clock::now()});
        }
    }

    // Reads once from connection `index`; closes it on end of stream or error.
    ReadResult ReadConnection(CollectorSession& session, size_t index) {
        Connection& c = connections[index];
        const ssize_t n = recv(c.fd, buffer.get(), ReadChunk, MSG_DONTWAIT);
        if (n > 0) {
            const auto now = Clock::now();
            c.lastByte = now;
            session.ReadStarted(now);
            session.OnStreamData(c.id, buffer.get(), static_cast<size_t>(n));
            session.ReadFinished(Clock::now());
            return static_cast<size_t>(n) == ReadChunk ? ReadResult::Full : ReadResult::Partial;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return ReadResult::Nothing;
        }
        Close(session, index);
        return ReadResult::Nothing;
    }

    CollectorOptions options;
    int fd = -1;
    uint16_t port = 0;
    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    uint64_t nextId = 1;
    uint64_t accepted = 0;
    uint64_t idleClosed = 0;
    uint64_t partialTimeouts = 0;
    uint64_t evicted = 0;
    std::unique_ptr<uint8_t[]> buffer;
};

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

    void Wait(CollectorSession& session, int timeoutMs) override {
        pollfd p{readFd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) > 0) {
            for (int round = 0; round < MaxReadsPerWake && Read(session); ++round) {}
        }
    }

    void Drain(CollectorSession& session, Clock::duration limit) override {
        const auto deadline = Clock::now() + limit;
        while (Read(session) && Clock::now() < deadline) {}
    }

    void Expire(CollectorSession& session, Clock::time_point now) override {
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
    bool Read(CollectorSession& session) {
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

size_t ListenerBufferBytes(const CollectorOptions& options) {
    switch (options.transport) {
        case Transport::Udp:
            return DatagramBatch * DatagramSlot;
        // One read buffer, and at most one partial command per connection.
        case Transport::Tcp:
            return ReadChunk + options.maxConnections * MaxCommandLength;
        case Transport::Pipe:
            return ReadChunk + MaxCommandLength;
    }
    return 0;
}

std::unique_ptr<Listener> MakeListener(const CollectorOptions& options) {
    switch (options.transport) {
        case Transport::Udp:
            return std::make_unique<UdpListener>(options);
        case Transport::Tcp:
            return std::make_unique<TcpListener>(options);
        case Transport::Pipe:
            return std::make_unique<PipeListener>(options);
    }
    return nullptr;
}

}  // namespace QuorixCollect
