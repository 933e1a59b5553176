#pragma once

#include <memory>
#include <vector>

#include "commands/CommandBase.h"
#include "commands/PayloadWriter.h"
#include "inspection/VariableInfo.h"

// A traced function returned (or left by a tail call); monitored functions carry the return value.
class EndCallCommand : public CommandBase {
public:
    // Fixed part: header, function id, tail-call flag.
    static constexpr size_t FixedLength = CommandHeaderLength + 4 + 1;

    EndCallCommand(uint64_t pid, uint64_t tid, uint64_t function, bool tailCall);

    // The return value is serialised at the first GetPayloadLength or GetPayload.
    uint8_t* GetPayload() override;
    void WritePayload(uint8_t* target) override;
    int16_t GetPayloadLength() override;

    // Takes ownership; a previous value is deleted.
    void SetReturnValue(VariableInfo* value);
    // For a caller that reuses its storage across commands (a hook thread): lend the encoding
    // buffer before the first payload call; once written, take it back and the return value
    // record (ownership returns to the caller; null when none was set).
    void LendEncodingBuffer(std::vector<uint8_t> buffer);
    VariableInfo* ReturnStorage(std::vector<uint8_t>& buffer);

    uint64_t GetFunctionId() const { return functionId; }
    bool IsTailCall() const { return isTailCall; }
    const VariableInfo* GetReturnValue() const { return returnValue.get(); }

private:
    void EncodeReturnValue();

    uint64_t functionId;
    bool isTailCall;
    std::unique_ptr<VariableInfo> returnValue;
    std::vector<uint8_t> encodedValue;
    bool encoded = false;
};
