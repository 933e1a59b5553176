#include "commands/HttpRequestInformationCommand.h"

#include <memory>

#include "commands/PayloadWriter.h"
#include "inspection/SecretMasker.h"

namespace {
// Header, 2 + 1 length bytes, the 16-bit and the 64-bit number.
constexpr size_t FixedLength = CommandHeaderLength + 2 + 1 + 2 + 8;
}  // namespace

HttpRequestInformationCommand::HttpRequestInformationCommand(uint64_t pid, uint64_t tid, const std::string& first,
                                                             const std::string& second, uint16_t shortNumber,
                                                             uint64_t longNumber)
    : CommandBase(pid, tid, Calls::HttpRequestInformation),
      secondText(FitUtf8(SecretMasker::Active() ? SecretMasker::Masked(second) : second, MaxSecondTextLength)),
      shortValue(shortNumber),
      longValue(longNumber) {
    // URLs may carry user-info or keys in their query.
    firstText = FitUtf8(SecretMasker::Active() ? SecretMasker::Masked(first) : first,
                        MaxCommandLength - FixedLength - secondText.size());
}

int16_t HttpRequestInformationCommand::GetPayloadLength() {
    return static_cast<int16_t>(FixedLength + firstText.size() + secondText.size());
}

uint8_t* HttpRequestInformationCommand::GetPayload() {
    std::unique_ptr<uint8_t[]> payload(GetDefaultPayload());
    PayloadWriter writer(payload.get(), static_cast<size_t>(GetPayloadLength()), CommandHeaderLength);
    writer.WriteU16(static_cast<uint16_t>(firstText.size()));
    writer.WriteText(firstText);
    writer.WriteU8(static_cast<uint8_t>(secondText.size()));
    writer.WriteText(secondText);
    writer.WriteU16(shortValue);
    writer.WriteU64(longValue);
    return payload.release();
}
