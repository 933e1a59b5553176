#include "commands/PayloadWriter.h"

#include <gtest/gtest.h>

#include <vector>

TEST(PayloadWriterTest, WritesLittleEndianAndRefusesToOverrun) {
    uint8_t buffer[8] = {};
    PayloadWriter writer(buffer, sizeof(buffer), 1);
    writer.WriteU16(0x0201);
    writer.WriteU32(0x06050403);
    EXPECT_EQ(writer.GetOffset(), 7u);
    EXPECT_THROW(writer.WriteU16(0xFFFF), std::length_error);
    EXPECT_NO_THROW(writer.WriteU8(7));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(PayloadWriterTest, Utf8CutNeverSplitsACharacter) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, e-acute, euro, emoji
    EXPECT_EQ(FitUtf8(text, 100), text);
    EXPECT_EQ(FitUtf8(text, 0), "");
    EXPECT_EQ(FitUtf8(text, 2), "a");
    EXPECT_EQ(FitUtf8(text, 3), "a\xC3\xA9");
    EXPECT_EQ(FitUtf8(text, 5), "a\xC3\xA9");
    EXPECT_EQ(FitUtf8(text, 9), "a\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(FitUtf8(text, 10), text);
}

TEST(PayloadWriterTest, Utf16UsesSurrogatePairsAboveTheBasicPlane) {
    const std::wstring text = {L'A', static_cast<wchar_t>(0x1F600), static_cast<wchar_t>(0xD800),
                               static_cast<wchar_t>(0x110000)};
    EXPECT_EQ(Utf16Units(text), 5u);

    std::vector<uint8_t> buffer(10);
    PayloadWriter writer(buffer.data(), buffer.size());
    writer.WriteUtf16(text);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0x41, 0, 0x3D, 0xD8, 0x00, 0xDE, 0xFD, 0xFF, 0xFD, 0xFF}));

    // A pair is kept whole or left out.
    EXPECT_EQ(FitUtf16(text, 2), std::wstring(1, L'A'));
    EXPECT_EQ(FitUtf16(text, 3), text.substr(0, 2));
}
