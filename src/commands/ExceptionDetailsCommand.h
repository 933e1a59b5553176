#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "commands/CommandBase.h"
#include "commands/PayloadWriter.h"

// What a thrown exception says about itself, sent right after its ExceptionRaised on the same
// thread: the runtime's id of the object again, the full name of its class and its message, both
// UTF-8 behind a 16-bit byte count, then the flags. The message is masked and capped as every
// captured string is. The command only refers to its texts (the message where it lies in managed
// memory) and must be written before the callback that found them returns: a throw allocates
// nothing for it.
class ExceptionDetailsCommand : public CommandBase {
public:
    // Header, object id, the two byte counts and the flags.
    static constexpr size_t FixedLength = CommandHeaderLength + 8 + 2 + 2 + 1;
    // Longer class names are cut here (at a character's start); the message gets what is left.
    static constexpr size_t MaxTypeNameBytes = 1024;
    enum Flags : uint8_t {
        MessageNull = 1,  // the exception has no message at all (not an empty one)
        MessageCut = 2,   // only the start of the message is sent
    };

    // `message` null: the exception has none. Nothing is copied; see above.
    ExceptionDetailsCommand(uint64_t pid, uint64_t tid, uint64_t exceptionObject, const std::string& typeName,
                            const char16_t* message, uint32_t messageUnits);
    // A name that dies with the statement would be gone before the command is written.
    ExceptionDetailsCommand(uint64_t, uint64_t, uint64_t, std::string&&, const char16_t*, uint32_t) = delete;

    uint8_t* GetPayload() override;
    void WritePayload(uint8_t* target) override;
    int16_t GetPayloadLength() override { return static_cast<int16_t>(FixedLength + typeBytes + messageBytes); }

    uint64_t GetExceptionObjectId() const { return exceptionObjectId; }
    uint8_t GetFlags() const { return flags; }

private:
    // Writes the masked, capped message as UTF-8 at `target` (at most `maxBytes`), or only
    // counts it when null; the bytes it takes, and whether anything was left out.
    size_t EncodeMessage(uint8_t* target, size_t maxBytes, bool& cut) const;

    uint64_t exceptionObjectId;
    const char* typeName;
    size_t typeBytes;
    const char16_t* message;
    uint32_t consideredUnits = 0;  // the window of the message that is scanned and sent from
    size_t unitLimit = 0;          // of the message sent, in UTF-16 units
    size_t byteLimit = 0;          // what the command's length field leaves for the message
    size_t messageBytes = 0;
    bool masked;
    uint8_t flags = 0;
};
