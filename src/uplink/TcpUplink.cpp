#include "uplink/TcpUplink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "uplink/StreamWriter.h"

namespace {

// Connects without blocking for longer than the timeout; a refused loopback connection fails at
// once. 0 on success, else why not.
int ConnectWithin(int fd, const sockaddr_in& destination, int timeoutMilliseconds) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&destination), sizeof(destination)) == 0) return 0;
    if (errno != EINPROGRESS) return errno;

    pollfd entry{fd, POLLOUT, 0};
    int ready;
    do {
        ready = poll(&entry, 1, timeoutMilliseconds);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;

    int error = 0;
    socklen_t size = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}

std::string ErrorText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
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
    // Not past the end of the process either.
    const int64_t left = (EffectiveFinishDeadline(INT64_MAX) - MonotonicNow()) / 1000000;
    const int timeout = static_cast<int>(std::clamp<int64_t>(left, 1, ConnectTimeoutMilliseconds));
    const int error = fd < 0 ? errno : ConnectWithin(fd, destination, timeout);
    if (error != 0) {
        if (fd >= 0) close(fd);
        failures.Report("Unable to connect to the collector at 127.0.0.1:%u - %s", static_cast<unsigned>(port),
                        ErrorText(error).c_str());
        return false;
    }
    // Little may wait unsent in the kernel: a message begun behind megabytes the collector has
    // not read yet could not be finished in the time the end of the process leaves.
    const int unsent = UnsentBytesLimit;
    setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent, sizeof(unsent));
    failures.Succeeded();
    socketFd = fd;
    CountConnection();
    return true;
}

bool TcpUplink::PeerHasClosed() const {
    // The collector never writes to us, so anything readable is its end of the stream.
    char probe;
    const ssize_t result = recv(static_cast<int>(socketFd), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (result == 0) return true;
    return result < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

bool TcpUplink::Prepare() {
    // A collector that went away since the last batch is noticed before writing, so that the
    // next messages go to a restarted collector instead of into a dead connection.
    if (socketFd >= 0 && PeerHasClosed()) Close();
    return Connect();
}

bool TcpUplink::Send(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    if (!Prepare()) return false;
    const MessageRun run{data, static_cast<size_t>(length)};
    const int64_t deadline = StreamWriter::MonotonicNow() + int64_t{SendTimeoutMilliseconds} * 1000000;
    return SendRuns(&run, 1, deadline).delivered == 1;
}

BatchResult TcpUplink::SendRuns(const MessageRun* runs, size_t runCount, int64_t deadline) {
    const uint64_t total = CountMessages(runs, runCount);
    if (!Connect()) return {0, total, 0};

    // The socket stays non-blocking: a collector that stops reading holds a batch for a
    // bounded time only, however slowly its window opens.
    const StreamWriter writer(static_cast<int>(socketFd), true, 0, true);
    const StreamWriter::Outcome outcome = writer.Write(runs, runCount, deadline, TornMessageGraceNanoseconds);
    size_t bytes = 0;
    for (size_t r = 0; r < runCount; ++r) bytes += runs[r].length;
    const uint64_t delivered = outcome.bytes == bytes ? total : CountWholeMessages(runs, runCount, outcome.bytes);
    // A part of a message on the stream would misframe everything after it: start over.
    if (outcome.torn || outcome.error != 0) Close();
    const uint64_t timedOut = outcome.error == 0 && outcome.timedOut ? total - delivered : 0;
    return {delivered, total - delivered, timedOut};
}

bool TcpUplink::Close() {
    std::lock_guard<std::mutex> lock(connectMutex);
    if (socketFd >= 0) {
        close(static_cast<int>(socketFd));
        socketFd = -1;
    }
    return true;
}
