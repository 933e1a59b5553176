#pragma once

#include <string>

#include "commands/CommandBase.h"

// What kind of process this is, which runtime it uses, and the API key when one is set.
class ProcessTypeCommand : public CommandBase {
public:
    ProcessTypeCommand(uint64_t pid, const std::string& hostTypeText, const std::string& runtimeVersionText,
                       const std::string& apiKeyText);

    uint8_t* GetPayload() override;
    int16_t GetPayloadLength() override;

    // Prefix of the runtime version text: ".NET " (the blank included).
    static const std::string DotNetTechnologyType;

    const std::string& GetHostType() const { return hostType; }
    const std::string& GetRuntimeVersion() const { return runtimeVersion; }
    const std::string& GetApiKey() const { return apiKey; }

private:
    std::string hostType;
    std::string runtimeVersion;
    std::string apiKey;
};
