#include "uplink/TcpUplink.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

// Connects without blocking for longer than the timeout; a refused loopback connection fails at once.
bool ConnectWithin(int fd, const sockaddr_in& destination, int timeoutMilliseconds) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&destination), sizeof(destination)) == 0) return true;
    if (errno != EINPROGRESS) return false;

    pollfd entry{fd, POLLOUT, 0};
    int ready;
    do {
        ready = poll(&entry, 1, timeoutMilliseconds);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;

    int error = 0;
    socklen_t size = sizeof(error);
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

}  // namespace

TcpUplink::TcpUplink(uint16_t collectorPort) : port(collectorPort) {
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
}

TcpUplink::~TcpUplink() { Close(); }

bool TcpUplink::Connect() {
    std::lock_guard<std::mutex> lock(connectMutex);
    if (socketFd >= 0) return true;

    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    if (!ConnectWithin(fd, destination, ConnectTimeoutMilliseconds)) {
        close(fd);
        return false;
    }
    socketFd = fd;
    return true;
}

bool TcpUplink::PeerHasClosed() const {
    // The collector never writes to us, so anything readable is its end of the stream.
    char probe;
    const ssize_t result = recv(static_cast<int>(socketFd), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (result == 0) return true;
    return result < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

bool TcpUplink::Send(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    // A collector that went away since the last message is noticed before writing, so that
    // this message goes to a restarted collector instead of into a dead connection.
    if (socketFd >= 0 && PeerHasClosed()) Close();
    if (!Connect()) return false;

    // The socket stays non-blocking: a collector that stops reading holds one message for a
    // bounded time only, however slowly its window opens.
    const int fd = static_cast<int>(socketFd);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SendTimeoutMilliseconds);
    size_t sent = 0;
    const size_t total = static_cast<size_t>(length);
    while (sent < total) {
        const ssize_t result = send(fd, data + sent, total - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (result > 0) {
            sent += static_cast<size_t>(result);
            continue;
        }
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() > 0) {
                pollfd entry{fd, POLLOUT, 0};
                poll(&entry, 1, static_cast<int>(left.count()));
                continue;
            }
        }
        // Failed or out of time: a part of the message on the stream would misframe it, so start over.
        Close();
        return false;
    }
    return true;
}

bool TcpUplink::Close() {
    std::lock_guard<std::mutex> lock(connectMutex);
    if (socketFd >= 0) {
        close(static_cast<int>(socketFd));
        socketFd = -1;
    }
    return true;
}
