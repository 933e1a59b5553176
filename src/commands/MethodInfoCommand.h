#pragma once

#include <string>

#include "commands/CommandBase.h"
#include "commands/PayloadWriter.h"

// Names of a traced function, sent the first time a thread enters it.
class MethodInfoCommand : public CommandBase {
public:
    // Fixed part: header, function id, two 16-bit name lengths.
    static constexpr size_t FixedLength = CommandHeaderLength + 4 + 2 + 2;

    // Names that together would pass the command's length field are cut at a character boundary.
    MethodInfoCommand(uint64_t pid, uint64_t tid, uint64_t function, const std::string& classText,
                      const std::string& methodText);

    uint8_t* GetPayload() override;
    int16_t GetPayloadLength() override;

    uint64_t GetFunctionId() const { return functionId; }
    const std::string& GetClassName() const { return className; }
    const std::string& GetMethodName() const { return methodName; }

private:
    uint64_t functionId;
    std::string className;
    std::string methodName;
};
