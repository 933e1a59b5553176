#include "Listeners.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace QuorixCollect {

namespace {

constexpr size_t ReadChunk = 64 * 1024;
// Large enough for bursts of small commands; the agent does not wait for us.
constexpr int UdpReceiveBuffer = 8 * 1024 * 1024;
// Work done per wake-up before looking at signals and deadlines again.
constexpr int MaxReadsPerWake = 256;

std::string SystemError(const char* what)
{
    return std::string(what) + ": " + strerror(errno);
}

void CloseFd(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

class UdpListener final : public Listener {
public:
    explicit UdpListener(const CollectorOptions& o) : options_(o) {}
    ~UdpListener() override { Shutdown(); }

    bool Open(std::string& error) override
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            error = SystemError("cannot create UDP socket");
            return false;
        }
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        int size = UdpReceiveBuffer;
        // The forced variant passes the system cap but needs privileges; fall back quietly.
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        socklen_t len = sizeof receiveBuffer_;
        getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer_, &len);
        // Lets the kernel tell us how many datagrams it dropped for lack of buffer space.
        setsockopt(fd_, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);

        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(options_.port));
        // Bound to the group itself for multicast, so unrelated unicast traffic is not read.
        addr.sin_addr.s_addr = options_.multicast ? inet_addr(MulticastGroup) : htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            error = SystemError(("cannot bind UDP port " + std::to_string(options_.port)).c_str());
            return false;
        }
        if (options_.multicast && !JoinGroup(error)) {
            return false;
        }
        sockaddr_in bound{};
        socklen_t boundLen = sizeof bound;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &boundLen);
        port_ = ntohs(bound.sin_port);
        return true;
    }

    std::string Endpoint() const override { return std::to_string(port_); }

    void Wait(CollectorSession& session, int timeoutMs) override
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) > 0) {
            Read(session);
        }
    }

    void Drain(CollectorSession& session) override
    {
        for (int round = 0; round < 64 && Read(session); ++round) {
        }
    }

    std::vector<std::string> Describe() const override
    {
        std::string where = options_.multicast ? std::string(MulticastGroup) : "127.0.0.1";
        return {"transport: udp " + where + ":" + std::to_string(port_) + ", receive buffer " +
                std::to_string(receiveBuffer_) + " bytes, " + std::to_string(datagrams_) + " datagrams, " +
                std::to_string(kernelDrops_) + " lost (receive buffer full)"};
    }

    void Shutdown() override { CloseFd(fd_); }

private:
    bool JoinGroup(std::string& error)
    {
        ip_mreqn req{};
        req.imr_multiaddr.s_addr = inet_addr(MulticastGroup);
        req.imr_address.s_addr = htonl(INADDR_ANY);
        if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) == 0) {
            return true;
        }
        const int firstError = errno;
        // Without a default route the kernel cannot pick an interface; the loopback one still
        // serves senders on this machine.
        req.imr_ifindex = static_cast<int>(if_nametoindex("lo"));
        if (req.imr_ifindex != 0 && setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) == 0) {
            return true;
        }
        error = "cannot join multicast group " + std::string(MulticastGroup) + ": " + strerror(firstError);
        return false;
    }

    // Returns whether anything was read.
    bool Read(CollectorSession& session)
    {
        constexpr int Batch = 16;
        bool any = false;
        for (int round = 0; round < MaxReadsPerWake / Batch; ++round) {
            mmsghdr msgs[Batch]{};
            iovec iov[Batch];
            alignas(cmsghdr) char control[Batch][CMSG_SPACE(sizeof(uint32_t))];
            for (int i = 0; i < Batch; ++i) {
                iov[i].iov_base = buffers_[i];
                iov[i].iov_len = sizeof buffers_[i];
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
                msgs[i].msg_hdr.msg_control = control[i];
                msgs[i].msg_hdr.msg_controllen = sizeof control[i];
            }
            const int n = recvmmsg(fd_, msgs, Batch, MSG_DONTWAIT, nullptr);
            if (n <= 0) {
                break;
            }
            any = true;
            for (int i = 0; i < n; ++i) {
                ++datagrams_;
                for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c != nullptr; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                        uint32_t dropped = 0;
                        memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
                        kernelDrops_ = dropped;
                    }
                }
                if ((msgs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
                    session.OnOversizedDatagram();
                } else {
                    session.OnDatagram(buffers_[i], msgs[i].msg_len);
                }
            }
            if (n < Batch) {
                break;
            }
        }
        return any;
    }

    CollectorOptions options_;
    int fd_ = -1;
    uint16_t port_ = 0;
    int receiveBuffer_ = 0;
    uint64_t datagrams_ = 0;
    uint32_t kernelDrops_ = 0;
    // A command is at most 32767 bytes; anything longer is reported as oversized.
    uint8_t buffers_[16][32768 + 1];
};

