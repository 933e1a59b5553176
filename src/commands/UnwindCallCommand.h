#pragma once

#include "commands/CommandBase.h"
#include "commands/PayloadWriter.h"

// A frame of a traced function was unwound by an exception.
class UnwindCallCommand : public CommandBase {
public:
    static constexpr size_t Length = CommandHeaderLength + 4;

    UnwindCallCommand(uint64_t pid, uint64_t tid, uint64_t function);

    uint8_t* GetPayload() override;
    void WritePayload(uint8_t* target) override;
    int16_t GetPayloadLength() override { return static_cast<int16_t>(Length); }

    uint64_t GetFunctionId() const { return functionId; }

private:
    uint64_t functionId;
};
