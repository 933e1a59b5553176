#include <gtest/gtest.h>

#include <cstring>

#include "wire/CommandDecoder.h"
#include "jsonlines/JsonLines.h"
#include "wire/ValueRecord.h"
#include "WireBytes.h"

using namespace QuorixCollect;
using namespace CollectorTest;

namespace {

struct Decoded {
    RecordStatus status;
    ValueRecord value;
    uint32_t bad = 0;
    size_t consumed = 0;
};

Decoded DecodeRecord(const Bytes& b) {
    Decoded d;
    ByteReader r(b.data(), b.size());
    d.status = DecodeValueRecord(r, d.value, d.bad);
    d.consumed = r.Position();
    return d;
}

std::string Json(const ValueRecord& v) {
    std::string out;
    AppendValueJson(out, v);
    return out;
}

}  // namespace

TEST(ValueRecord, Int32NamedCount) {
    const Bytes b = {0x0B, 0x00, 0x06, 0x05, 0x63, 0x6F, 0x75, 0x6E, 0x74, 0x05, 0x00, 0x00, 0x00};
    Decoded d = DecodeRecord(b);
    ASSERT_EQ(d.status, RecordStatus::Ok);
    EXPECT_EQ(d.consumed, b.size());
    EXPECT_EQ(d.value.name, "count");
    EXPECT_EQ(Json(d.value), R"({"name":"count","type":6,"typeName":"int","value":5})");
    EXPECT_EQ(FormatValue(d.value), "5");
}

TEST(ValueRecord, EveryScalarType) {
    struct Case {
        uint8_t type;
        Bytes payload;
        const char* json;
        const char* text;
    };
    float f = 1.5f;
    double dbl = -0.25;
    Bytes fb(4), db(8);
    memcpy(fb.data(), &f, 4);
    memcpy(db.data(), &dbl, 8);
    const std::vector<Case> cases = {
        {2, {1}, "true", "true"},
        {2, {0}, "false", "false"},
        {3, {0xFF}, "255", "255"},
        {4, {0xFE, 0xFF}, "-2", "-2"},
        {5, {0xFE, 0xFF}, "65534", "65534"},
        {6, {0xFF, 0xFF, 0xFF, 0xFF}, "-1", "-1"},
        {7, {0xFF, 0xFF, 0xFF, 0xFF}, "4294967295", "4294967295"},
        {8, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "-2", "-2"},
        {9, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "18446744073709551615", "18446744073709551615"},
        {10, fb, "1.5", "1.5"},
        {11, db, "-0.25", "-0.25"},
    };
    for (const auto& c : cases) {
        Decoded d = DecodeRecord(Record(c.type, "v", c.payload));
        ASSERT_EQ(d.status, RecordStatus::Ok) << int(c.type);
        EXPECT_NE(Json(d.value).find(std::string("\"value\":") + c.json + "}"), std::string::npos)
            << int(c.type) << " " << Json(d.value);
        EXPECT_EQ(FormatValue(d.value), c.text) << int(c.type);
        // One byte too many or too few is a bad record, not a crash or a misread.
        Bytes longer = c.payload;
        longer.push_back(0);
        EXPECT_EQ(DecodeRecord(Record(c.type, "v", longer)).status, RecordStatus::Bad) << int(c.type);
        Bytes shorter(c.payload.begin(), c.payload.end() - 1);
        if (!shorter.empty()) {
            EXPECT_EQ(DecodeRecord(Record(c.type, "v", shorter)).status, RecordStatus::Bad) << int(c.type);
        }
    }
}

TEST(ValueRecord, NonFiniteFloatsStayValidJson) {
    const Bytes nan = {0x00, 0x00, 0xC0, 0x7F};
    const Bytes negInf = {0, 0, 0, 0, 0, 0, 0xF0, 0xFF};
    EXPECT_NE(Json(DecodeRecord(Record(10, "f", nan)).value).find("\"value\":\"NaN\""), std::string::npos);
    EXPECT_NE(Json(DecodeRecord(Record(11, "d", negInf)).value).find("\"value\":\"-Infinity\""), std::string::npos);
}

