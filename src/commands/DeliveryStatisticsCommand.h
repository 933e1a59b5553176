#pragma once

#include "commands/CommandBase.h"

// What became of the agent's messages so far: how many were handed to the transport and how
// many were given up, by reason. The counts run from the start of the process.
class DeliveryStatisticsCommand : public CommandBase {
public:
    struct Counts {
        uint64_t sent = 0;
        uint64_t queueFull = 0;   // no room left in the agent's buffers or queue
        uint64_t sendFailed = 0;  // no collector, or the connection broke
        uint64_t pipeFull = 0;    // the collector did not take them in time (FIFO or socket full)
    };

    DeliveryStatisticsCommand(uint64_t pid, const Counts& counts, bool final);

    uint8_t* GetPayload() override;
    int16_t GetPayloadLength() override { return Length; }

    static constexpr int16_t Length = 19 + 1 + 4 * 8;

private:
    Counts counts;
    bool final;
};
