#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <mutex>

#include "uplink/AgentUplink.h"
#include "uplink/FailureLog.h"

// A stream to 127.0.0.1 on which messages follow one another; the collector splits them by
// their length fields, so a message is sent whole or the connection is dropped.
class TcpUplink : public AgentUplink {
public:
    explicit TcpUplink(uint16_t collectorPort);
    ~TcpUplink() override;

    TcpUplink(const TcpUplink&) = delete;
    TcpUplink& operator=(const TcpUplink&) = delete;

    bool Connect() override;
    bool Send(const uint8_t* data, int32_t length) override;
    bool Close() override;
    // A stream: messages may go out several per write.
    bool SupportsBatching() override { return true; }
    BatchResult SendRuns(const MessageRun* runs, size_t runCount, int64_t deadline) override;
    // Notices a collector that closed its end, so that the next messages go to a new one.
    bool Prepare() override;

    // Upper bounds for one connection attempt and for one message to be taken by the kernel.
    static constexpr int ConnectTimeoutMilliseconds = 1000;
    // Bytes the kernel may hold unsent beyond those on their way to the collector.
    static constexpr int UnsentBytesLimit = 128 * 1024;
    static constexpr int SendTimeoutMilliseconds = 5000;
    // After the deadline, how long a message already begun on the stream may take to finish.
    static constexpr int64_t TornMessageGraceNanoseconds = 1000000000;

private:
    bool PeerHasClosed() const;

    int64_t socketFd = -1;
    sockaddr_in destination{};
    uint16_t port;
    std::mutex connectMutex;
    FailureLog failures;  // under connectMutex
};
