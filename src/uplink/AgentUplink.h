#pragma once

#include <cstdint>

// A transport from the agent to the collector. Only the relay thread calls Send; every
// transport connects lazily and fails fast, so that thread never stalls for long.
class AgentUplink {
public:
    virtual bool Connect() = 0;
    // One whole message per call; false when it was not handed to the transport.
    virtual bool Send(const uint8_t* data, int32_t length) = 0;
    virtual bool Close() = 0;
    virtual bool SupportsBatching() = 0;
    virtual ~AgentUplink() = default;
};
