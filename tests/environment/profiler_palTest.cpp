#include "environment/profiler_pal.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <stdexcept>
#include <string>

namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes) { return std::string(bytes.begin(), bytes.end()); }

template <typename Function>
std::string RangeErrorOf(Function function) {
    try {
        function();
    } catch (const std::range_error& e) {
        return e.what();
    }
    return "no error";
}

TEST(ProfilerPalTest, EmptyInputsGiveEmptyResults) {
    EXPECT_EQ(W2A(u""), "");
    EXPECT_EQ(W2A(L""), "");
    EXPECT_EQ(make_u16string(L""), u"");
    EXPECT_EQ(make_wstring(u""), L"");
    EXPECT_EQ(W2A(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(W2A(static_cast<const wchar_t*>(nullptr)), "");
}

TEST(ProfilerPalTest, Utf16UnitsEncodeAtEveryLengthBoundary) {
    EXPECT_EQ(W2A(u"abc"), "abc");
    EXPECT_EQ(W2A(u"\u00E9"), Bytes({0xC3, 0xA9}));
    EXPECT_EQ(W2A(u"\u20AC"), Bytes({0xE2, 0x82, 0xAC}));
    const char16_t boundaries[] = {0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0};
    EXPECT_EQ(W2A(boundaries), Bytes({0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xED, 0x9F, 0xBF, 0xEE, 0x80,
                                      0x80, 0xEF, 0xBF, 0xBF}));
    // A byte-order mark is an ordinary character here.
    EXPECT_EQ(W2A(u"\uFEFFA"), Bytes({0xEF, 0xBB, 0xBF, 'A'}));
}

TEST(ProfilerPalTest, Utf16SurrogatesCannotBeConverted) {
    const char16_t pair[] = {0xD83D, 0xDE00, 0};
    const char16_t loneLow[] = {'a', 0xDC00, 'b', 0};
    const char16_t loneHigh[] = {'a', 0xDBFF, 0};
    for (const char16_t* text : {pair, loneLow, loneHigh}) {
        EXPECT_EQ(RangeErrorOf([text] { W2A(text); }), "wstring_convert: to_bytes error");
    }
}

TEST(ProfilerPalTest, CodePointsEncodeToUtf8) {
    EXPECT_EQ(W2A(L"abc"), "abc");
    EXPECT_EQ(W2A(L"\u00E9\u20AC"), Bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC}));
    const wchar_t emoji[] = {0x1F600, 0};
    EXPECT_EQ(W2A(emoji), Bytes({0xF0, 0x9F, 0x98, 0x80}));
    const wchar_t highest[] = {0x10FFFF, 0};
    EXPECT_EQ(W2A(highest), Bytes({0xF4, 0x8F, 0xBF, 0xBF}));
    const wchar_t tooHigh[] = {0x110000, 0};
    const wchar_t surrogate[] = {'x', 0xD800, 0};
    const wchar_t negative[] = {-1, 0};
    for (const wchar_t* text : {tooHigh, surrogate, negative}) {
        EXPECT_EQ(RangeErrorOf([text] { W2A(text); }), "wstring_convert: to_bytes error");
    }
}

TEST(ProfilerPalTest, MakeU16StringPairsAndReplaces) {
    EXPECT_EQ(make_u16string(L"abc"), u"abc");
    EXPECT_EQ(make_u16string(std::wstring(1, 0x1F600)), (std::u16string{0xD83D, 0xDE00}));
    EXPECT_EQ(make_u16string(std::wstring(1, 0x10000)), (std::u16string{0xD800, 0xDC00}));
    EXPECT_EQ(make_u16string(std::wstring(1, 0x10FFFF)), (std::u16string{0xDBFF, 0xDFFF}));
    EXPECT_EQ(make_u16string(std::wstring(1, 0xD800)), u"\uFFFD");
    EXPECT_EQ(make_u16string(std::wstring(1, 0x110000)), u"\uFFFD");
    EXPECT_EQ(make_u16string(std::wstring{L'a', static_cast<wchar_t>(-5), L'b'}), u"a\uFFFDb");
    const std::u16string result = make_u16string(std::wstring(100, L'q'));
    EXPECT_EQ(result.size(), 100u);
    EXPECT_LT(result.capacity(), 200u) << "the spare reserve is released";
}

TEST(ProfilerPalTest, MakeWStringDecodesStrictUtf16) {
    EXPECT_EQ(make_wstring(u"abc"), L"abc");
    EXPECT_EQ(make_wstring(std::u16string{0xD83D, 0xDE00}), std::wstring(1, 0x1F600));
    EXPECT_EQ(make_wstring(std::u16string{0xFEFF, 0x0041}), (std::wstring{0xFEFF, 0x41}));
    const std::wstring mixed{L'a', 0x1F600, 0x20AC, 0x10FFFF, L'z'};
    EXPECT_EQ(make_wstring(make_u16string(mixed)), mixed);
    for (const std::u16string& bad : {std::u16string{0xDC00}, std::u16string{u'a', 0xD83D},
                                      std::u16string{0xD83D, u'a'}, std::u16string{0xD83D, 0xD83D, 0xDE00}}) {
        EXPECT_EQ(RangeErrorOf([&bad] { make_wstring(bad); }), "wstring_convert: from_bytes error");
    }
}

TEST(ProfilerPalTest, LengthsCountUnitsAndLeaveTheCLibraryAlone) {
    char16_t text[] = u"h\u00E9llo";
    EXPECT_EQ(wcslen(text), 5);
    char16_t empty[] = u"";
    EXPECT_EQ(wcslen(empty), 0);
    EXPECT_EQ(linux_wcslen(u"abc"), 3u);
    EXPECT_EQ(linux_wcslen(u""), 0u);
    EXPECT_EQ(linux_wcslen(nullptr), 0u);
    const char16_t pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(linux_wcslen(pair), 2u);
    // The 16-bit overload must not capture calls on wchar_t text.
    EXPECT_EQ(::wcslen(L"four"), 4u);
    EXPECT_EQ(std::wcslen(L"three"), 5u);
    EXPECT_EQ(wcslen(L"two"), 3u);
}

}  // namespace
