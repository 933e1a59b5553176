#pragma once

#include "commands/CommandBase.h"
#include "commands/PayloadWriter.h"

// An exception was thrown on a thread; carries the runtime's id of the thrown object.
class ExceptionRaisedCommand : public CommandBase {
public:
    static constexpr size_t Length = CommandHeaderLength + 8;

    ExceptionRaisedCommand(uint64_t pid, uint64_t tid, uint64_t exceptionObject);

    uint8_t* GetPayload() override;
    void WritePayload(uint8_t* target) override;
    int16_t GetPayloadLength() override { return static_cast<int16_t>(Length); }

    uint64_t GetExceptionObjectId() const { return exceptionObjectId; }

private:
    uint64_t exceptionObjectId;
};