TEST(ValueRecord, Strings) {
    Decoded d = DecodeRecord(Record(12, "s", Builder().U16(6).Raw(Utf16(u"h\u00e9\n")).bytes));
    ASSERT_EQ(d.status, RecordStatus::Ok);
    EXPECT_EQ(d.value.text, "h\xC3\xA9\n");
    EXPECT_NE(Json(d.value).find(R"("value":"hé\n")"), std::string::npos);

    // A lone surrogate cannot become UTF-8: it is replaced.
    d = DecodeRecord(Record(12, "s", Builder().U16(2).U16(0xD800).bytes));
    EXPECT_EQ(d.value.text, "\xEF\xBF\xBD");

    // Empty and null strings travel header-only.
    EXPECT_EQ(Json(DecodeRecord(Record(16, "e")).value), R"({"name":"e","type":16,"typeName":"string","value":""})");
    EXPECT_EQ(Json(DecodeRecord(Record(17, "n")).value), R"({"name":"n","type":17,"typeName":"string","value":null})");
    EXPECT_EQ(DecodeRecord(Record(17, "n", {0})).status, RecordStatus::Bad);

    // A byte count that disagrees with the payload, or is odd, is bad.
    EXPECT_EQ(DecodeRecord(Record(12, "s", Builder().U16(4).Raw(Utf16(u"a")).bytes)).status, RecordStatus::Bad);
    EXPECT_EQ(DecodeRecord(Record(12, "s", Builder().U16(1).U8('a').bytes)).status, RecordStatus::Bad);
}

TEST(ValueRecord, LongStringCarriesTheFirst2048Units) {
    std::u16string text(2048, u'x');
    Bytes payload = Builder().U32(2 * 5000).Raw(Utf16(text)).bytes;
    ASSERT_EQ(payload.size(), 4100u);
    Decoded d = DecodeRecord(Record(19, "big", payload));
    ASSERT_EQ(d.status, RecordStatus::Ok);
    EXPECT_EQ(d.value.text.size(), 2048u);
    EXPECT_EQ(d.value.fullLengthUnits, 5000u);
    const std::string json = Json(d.value);
    EXPECT_NE(json.find("\"truncated\":true,\"length\":5000"), std::string::npos);
    EXPECT_EQ(FormatValue(d.value, 200).find("\"xxxx"), 0u);

    payload.pop_back();
    EXPECT_EQ(DecodeRecord(Record(19, "big", payload)).status, RecordStatus::Bad);
}

TEST(ValueRecord, StructAndObjectWithChildren) {
    const Bytes fields =
        Concat({Record(6, "Port", {0x50, 0, 0, 0}), Record(12, "Host", Builder().U16(2).Raw(Utf16(u"h")).bytes)});
    Decoded d = DecodeRecord(Record(14, "uri", Builder().Text16("System.Uri").U8(2).Raw(fields).bytes));
    ASSERT_EQ(d.status, RecordStatus::Ok);
    ASSERT_EQ(d.value.children.size(), 2u);
    EXPECT_EQ(d.value.className, "System.Uri");
    EXPECT_EQ(FormatValue(d.value), "System.Uri{Port=80, Host=\"h\"}");
    EXPECT_NE(Json(d.value).find(R"("className":"System.Uri","fields":[{"name":"Port")"), std::string::npos);

    // Nested struct inside an object.
    const Bytes inner = Record(13, "inner", Builder().Text16("?").U8(1).Raw(Record(2, "flag", {1})).bytes);
    d = DecodeRecord(Record(14, "o", Builder().Text16("C").U8(1).Raw(inner).bytes));
    ASSERT_EQ(d.status, RecordStatus::Ok);
    ASSERT_EQ(d.value.children.at(0).children.size(), 1u);
    EXPECT_EQ(d.value.children[0].children[0].scalarBits, 1u);

    // Without children the record is header-only.
    d = DecodeRecord(Record(13, "s"));
    EXPECT_EQ(d.status, RecordStatus::Ok);
    EXPECT_FALSE(d.value.hasPayload);
    EXPECT_EQ(FormatValue(d.value), "{}");
    EXPECT_EQ(Json(DecodeRecord(Record(18, "o")).value), R"({"name":"o","type":18,"typeName":"object","value":null})");
}

