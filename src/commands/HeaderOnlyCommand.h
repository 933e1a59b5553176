#pragma once

#include "commands/CommandBase.h"

// Shared shape of the commands that are nothing but the 19-byte header.
class HeaderOnlyCommand : public CommandBase {
public:
    uint8_t* GetPayload() override { return GetDefaultPayload(); }
    int16_t GetPayloadLength() override { return 19; }

protected:
    using CommandBase::CommandBase;
};
