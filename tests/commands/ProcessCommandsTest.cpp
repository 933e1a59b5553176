#include <gtest/gtest.h>

#include <memory>

#include "PayloadBytes.h"
#include "commands/DiscardTraceCommand.h"
#include "commands/ProcessEndedCommand.h"
#include "commands/ProcessFrequencyCommand.h"
#include "commands/ProcessStartedCommand.h"
#include "commands/ProcessTypeCommand.h"
#include "commands/ProfilerSamplingCommand.h"
#include "commands/ProfilerVersionCommand.h"
#include "commands/ThreadEndedCommand.h"
#include "commands/ThreadStartedCommand.h"

TEST(ProcessCommandsTest, HeaderOnlyCommandsCarryTheirTypeAndIds) {
    struct Case {
        std::unique_ptr<CommandBase> command;
        uint8_t type;
        uint32_t threadId;
    };
    Case cases[] = {
        {std::make_unique<ProcessStartedCommand>(7), 9, 0},
        {std::make_unique<ProcessEndedCommand>(7), 10, 0},
        {std::make_unique<ThreadStartedCommand>(7, 300), 7, 300},
        {std::make_unique<ThreadEndedCommand>(7, 300), 8, 300},
        {std::make_unique<DiscardTraceCommand>(7, 300), 13, 300},
        {std::make_unique<ProfilerSamplingCommand>(7, 300), 14, 300},
    };
    for (Case& c : cases) {
        const std::vector<uint8_t> bytes = Serialize(*c.command);
        ASSERT_EQ(bytes.size(), 19u);
        EXPECT_EQ(ReadLittleEndian(bytes, 0, 2), 19u);
        EXPECT_EQ(bytes[2], c.type);
        EXPECT_EQ(ReadLittleEndian(bytes, 3, 4), 7u);
        EXPECT_EQ(ReadLittleEndian(bytes, 7, 4), c.threadId);
    }
}

TEST(ProcessCommandsTest, FrequencyIsLow32BitsFollowedByFourZeroBytes) {
    ProcessFrequencyCommand command(7, 1000000);
    std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 27u);
    EXPECT_EQ(bytes[0], 27);
    EXPECT_EQ(bytes[2], 11);
    EXPECT_EQ(ReadLittleEndian(bytes, 7, 4), 0u);
    EXPECT_EQ(Slice(bytes, 19, 8), Bytes({0x40, 0x42, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00}));

    ProcessFrequencyCommand large(7, 0x1234567800000010ull);
    bytes = Serialize(large);
    EXPECT_EQ(Slice(bytes, 19, 8), Bytes({0x10, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ProcessCommandsTest, ProcessTypeWithoutApiKeyHasTwoTexts) {
    ProcessTypeCommand command(7, "DOTNET_CORE", "8.0.1 Linux", "");
    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 50u);
    EXPECT_EQ(ReadLittleEndian(bytes, 0, 2), 50u);
    EXPECT_EQ(bytes[2], 12);
    EXPECT_EQ(Slice(bytes, 19, 2), Bytes({16, 0}));
    EXPECT_EQ(Slice(bytes, 21, 16), Bytes(".NET 8.0.1 Linux"));
    EXPECT_EQ(Slice(bytes, 37, 2), Bytes({11, 0}));
    EXPECT_EQ(Slice(bytes, 39, 11), Bytes("DOTNET_CORE"));
}

TEST(ProcessCommandsTest, ProcessTypeWithApiKeyEndsWithTheKey) {
    const std::string key = "0123456789abcdef0123456789abcdef0123";
    ProcessTypeCommand command(7, "DOTNET_CORE", "8.0.1 Linux", key);
    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 88u);
    EXPECT_EQ(Slice(bytes, 50, 2), Bytes({0x24, 0x00}));
    EXPECT_EQ(Slice(bytes, 52, 36), Bytes(key));
}

TEST(ProcessCommandsTest, ProcessTypeTextsAreCutToFitTheLengthField) {
    // Multi-byte characters everywhere, so a careless cut would leave a broken sequence.
    std::string huge;
    for (int i = 0; i < 20000; ++i) huge += "\xE2\x82\xAC";
    ProcessTypeCommand command(7, huge, huge, huge);

    const int16_t length = command.GetPayloadLength();
    EXPECT_GT(length, 32700);
    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(length));
    EXPECT_EQ(ReadLittleEndian(bytes, 0, 2), static_cast<uint64_t>(length));
    EXPECT_EQ(command.GetRuntimeVersion().size() % 3, 0u);
    EXPECT_EQ(command.GetHostType().size() % 3, 0u);
    EXPECT_EQ(command.GetApiKey().size() % 3, 0u);

    // Walk the length fields: they must describe exactly the bytes that are there.
    size_t offset = 19;
    while (offset < bytes.size()) offset += 2 + ReadLittleEndian(bytes, offset, 2);
    EXPECT_EQ(offset, bytes.size());
}

TEST(ProcessCommandsTest, ProfilerVersionCarriesTheAgentVersion) {
    ProfilerVersionCommand command(7);
    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 26u);
    EXPECT_EQ(bytes[2], 104);
    EXPECT_EQ(Slice(bytes, 19, 7), Bytes({0x05, 0x00, '2', '.', '3', '.', '0'}));
}