TEST(ValueRecord, BadChildrenAreContained) {
    // Count says 2, one child present.
    Decoded d = DecodeRecord(Record(14, "o", Builder().Text16("C").U8(2).Raw(Record(2, "a", {1})).bytes));
    EXPECT_EQ(d.status, RecordStatus::Bad);
    EXPECT_EQ(d.bad, 1u);
    EXPECT_FALSE(d.value.error.empty());

    // A child whose length runs past the parent breaks the parent only; the reader still stands
    // after the parent record.
    const Bytes broken = Builder().Text16("C").U8(1).U16(50).U8(6).U8(0).bytes;
    Bytes stream = Concat({Record(14, "o", broken), Record(6, "next", {1, 0, 0, 0})});
    ByteReader r(stream.data(), stream.size());
    ValueRecord first, second;
    uint32_t bad = 0;
    EXPECT_EQ(DecodeValueRecord(r, first, bad), RecordStatus::Bad);
    EXPECT_EQ(DecodeValueRecord(r, second, bad), RecordStatus::Ok);
    EXPECT_EQ(second.name, "next");

    // A child with a bad scalar is counted, its siblings survive.
    d = DecodeRecord(
        Record(13, "s", Builder().Text16("?").U8(2).Raw(Record(6, "x", {1})).Raw(Record(2, "y", {1})).bytes));
    EXPECT_EQ(d.status, RecordStatus::Ok);
    EXPECT_EQ(d.bad, 1u);
    EXPECT_EQ(FormatValue(d.value), "?{x=<bad value>, y=true}");
    EXPECT_NE(Json(d.value).find("\"error\""), std::string::npos);

    // Deep nesting is refused rather than recursed into without end.
    Bytes deep = Record(6, "leaf", {0, 0, 0, 0});
    for (int i = 0; i < 100; ++i) {
        deep = Record(13, "s", Builder().Text16("").U8(1).Raw(deep).bytes);
    }
    d = DecodeRecord(deep);
    EXPECT_EQ(d.status, RecordStatus::Ok);
    EXPECT_GE(d.bad, 1u);

    // A record too short for its own header, and a length beyond the bytes.
    EXPECT_EQ(DecodeRecord(Bytes{0x01, 0x00, 0x06}).status, RecordStatus::Bad);
    EXPECT_EQ(DecodeRecord(Bytes{0x05, 0x00, 0x06, 0x00}).status, RecordStatus::DoesNotFit);
    EXPECT_EQ(DecodeRecord(Bytes{0x02, 0x00, 0x06, 0x05}).status, RecordStatus::Bad);
}

TEST(ValueRecord, Arrays) {
    // byte[3]
    Decoded d = DecodeRecord(Record(15, "data", {3, 3, 10, 20, 30}));
    ASSERT_EQ(d.status, RecordStatus::Ok);
    EXPECT_EQ(d.value.elements, (Bytes{10, 20, 30}));
    EXPECT_EQ(FormatValue(d.value), "byte[3]{10,20,30}");
    EXPECT_NE(Json(d.value).find(R"("elementType":3,"value":[10,20,30])"), std::string::npos);

    // bool[2]
    d = DecodeRecord(Record(15, "flags", {2, 2, 1, 0}));
    EXPECT_NE(Json(d.value).find(R"("value":[true,false])"), std::string::npos);

    // 300 bytes: the count byte wrapped to 44, the record length still covers them all.
    Bytes big = {3, 300 & 0xFF};
    big.resize(2 + 300, 7);
    d = DecodeRecord(Record(15, "big", big));
    ASSERT_EQ(d.status, RecordStatus::Ok);
    EXPECT_EQ(d.value.elements.size(), 300u);
    EXPECT_EQ(DecodeRecord(Record(15, "bad", {3, 4, 1, 2, 3})).status, RecordStatus::Bad);

    // Array of arrays of bytes.
    const Bytes inner0 = Record(15, "0", {3, 2, 1, 2});
    const Bytes inner1 = Record(15, "1", {3, 0});
    d = DecodeRecord(Record(15, "jag", Concat({Bytes{15, 2}, inner0, inner1})));
    ASSERT_EQ(d.status, RecordStatus::Ok);
    ASSERT_EQ(d.value.children.size(), 2u);
    EXPECT_EQ(d.value.children[0].elements, (Bytes{1, 2}));
    EXPECT_EQ(FormatValue(d.value), "array[2]{byte[2]{1,2},byte[0]{}}");
    EXPECT_NE(Json(d.value).find(R"("elementType":15,"elements":[{"name":"0")"), std::string::npos);

    // Arrays of other element types carry no elements; a header-only array is fine.
    EXPECT_EQ(DecodeRecord(Record(15, "ints")).status, RecordStatus::Ok);
    EXPECT_EQ(DecodeRecord(Record(15, "ints", {6, 1, 1, 0, 0, 0})).status, RecordStatus::Bad);
}

TEST(ValueRecord, TypesWithoutPayload) {
    for (uint8_t type : {0, 1, 16, 17, 18, 20, 200}) {
        EXPECT_EQ(DecodeRecord(Record(type, "x")).status, RecordStatus::Ok) << int(type);
        EXPECT_EQ(DecodeRecord(Record(type, "x", {1, 2})).status, RecordStatus::Bad) << int(type);
    }
    // Scalars captured without data (no address) are header-only too.
    EXPECT_EQ(FormatValue(DecodeRecord(Record(6, "x")).value), "<no data>");
}

TEST(ValueRecord, BadArgumentDoesNotSpoilTheCommand) {
    const Bytes cmd = BeginCall(5, {Record(6, "a", {1, 2}), Record(12, "b", Builder().U16(2).Raw(Utf16(u"z")).bytes)});
    DecodedCommand c;
    ASSERT_EQ(DecodeCommand(cmd.data(), cmd.size(), c).status, DecodeStatus::Ok);
    EXPECT_EQ(c.badValueRecords, 1u);
    ASSERT_EQ(c.args.size(), 2u);
    EXPECT_EQ(c.args[1].text, "z");
}
