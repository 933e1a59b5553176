#pragma once

// What the three transports share; not for use outside transport/.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "transport/Listener.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {
namespace ListenerParts {

// Large reads: the agent writes batches of 64 KiB and more, and every read costs a system call.
inline constexpr size_t ReadChunk = 1 << 20;
// A command is at most 32767 bytes; a datagram that fills the whole slot was longer.
inline constexpr size_t DatagramSlot = MaxCommandLength + 1;
inline constexpr int DatagramBatch = 64;
// Large enough for bursts of small commands; the agent does not wait for us.
inline constexpr int UdpReceiveBuffer = 8 * 1024 * 1024;
// Work done per wake-up before looking at signals and deadlines again.
inline constexpr int MaxReadsPerWake = 64;

inline std::string SystemError(const char* what) { return std::string(what) + ": " + strerror(errno); }

inline void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

inline std::string Seconds(double s) {
    char buf[32];
    snprintf(buf, sizeof buf, "%g s", s);
    return buf;
}

// The port the kernel gave a socket bound to port 0 (or the one asked for).
inline uint16_t BoundPort(int fd) {
    sockaddr_in bound{};
    socklen_t boundLen = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLen);
    return ntohs(bound.sin_port);
}

// Sleeps in poll until `fd` is readable, then reads a bounded number of times.
template <typename Read>
void WaitAndRead(int fd, int timeoutMs, Read&& read) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) > 0) {
        for (int round = 0; round < MaxReadsPerWake && read(); ++round) {}
    }
}

}  // namespace ListenerParts

std::unique_ptr<Listener> MakeUdpListener(const CollectorOptions& options);
std::unique_ptr<Listener> MakeTcpListener(const CollectorOptions& options);
std::unique_ptr<Listener> MakePipeListener(const CollectorOptions& options);

}  // namespace QuorixCollect
