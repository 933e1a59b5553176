#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CollectorOptions.h"
#include "CollectorSession.h"

namespace QuorixCollect {

// One transport's receiving end. All I/O is non-blocking; Wait() sleeps in poll at most
// `timeoutMs` and hands whatever arrived to the session.
class Listener {
public:
    virtual ~Listener() = default;
    virtual bool Open(std::string& error) = 0;
    // What to write into the ready file (the bound port, or the FIFO path).
    virtual std::string Endpoint() const = 0;
    virtual void Wait(CollectorSession& session, int timeoutMs) = 0;
    // Reads everything already queued, without waiting.
    virtual void Drain(CollectorSession& session) = 0;
    virtual std::vector<std::string> Describe() const = 0;
    virtual void Shutdown() = 0;
};

std::unique_ptr<Listener> MakeListener(const CollectorOptions& options, size_t maxConnections);

} // namespace QuorixCollect
