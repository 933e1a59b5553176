#include <gtest/gtest.h>

#include "PayloadBytes.h"
#include "commands/HttpIncomingRequestInformationCommand.h"
#include "commands/HttpOutgoingRequestInformationCommand.h"
#include "commands/SqlInformationCommand.h"
#include "environment/Configuration.h"

TEST(RequestInformationCommandsTest, HttpWithEmptyTextsIsThirtyTwoBytes) {
    HttpIncomingRequestInformationCommand command(7, 9, "", "", 0x0201, 0x0807060504030201ull);
    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(bytes[2], 101);
    EXPECT_EQ(ReadLittleEndian(bytes, 7, 4), 9u);
    EXPECT_EQ(Slice(bytes, 19, 13), Bytes({0, 0, 0, 1, 2, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(RequestInformationCommandsTest, IncomingAndOutgoingHttpShareTheLayout) {
    HttpIncomingRequestInformationCommand incoming(7, 9, "GET", "", 200, 5);
    HttpOutgoingRequestInformationCommand outgoing(7, 9, "GET", "", 200, 5);
    std::vector<uint8_t> in = Serialize(incoming);
    std::vector<uint8_t> out = Serialize(outgoing);
    ASSERT_EQ(in.size(), 35u);
    EXPECT_EQ(Slice(in, 19, 6), Bytes({0x03, 0x00, 0x47, 0x45, 0x54, 0x00}));
    // Equal apart from the time stamps.
    EXPECT_EQ(Slice(in, 0, 11), Slice(out, 0, 11));
    EXPECT_EQ(Slice(in, 19, 16), Slice(out, 19, 16));
}

TEST(RequestInformationCommandsTest, HttpTextsAreCappedByTheirLengthFields) {
    const std::string second(300, 'u');
    const std::string first(40000, 'f');
    HttpOutgoingRequestInformationCommand command(7, 9, first, second, 1, 2);
    EXPECT_EQ(command.GetSecondText().size(), 255u);
    EXPECT_EQ(command.GetPayloadLength(), 32767);

    const std::vector<uint8_t> bytes = Serialize(command);
    const size_t n1 = ReadLittleEndian(bytes, 19, 2);
    EXPECT_EQ(n1, 32767u - 32 - 255);
    EXPECT_EQ(bytes[21 + n1], 255);
    EXPECT_EQ(ReadLittleEndian(bytes, 22 + n1 + 255, 2), 1u);
    EXPECT_EQ(ReadLittleEndian(bytes, 24 + n1 + 255, 8), 2u);

    // A second text of exactly 255 bytes stays whole; a cut respects characters.
    HttpOutgoingRequestInformationCommand exact(7, 9, "", std::string(255, 'x'), 0, 0);
    EXPECT_EQ(exact.GetSecondText().size(), 255u);
    std::string accents;
    for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";
    HttpOutgoingRequestInformationCommand cut(7, 9, "", accents, 0, 0);
    EXPECT_EQ(cut.GetSecondText().size(), 254u);
}

TEST(RequestInformationCommandsTest, SqlWithEmptyTextsIsFourEmptyBlocks) {
    SqlInformationCommand command(7, 9, L"", L"", L"", L"", 0x11);
    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 39u);
    EXPECT_EQ(bytes[2], 100);
    EXPECT_EQ(Slice(bytes, 19, 12), Bytes({1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0}));
    EXPECT_EQ(ReadLittleEndian(bytes, 31, 8), 0x11u);
}

TEST(RequestInformationCommandsTest, SqlTextsAreUtf16WithSurrogatePairs) {
    const std::wstring emoji(1, static_cast<wchar_t>(0x1F600));
    SqlInformationCommand command(7, 9, L"ab", emoji, L"", L"\u00E9", 3);
    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 39u + 4 + 4 + 0 + 2);
    EXPECT_EQ(Slice(bytes, 19, 7), Bytes({0x01, 0x04, 0x00, 'a', 0, 'b', 0}));
    EXPECT_EQ(Slice(bytes, 26, 7), Bytes({0x01, 0x04, 0x00, 0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(Slice(bytes, 33, 3), Bytes({0x01, 0x00, 0x00}));
    EXPECT_EQ(Slice(bytes, 36, 5), Bytes({0x01, 0x02, 0x00, 0xE9, 0x00}));
    EXPECT_EQ(ReadLittleEndian(bytes, 41, 8), 3u);
}

TEST(RequestInformationCommandsTest, SqlTextsAreCutToFitTheLengthField) {
    const std::wstring first(6000, static_cast<wchar_t>(0x1F600));   // 12000 units
    const std::wstring third(10000, static_cast<wchar_t>(0x1F600));  // more than is left
    SqlInformationCommand command(7, 9, first, L"x", third, L"y", 0);
    EXPECT_EQ(command.GetPayloadLength(), 32767);
    EXPECT_EQ(command.GetText(1), first);
    EXPECT_EQ(command.GetText(2), L"x");
    EXPECT_EQ(command.GetText(3).size(), 2181u);  // 4362 units: the odd unit left over is not half a pair
    EXPECT_EQ(command.GetText(4), L"y");

    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(command.GetPayloadLength()));
    size_t offset = 19;
    for (int block = 0; block < 4; ++block) {
        ASSERT_EQ(bytes[offset], 1);
        const size_t length = ReadLittleEndian(bytes, offset + 1, 2);
        EXPECT_EQ(length % 4, block == 0 || block == 2 ? 0u : 2u);
        offset += 3 + length;
    }
    EXPECT_EQ(offset + 8, bytes.size());
}

TEST(RequestInformationCommandsTest, SecretsInTheirTextsAreMaskedUnlessCapturingSecretsIsOn) {
    const HttpOutgoingRequestInformationCommand http(1, 2, "https://u:p@host/a?api_key=k&x=1", "GET", 200, 5);
    EXPECT_EQ(http.GetFirstText(), "https://***@host/a?api_key=***&x=1");
    EXPECT_EQ(http.GetSecondText(), "GET");
    const SqlInformationCommand sql(1, 2, L"SELECT 1", L"Server=s;Pwd={a;b};Database=d", L"", L"", 0);
    EXPECT_EQ(sql.GetText(1), L"SELECT 1");
    EXPECT_EQ(sql.GetText(2), L"Server=s;Pwd=***;Database=d");

    Configuration* saved = g_Configuration;
    Configuration settings;
    settings.captureSecrets = true;
    g_Configuration = &settings;
    const SqlInformationCommand clear(1, 2, L"", L"Pwd=x", L"", L"", 0);
    g_Configuration = saved;
    EXPECT_EQ(clear.GetText(2), L"Pwd=x");
}
