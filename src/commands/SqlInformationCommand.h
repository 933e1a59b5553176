#pragma once

#include <string>

#include "commands/CommandBase.h"

// SQL information of a request: four texts, each sent as UTF-16LE, and a number.
class SqlInformationCommand : public CommandBase {
public:
    SqlInformationCommand(uint64_t pid, uint64_t tid, const std::wstring& first, const std::wstring& second,
                          const std::wstring& third, const std::wstring& fourth, uint64_t number);

    uint8_t* GetPayload() override;
    int16_t GetPayloadLength() override;

    const std::wstring& GetText(int index) const;
    uint64_t GetLongValue() const { return longValue; }

private:
    std::wstring text1;
    std::wstring text2;
    std::wstring text3;
    std::wstring text4;
    uint64_t longValue;
};