class TcpListener final : public Listener {
public:
    TcpListener(const CollectorOptions& o, size_t maxConnections) : options_(o), maxConnections_(maxConnections) {}
    ~TcpListener() override { Shutdown(); }

    bool Open(std::string& error) override
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            error = SystemError("cannot create TCP socket");
            return false;
        }
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(options_.port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            error = SystemError(("cannot bind TCP port " + std::to_string(options_.port)).c_str());
            return false;
        }
        if (listen(fd_, 128) != 0) {
            error = SystemError("cannot listen");
            return false;
        }
        sockaddr_in bound{};
        socklen_t boundLen = sizeof bound;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &boundLen);
        port_ = ntohs(bound.sin_port);
        return true;
    }

    std::string Endpoint() const override { return std::to_string(port_); }

    void Wait(CollectorSession& session, int timeoutMs) override
    {
        fds_.clear();
        fds_.push_back({fd_, POLLIN, 0});
        for (const auto& c : connections_) {
            fds_.push_back({c.fd, POLLIN, 0});
        }
        if (poll(fds_.data(), fds_.size(), timeoutMs) <= 0) {
            return;
        }
        // Connections first: accepting may reorder the list.
        for (size_t i = fds_.size(); i-- > 1;) {
            if (fds_[i].revents != 0) {
                ReadConnection(session, i - 1);
            }
        }
        if (fds_[0].revents != 0) {
            Accept();
        }
    }

    void Drain(CollectorSession& session) override
    {
        Accept();
        for (size_t i = connections_.size(); i-- > 0;) {
            for (int round = 0; round < 64 && i < connections_.size() && ReadConnection(session, i); ++round) {
            }
        }
    }

    std::vector<std::string> Describe() const override
    {
        std::string line = "transport: tcp 127.0.0.1:" + std::to_string(port_) + ", " + std::to_string(accepted_) +
                           " connections";
        if (refused_ != 0) {
            line += " (" + std::to_string(refused_) + " refused: too many at once)";
        }
        return {line};
    }

    void Shutdown() override
    {
        for (auto& c : connections_) {
            CloseFd(c.fd);
        }
        connections_.clear();
        CloseFd(fd_);
    }

private:
    struct Connection {
        int fd;
        uint64_t id;
    };

    void Accept()
    {
        for (int round = 0; round < MaxReadsPerWake; ++round) {
            const int c = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c < 0) {
                return;
            }
            if (connections_.size() >= maxConnections_) {
                close(c);
                ++refused_;
                continue;
            }
            ++accepted_;
            connections_.push_back({c, nextId_++});
        }
    }

    // Reads once from connection `index`; closes it on end of stream or error. Returns whether
    // bytes were read.
    bool ReadConnection(CollectorSession& session, size_t index)
    {
        Connection& c = connections_[index];
        const ssize_t n = recv(c.fd, buffer_, sizeof buffer_, MSG_DONTWAIT);
        if (n > 0) {
            session.OnStreamData(c.id, buffer_, static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return false;
        }
        session.OnStreamClosed(c.id);
        close(c.fd);
        connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(index));
        return false;
    }

    CollectorOptions options_;
    size_t maxConnections_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::vector<Connection> connections_;
    std::vector<pollfd> fds_;
    uint64_t nextId_ = 1;
    uint64_t accepted_ = 0;
    uint64_t refused_ = 0;
    uint8_t buffer_[ReadChunk];
};

