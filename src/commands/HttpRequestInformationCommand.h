#pragma once

#include <string>

#include "commands/CommandBase.h"

// Shared body of the incoming and outgoing HTTP request commands (both type 101, same bytes).
class HttpRequestInformationCommand : public CommandBase {
public:
    uint8_t* GetPayload() override;
    int16_t GetPayloadLength() override;

    const std::string& GetFirstText() const { return firstText; }
    const std::string& GetSecondText() const { return secondText; }
    uint16_t GetShortValue() const { return shortValue; }
    uint64_t GetLongValue() const { return longValue; }

    // The second text has a one-byte length field.
    static constexpr size_t MaxSecondTextLength = 255;

protected:
    HttpRequestInformationCommand(uint64_t pid, uint64_t tid, const std::string& first, const std::string& second,
                                  uint16_t shortNumber, uint64_t longNumber);

private:
    std::string firstText;
    std::string secondText;
    uint16_t shortValue;
    uint64_t longValue;
};
