#pragma once

#include "commands/CommandBase.h"

// The agent's version, "2.3.0".
class ProfilerVersionCommand : public CommandBase {
public:
    explicit ProfilerVersionCommand(uint64_t pid);

    uint8_t* GetPayload() override;
    int16_t GetPayloadLength() override { return static_cast<int16_t>(21 + versionLength); }

private:
    const char* version;
    int16_t versionLength;
};