class PipeListener final : public Listener {
public:
    explicit PipeListener(const CollectorOptions& o) : options_(o) {}
    ~PipeListener() override { Shutdown(); }

    bool Open(std::string& error) override
    {
        const std::string& path = options_.pipePath;
        struct stat st{};
        if (lstat(path.c_str(), &st) == 0) {
            if (!S_ISFIFO(st.st_mode)) {
                error = "'" + path + "' exists and is not a FIFO; refusing to use it";
                return false;
            }
        } else if (errno == ENOENT) {
            if (mkfifo(path.c_str(), 0600) == 0) {
                created_ = true;
            } else if (errno != EEXIST) {
                error = SystemError(("cannot create FIFO '" + path + "'").c_str());
                return false;
            }
        } else {
            error = SystemError(("cannot inspect '" + path + "'").c_str());
            return false;
        }
        // O_NOFOLLOW and fstat close the window between the check above and the open.
        readFd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (readFd_ < 0) {
            error = SystemError(("cannot open FIFO '" + path + "'").c_str());
            return false;
        }
        if (fstat(readFd_, &st) != 0 || !S_ISFIFO(st.st_mode)) {
            error = "'" + path + "' is not a FIFO; refusing to use it";
            return false;
        }
        device_ = st.st_dev;
        inode_ = st.st_ino;
        // Our own write end keeps the FIFO from reporting end-of-file whenever an agent closes it.
        writeFd_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        struct stat wst{};
        if (writeFd_ < 0 || fstat(writeFd_, &wst) != 0 || wst.st_dev != device_ || wst.st_ino != inode_) {
            error = "cannot hold the FIFO '" + path + "' open for writing";
            return false;
        }
        return true;
    }

    std::string Endpoint() const override { return options_.pipePath; }

    void Wait(CollectorSession& session, int timeoutMs) override
    {
        pollfd p{readFd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) > 0) {
            Read(session);
        }
    }

    void Drain(CollectorSession& session) override { Read(session); }

    std::vector<std::string> Describe() const override
    {
        return {"transport: FIFO '" + options_.pipePath + "', " + std::to_string(bytes_) + " bytes"};
    }

    void Shutdown() override
    {
        CloseFd(readFd_);
        CloseFd(writeFd_);
        if (created_) {
            // Only remove what is still the FIFO we made.
            struct stat st{};
            if (lstat(options_.pipePath.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && st.st_dev == device_ &&
                st.st_ino == inode_) {
                unlink(options_.pipePath.c_str());
            }
            created_ = false;
        }
    }

private:
    void Read(CollectorSession& session)
    {
        for (int round = 0; round < MaxReadsPerWake; ++round) {
            const ssize_t n = read(readFd_, buffer_, sizeof buffer_);
            if (n <= 0) {
                return;
            }
            bytes_ += static_cast<uint64_t>(n);
            session.OnStreamData(0, buffer_, static_cast<size_t>(n));
        }
    }

    CollectorOptions options_;
    int readFd_ = -1;
    int writeFd_ = -1;
    bool created_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    uint64_t bytes_ = 0;
    uint8_t buffer_[ReadChunk];
};

} // namespace

std::unique_ptr<Listener> MakeListener(const CollectorOptions& options, size_t maxConnections)
{
    switch (options.transport) {
    case Transport::Udp: return std::make_unique<UdpListener>(options);
    case Transport::Tcp: return std::make_unique<TcpListener>(options, maxConnections);
    case Transport::Pipe: return std::make_unique<PipeListener>(options);
    }
    return nullptr;
}

} // namespace QuorixCollect
