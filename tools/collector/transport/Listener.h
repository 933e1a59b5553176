#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/CollectorOptions.h"
#include "losses/LossLedger.h"
#include "transport/ReceivedBytes.h"

namespace QuorixCollect {

// One transport's receiving end. All I/O is non-blocking; Wait() sleeps in poll at most
// `timeoutMs` and hands whatever arrived to the session.
class Listener {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~Listener() = default;
    virtual bool Open(std::string& error) = 0;
    // What to write into the ready file (the bound port, or the FIFO path).
    virtual std::string Endpoint() const = 0;
    virtual void Wait(ReceivedBytes& session, int timeoutMs) = 0;
    // Reads until nothing is left queued (or `limit` has passed while data kept coming).
    virtual void Drain(ReceivedBytes& session, Clock::duration limit) = 0;
    // Closes connections and drops partial commands that saw no byte for the idle timeout.
    virtual void Expire(ReceivedBytes& session, Clock::time_point now) = 0;
    virtual std::vector<std::string> Describe() const = 0;
    // Counters of data the transport knows was lost before it could be read.
    virtual void PublishLosses(LossLedger&) const {}
    virtual void Shutdown() = 0;
};

// Bytes of I/O buffers a listener may hold on top of the session's bound.
size_t ListenerBufferBytes(const CollectorOptions& options);

std::unique_ptr<Listener> MakeListener(const CollectorOptions& options);

}  // namespace QuorixCollect
