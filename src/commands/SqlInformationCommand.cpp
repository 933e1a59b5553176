#include "commands/SqlInformationCommand.h"

#include <memory>
#include <stdexcept>

#include "commands/PayloadWriter.h"
#include "inspection/SecretMasker.h"

namespace {
// Header, four blocks of marker and 16-bit length, and the 64-bit number.
constexpr size_t FixedLength = CommandHeaderLength + 4 * 3 + 8;

size_t BlockBytes(const std::wstring& text) { return 2 * Utf16Units(text); }

void WriteBlock(PayloadWriter& writer, const std::wstring& text) {
    writer.WriteU8(1);
    writer.WriteU16(static_cast<uint16_t>(BlockBytes(text)));
    writer.WriteUtf16(text);
}
}  // namespace

SqlInformationCommand::SqlInformationCommand(uint64_t pid, uint64_t tid, const std::wstring& first,
                                             const std::wstring& second, const std::wstring& third,
                                             const std::wstring& fourth, uint64_t number)
    : CommandBase(pid, tid, Calls::SqlInformation), longValue(number) {
    // Texts are cut, in order, to what is left of the 16-bit length budget.
    size_t unitsLeft = (MaxCommandLength - FixedLength) / 2;
    std::wstring* fields[] = {&text1, &text2, &text3, &text4};
    const std::wstring* sources[] = {&first, &second, &third, &fourth};
    for (int i = 0; i < 4; ++i) {
        // Connection strings travel here: their secrets are masked before anything is cut.
        *fields[i] = FitUtf16(SecretMasker::Active() ? SecretMasker::Masked(*sources[i]) : *sources[i], unitsLeft);
        unitsLeft -= Utf16Units(*fields[i]);
    }
}

const std::wstring& SqlInformationCommand::GetText(int index) const {
    switch (index) {
        case 1:
            return text1;
        case 2:
            return text2;
        case 3:
            return text3;
        case 4:
            return text4;
        default:
            throw std::out_of_range("SqlInformationCommand text index");
    }
}

int16_t SqlInformationCommand::GetPayloadLength() {
    return static_cast<int16_t>(FixedLength + BlockBytes(text1) + BlockBytes(text2) + BlockBytes(text3) +
                                BlockBytes(text4));
}

uint8_t* SqlInformationCommand::GetPayload() {
    std::unique_ptr<uint8_t[]> payload(GetDefaultPayload());
    PayloadWriter writer(payload.get(), static_cast<size_t>(GetPayloadLength()), CommandHeaderLength);
    WriteBlock(writer, text1);
    WriteBlock(writer, text2);
    WriteBlock(writer, text3);
    WriteBlock(writer, text4);
    writer.WriteU64(longValue);
    return payload.release();
}
