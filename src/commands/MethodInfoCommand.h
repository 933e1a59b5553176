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
    void WritePayload(uint8_t* target) override;

    // The whole command for names that fit it as they are, written in place: what a hook thread
    // sends on a function's first call in every trace, with nothing copied or allocated. 0 from
    // LengthFor when the names need cutting (the command object does that).
    static size_t LengthFor(const std::string& classText, const std::string& methodText) {
        const size_t length = FixedLength + classText.size() + methodText.size();
        return length <= MaxCommandLength ? length : 0;
    }
    static void WriteAt(uint8_t* target, uint64_t pid, uint64_t tid, int64_t timestamp, uint64_t function,
                        const std::string& classText, const std::string& methodText);

    uint64_t GetFunctionId() const { return functionId; }
    const std::string& GetClassName() const { return className; }
    const std::string& GetMethodName() const { return methodName; }

private:
    uint64_t functionId;
    std::string className;
    std::string methodName;
};
