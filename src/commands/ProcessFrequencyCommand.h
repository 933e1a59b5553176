#pragma once

#include "commands/CommandBase.h"

// How many time-stamp ticks make a second (1000000: header time stamps are microseconds).
class ProcessFrequencyCommand : public CommandBase {
public:
    ProcessFrequencyCommand(uint64_t pid, uint64_t ticksPerSecond);

    uint8_t* GetPayload() override;
    void WritePayload(uint8_t* target) override;
    int16_t GetPayloadLength() override { return 27; }

    uint64_t GetFrequency() const { return frequency; }

private:
    uint64_t frequency;
};
