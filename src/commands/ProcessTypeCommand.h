#pragma once

#include <string>
#include <string_view>

#include "commands/CommandBase.h"

// What kind of process this is, which runtime it uses, and the API key when one is set.
class ProcessTypeCommand : public CommandBase {
public:
    ProcessTypeCommand(uint64_t pid, const std::string& hostTypeText, const std::string& runtimeVersionText,
                       const std::string& apiKeyText);

    uint8_t* GetPayload() override;
    int16_t GetPayloadLength() override;

    // Prefix of the runtime version text (the blank included). A literal, so nothing of it is
    // torn down at exit while runtime threads may still serialise.
    static constexpr std::string_view DotNetTechnologyType = ".NET ";

    const std::string& GetHostType() const { return hostType; }
    const std::string& GetRuntimeVersion() const { return runtimeVersion; }
    const std::string& GetApiKey() const { return apiKey; }

private:
    std::string hostType;
    std::string runtimeVersion;
    std::string apiKey;
};
