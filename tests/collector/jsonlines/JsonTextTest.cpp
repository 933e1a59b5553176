#include <gtest/gtest.h>

#include "jsonlines/JsonLines.h"
#include "text/TextEncoding.h"
#include "WireBytes.h"

using namespace QuorixCollect;
using namespace CollectorTest;

namespace {

std::string Escaped(const std::string& s) {
    std::string out;
    AppendJsonString(out, s);
    return out;
}

}  // namespace

TEST(JsonText, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(Escaped("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(Escaped("\n\r\t\b\f"), R"("\n\r\t\b\f")");
    EXPECT_EQ(Escaped(std::string("\x00\x01\x1f\x7f", 4)), R"("\u0000\u0001\u001f\u007f")");
    EXPECT_EQ(Escaped("/"), R"("/")");
}

TEST(JsonText, KeepsValidUtf8AndReplacesInvalid) {
    EXPECT_EQ(Escaped("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"");
    EXPECT_EQ(Escaped("a\xFFz"), R"("a\ufffdz")");
    EXPECT_EQ(Escaped("\xC3"), R"("\ufffd")");                                // cut sequence
    EXPECT_EQ(Escaped("\xC0\xAF"), R"("\ufffd\ufffd")");                      // overlong
    EXPECT_EQ(Escaped("\xED\xA0\x80"), R"("\ufffd\ufffd\ufffd")");            // encoded surrogate
    EXPECT_EQ(Escaped("\xF4\x90\x80\x80"), R"("\ufffd\ufffd\ufffd\ufffd")");  // above U+10FFFF
    for (int b = 0; b < 256; ++b) {
        const std::string s(1, static_cast<char>(b));
        ASSERT_TRUE(JsonChecker::Valid(Escaped(s + "x" + s))) << b;
    }
}

TEST(JsonText, Utf16Conversion) {
    const Bytes pair = Utf16(u"\U0001F600");
    EXPECT_EQ(Utf16LeToUtf8(pair.data(), pair.size()), "\xF0\x9F\x98\x80");
    const Bytes reversed = {0x00, 0xDC, 0x00, 0xD8};
    EXPECT_EQ(Utf16LeToUtf8(reversed.data(), reversed.size()), "\xEF\xBF\xBD\xEF\xBF\xBD");
    const Bytes odd = {'a', 0, 'b'};
    EXPECT_EQ(Utf16LeToUtf8(odd.data(), odd.size()), "a");
}

TEST(JsonText, DisplayTextIsTerminalSafe) {
    EXPECT_EQ(DisplayText("a\x1b[31mb"), "a\\x1b[31mb");
    EXPECT_EQ(DisplayText("\xC2\x9B"), "\\x9b");
    EXPECT_EQ(DisplayText("ab\xFF"), "ab\xEF\xBF\xBD");
    EXPECT_EQ(DisplayText("\xC3\xA9\xC3\xA9\xC3\xA9", 2), "\xC3\xA9\xC3\xA9...");
}

TEST(JsonText, CommandLines) {
    DecodedCommand c;
    const Bytes type = Command(12, Builder().Text16(".NET \"8\"").Text16("DOTNET_CORE").Text16("k\n").bytes, 5, 0, -1);
    ASSERT_EQ(DecodeCommand(type.data(), type.size(), c).status, DecodeStatus::Ok);
    EXPECT_EQ(
        CommandToJson(c, nullptr),
        R"({"type":12,"name":"ProcessType","pid":5,"tid":0,"ts":-1,"runtime":".NET \"8\"","host":"DOTNET_CORE","apiKey":"k\n"})");

    const Bytes http = Command(101, Builder().Text16("GET").U8(2).Text("/x").U16(200).U64(3).bytes, 5, 6, 7);
    ASSERT_EQ(DecodeCommand(http.data(), http.size(), c).status, DecodeStatus::Ok);
    EXPECT_EQ(
        CommandToJson(c, nullptr),
        R"({"type":101,"name":"HttpRequestInformation","pid":5,"tid":6,"ts":7,"firstText":"GET","secondText":"/x","shortValue":200,"longValue":3})");

    const Bytes info = MethodInfo(9, "N.\xFF", "M\"");
    ASSERT_EQ(DecodeCommand(info.data(), info.size(), c).status, DecodeStatus::Ok);
    const std::string line = CommandToJson(c, nullptr);
    EXPECT_TRUE(JsonChecker::Valid(line)) << line;
    EXPECT_NE(line.find(R"("className":"N.\ufffd","methodName":"M\"")"), std::string::npos);

    const Bytes end = EndCall(9, 7, 2000, true, Record(17, "ret"));
    ASSERT_EQ(DecodeCommand(end.data(), end.size(), c).status, DecodeStatus::Ok);
    const std::string name = "N::M";
    EXPECT_EQ(
        CommandToJson(c, &name),
        R"({"type":2,"name":"EndCall","pid":4711,"tid":7,"ts":2000,"functionId":9,"function":"N::M","tailCall":true,"returnValue":{"name":"ret","type":17,"typeName":"string","value":null}})");
}

TEST(JsonText, ExceptionDetailsLines) {
    DecodedCommand c;
    const Bytes details = ExceptionDetails(0x7F0011223348, "Shop.Refused`1", "no \"lines\"\n\xFF", 2, 6, 7);
    ASSERT_EQ(DecodeCommand(details.data(), details.size(), c).status, DecodeStatus::Ok);
    EXPECT_EQ(
        CommandToJson(c, nullptr),
        R"({"type":21,"name":"ExceptionDetails","pid":4711,"tid":6,"ts":7,"exceptionId":139638264181576,"exceptionType":"Shop.Refused`1","message":"no \"lines\"\n\ufffd","messageCut":true})");
    const Bytes none = ExceptionDetails(5, "E", "", 1, 6, 7);
    ASSERT_EQ(DecodeCommand(none.data(), none.size(), c).status, DecodeStatus::Ok);
    EXPECT_EQ(
        CommandToJson(c, nullptr),
        R"({"type":21,"name":"ExceptionDetails","pid":4711,"tid":6,"ts":7,"exceptionId":5,"exceptionType":"E","message":null,"messageCut":false})");
}

TEST(JsonText, PlainCallLinesMatchTheGeneralWriter) {
    // The shortcut for call lines must write exactly what the general writer writes.
    const std::string_view name = "Shop.Orders.OrderProcessor::Process";
    std::vector<Bytes> lines = {BeginCall(101, {}, 7, 1000, 0x7F0011223344),
                                BeginCall(0xFFFFFFFF, {}, 0xFFFFFFFF, INT64_MIN), EndCall(5, 7, 2000, true),
                                EndCall(5, 7, -2000, false)};
    // Numbers at each length where the digit writer changes its way.
    for (const int64_t v :
         {int64_t{0}, int64_t{9}, int64_t{10}, int64_t{99999999}, int64_t{100000000}, int64_t{100000001},
          int64_t{1796813865479307}, int64_t{9999999999999999}, int64_t{10000000000000000}, int64_t{10000000000000001},
          INT64_MAX, -int64_t{100000000}, -int64_t{1}}) {
        lines.push_back(BeginCall(3, {}, 7, v, static_cast<uint64_t>(v)));
        lines.push_back(EndCall(3, 7, v));
    }
    lines.push_back(BeginCall(3, {}, 7, 1, UINT64_MAX));
    for (const Bytes& b : lines) {
        DecodedCommand c;
        ASSERT_EQ(DecodeCommand(b.data(), b.size(), c).status, DecodeStatus::Ok);
        for (const std::string_view* named : {&name, static_cast<const std::string_view*>(nullptr)}) {
            std::string fast;
            std::string general;
            AppendCommandJson(fast, c, named, true);
            AppendCommandJson(general, c, named, false);
            EXPECT_EQ(fast, general);
            EXPECT_TRUE(JsonChecker::Valid(fast)) << fast;
        }
    }
    // Names that need escaping never take the shortcut.
    EXPECT_TRUE(IsJsonSafe("A.B`1::C<T>"));
    EXPECT_FALSE(IsJsonSafe("A\"B"));
    EXPECT_FALSE(IsJsonSafe("A\\B"));
    EXPECT_FALSE(IsJsonSafe("A\x01"));
    EXPECT_FALSE(IsJsonSafe("\xC3\xA9"));
}
