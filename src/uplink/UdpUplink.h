#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <mutex>

#include "uplink/AgentUplink.h"
#include "uplink/FailureLog.h"

// One datagram per message to 127.0.0.1 or the multicast group. The socket is created once;
// if that fails the transport stays dead for the process.
class UdpUplink : public AgentUplink {
public:
    explicit UdpUplink(uint16_t collectorPort);
    UdpUplink(uint16_t collectorPort, uint32_t addressNetworkOrder);
    ~UdpUplink() override;

    UdpUplink(const UdpUplink&) = delete;
    UdpUplink& operator=(const UdpUplink&) = delete;

    bool Connect() override;
    bool Send(const uint8_t* data, int32_t length) override;
    bool Close() override;
    bool SupportsBatching() override { return false; }
    // Still one datagram per message, handed to the kernel many at a time.
    BatchResult SendRuns(const MessageRun* runs, size_t runCount, int64_t deadline) override;

    static constexpr size_t DatagramsPerCall = 256;

private:
    int64_t socketFd = -1;
    sockaddr_in destination{};
    // Bound to the destination, so the kernel looks its route up once instead of per datagram.
    bool connected = false;
    uint16_t port;
    uint32_t address;
    std::once_flag socketOnce;
    FailureLog failures;
};
