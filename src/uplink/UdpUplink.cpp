#include "uplink/UdpUplink.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include "environment/Logger.h"

namespace {

std::string ErrorText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

}  // namespace

UdpUplink::UdpUplink(uint16_t collectorPort) : UdpUplink(collectorPort, htonl(INADDR_LOOPBACK)) {}

UdpUplink::UdpUplink(uint16_t collectorPort, uint32_t addressNetworkOrder)
    : port(collectorPort), address(addressNetworkOrder) {}

UdpUplink::~UdpUplink() { Close(); }

bool UdpUplink::Connect() {
    std::call_once(socketOnce, [this] {
        destination.sin_family = AF_INET;
        destination.sin_port = htons(port);
        destination.sin_addr.s_addr = address;
        socketFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (socketFd < 0) {
            failures.Report("Unable to create the UDP socket - %s", ErrorText(errno).c_str());
            return;
        }
        // Room for bursts while the relay hands over a backlog; the kernel caps it at its maximum.
        const int sendBuffer = 4 << 20;
        setsockopt(static_cast<int>(socketFd), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
        // Connecting a datagram socket only fixes its destination: nothing is sent, and a
        // collector that is absent still costs nothing but a refused datagram now and then.
        connected = connect(static_cast<int>(socketFd), reinterpret_cast<const sockaddr*>(&destination),
                            sizeof(destination)) == 0;
        CountConnection();
    });
    return socketFd >= 0;
}

bool UdpUplink::Send(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return false;
    // One datagram through the batch path, which also knows what a refusal means.
    const MessageRun run{data, static_cast<size_t>(length), 1};
    try {
        return SendRuns(&run, 1, MonotonicNow() + 1000000000).delivered == 1;
    } catch (const std::exception& e) {
        QX_LOG(LogLevel::Error, LogArea::Unprefixed, "Exception: %s", e.what());
        return false;
    }
}

BatchResult UdpUplink::SendRuns(const MessageRun* runs, size_t runCount, int64_t deadline) {
    BatchResult result;
    const bool ready = Connect();
    mmsghdr headers[DatagramsPerCall];
    iovec vectors[DatagramsPerCall];
    size_t filled = 0;
    // The kernel takes datagrams as fast as it can, but at the end of the process that may still
    // be too slow: what is left at the deadline is given up.
    bool late = false;
    auto flush = [&] {
        if (!late && AgentUplink::MonotonicNow() > AgentUplink::EffectiveDeadline(deadline)) late = true;
        if (late) {
            result.failed += filled;
            filled = 0;
            return;
        }
        size_t done = 0;
        bool retried = false;
        while (done < filled) {
            const int sent = sendmmsg(static_cast<int>(socketFd), headers + done, static_cast<unsigned>(filled - done),
                                      MSG_NOSIGNAL);
            if (sent > 0) {
                result.delivered += static_cast<uint64_t>(sent);
                done += static_cast<size_t>(sent);
                retried = false;
                failures.Succeeded();
            } else if (sent < 0 && (errno == EINTR || (errno == ECONNREFUSED && !retried))) {
                // A refusal is the report of an earlier datagram nobody took (the collector was
                // away); it was not this one, which is tried once more.
                retried = errno == ECONNREFUSED;
                continue;
            } else {
                // The first datagram of the rest was refused: it is lost, the others still go.
                // A refusal only says that nobody listens, which is no fault of a datagram.
                if (sent < 0 && errno != ECONNREFUSED) {
                    char where[INET_ADDRSTRLEN] = "?";
                    inet_ntop(AF_INET, &destination.sin_addr, where, sizeof where);
                    failures.Report("Unable to send to the collector at %s:%u - %s", where, static_cast<unsigned>(port),
                                    ErrorText(errno).c_str());
                }
                ++result.failed;
                ++done;
            }
        }
        filled = 0;
    };
    result.failed += ForEachMessage(runs, runCount, [&](const uint8_t* message, size_t length) {
        if (!ready) {
            ++result.failed;
            return;
        }
        vectors[filled] = {const_cast<uint8_t*>(message), length};
        headers[filled] = {};
        if (!connected) {
            headers[filled].msg_hdr.msg_name = &destination;
            headers[filled].msg_hdr.msg_namelen = sizeof(destination);
        }
        headers[filled].msg_hdr.msg_iov = &vectors[filled];
        headers[filled].msg_hdr.msg_iovlen = 1;
        if (++filled == DatagramsPerCall) flush();
    });
    flush();
    return result;
}

bool UdpUplink::Close() {
    if (socketFd >= 0) {
        close(static_cast<int>(socketFd));
        socketFd = -1;
    }
    return true;
}
