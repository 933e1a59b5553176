#include "transport/ListenerParts.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace QuorixCollect {

using namespace ListenerParts;

namespace {

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
        port = BoundPort(fd);
        return true;
    }

    std::string Endpoint() const override { return std::to_string(port); }

    void Wait(ReceivedBytes& session, int timeoutMs) override {
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

    void Drain(ReceivedBytes& session, Clock::duration limit) override {
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

    void Expire(ReceivedBytes& session, Clock::time_point now) override {
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

    void Close(ReceivedBytes& session, size_t index) {
        session.OnStreamClosed(connections[index].id);
        close(connections[index].fd);
        connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(index));
    }

    void Accept(ReceivedBytes& session) {
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
    ReadResult ReadConnection(ReceivedBytes& session, size_t index) {
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

}  // namespace

std::unique_ptr<Listener> MakeTcpListener(const CollectorOptions& options) {
    return std::make_unique<TcpListener>(options);
}

}  // namespace QuorixCollect
