#include "commands/ProcessTypeCommand.h"

#include <memory>

#include "commands/PayloadWriter.h"

namespace {
// Header, three length fields and the technology prefix.
constexpr size_t FixedLength = CommandHeaderLength + 2 + 5 + 2 + 2;
}  // namespace

ProcessTypeCommand::ProcessTypeCommand(uint64_t pid, const std::string& hostTypeText,
                                       const std::string& runtimeVersionText, const std::string& apiKeyText)
    : CommandBase(pid, 0, Calls::ProcessType) {
    // Texts are cut so the whole command fits its 16-bit length field.
    size_t budget = MaxCommandLength - FixedLength;
    runtimeVersion = FitUtf8(runtimeVersionText, budget);
    budget -= runtimeVersion.size();
    hostType = FitUtf8(hostTypeText, budget);
    budget -= hostType.size();
    apiKey = FitUtf8(apiKeyText, budget);
}

int16_t ProcessTypeCommand::GetPayloadLength() {
    size_t length = CommandHeaderLength + 2 + DotNetTechnologyType.size() + runtimeVersion.size() + 2 + hostType.size();
    if (!apiKey.empty()) length += 2 + apiKey.size();
    return static_cast<int16_t>(length);
}

uint8_t* ProcessTypeCommand::GetPayload() {
    std::unique_ptr<uint8_t[]> payload(GetDefaultPayload());
    PayloadWriter writer(payload.get(), static_cast<size_t>(GetPayloadLength()), CommandHeaderLength);
    writer.WriteI16(static_cast<int16_t>(DotNetTechnologyType.size() + runtimeVersion.size()));
    writer.WriteBytes(DotNetTechnologyType.data(), DotNetTechnologyType.size());
    writer.WriteText(runtimeVersion);
    writer.WriteI16(static_cast<int16_t>(hostType.size()));
    writer.WriteText(hostType);
    if (!apiKey.empty()) {
        writer.WriteI16(static_cast<int16_t>(apiKey.size()));
        writer.WriteText(apiKey);
    }
    return payload.release();
}
