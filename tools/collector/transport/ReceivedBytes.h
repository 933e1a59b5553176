#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace QuorixCollect {

// What a transport hands its bytes to (the session), so that transports depend on no more.
class ReceivedBytes {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~ReceivedBytes() = default;
    // Stamps around each read, for the decode rate.
    virtual void ReadStarted(Clock::time_point now) = 0;
    virtual void ReadFinished(Clock::time_point now) = 0;
    // One datagram is one command.
    virtual void OnDatagram(const uint8_t* data, size_t size) = 0;
    // A datagram larger than the receive buffer: counted, not decoded.
    virtual void OnOversizedDatagram() = 0;
    // Bytes of a stream connection (TCP or FIFO); commands may be split across calls.
    virtual void OnStreamData(uint64_t connection, const uint8_t* data, size_t size) = 0;
    virtual void OnStreamClosed(uint64_t connection) = 0;
    // Bytes of a command still incomplete on the connection.
    virtual size_t StreamPending(uint64_t connection) const = 0;
    // The rest of a partial command did not come in time: its bytes are dropped and counted.
    virtual void OnStreamTimedOut(uint64_t connection, double seconds) = 0;
};

}  // namespace QuorixCollect
