#pragma once

#include <vector>

#include "commands/CommandBase.h"
#include "commands/PayloadWriter.h"
#include "inspection/VariableInfo.h"

// A traced function was entered; monitored functions carry their captured arguments.
class BeginCallCommand : public CommandBase {
public:
    // Fixed part: header, function id, instance id, argument count.
    static constexpr size_t FixedLength = CommandHeaderLength + 4 + 8 + 1;

    BeginCallCommand(uint64_t pid, uint64_t tid, uint64_t function);

    // The records are serialised (and their values read from memory) at the first
    // GetPayloadLength or GetPayload; trailing records that would not fit are left out.
    uint8_t* GetPayload() override;
    void WritePayload(uint8_t* target) override;
    int16_t GetPayloadLength() override;

    void SetArguments(std::vector<VariableInfo> values);
    // For a caller that reuses its vectors across commands (a hook thread), so that steady-state
    // capture allocates nothing: lend the encoding buffer before the first payload call, and take
    // both vectors back, capacity intact, once the command is written.
    void LendEncodingBuffer(std::vector<uint8_t> buffer);
    void ReturnStorage(std::vector<VariableInfo>& values, std::vector<uint8_t>& buffer);
    void SetInstanceId(uint64_t instance) { instanceId = instance; }

    uint64_t GetFunctionId() const { return functionId; }
    uint64_t GetInstanceId() const { return instanceId; }
    const std::vector<VariableInfo>& GetArguments() const { return arguments; }

private:
    void EncodeArguments();

    uint64_t functionId;
    uint64_t instanceId = 0;
    std::vector<VariableInfo> arguments;
    // The argument records exactly as sent, read once so that length and payload agree.
    std::vector<uint8_t> encodedArguments;
    uint8_t encodedCount = 0;
    bool encoded = false;
};
