#include "wire/SqlParameters.h"
#include "wire/WireFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace QuorixCollect;

namespace {

ValueRecord Scalar(const std::string& name, ValueType type, uint64_t bits) {
    ValueRecord record;
    record.name = name;
    record.type = static_cast<uint8_t>(type);
    record.hasPayload = true;
    record.scalarBits = bits;
    return record;
}

ValueRecord Text(const std::string& name, const std::string& text) {
    ValueRecord record;
    record.name = name;
    record.type = static_cast<uint8_t>(ValueType::String);
    record.hasPayload = true;
    record.text = text;
    return record;
}

ValueRecord Composite(const std::string& className, std::vector<ValueRecord> fields) {
    ValueRecord record;
    record.name = "value";
    record.type = static_cast<uint8_t>(ValueType::Struct);
    record.hasPayload = true;
    record.className = className;
    record.children = std::move(fields);
    return record;
}

std::string TextOf(const ValueRecord& value) { return SqlParameterValue(value).value; }

}  // namespace

TEST(SqlParametersTest, StructuresOfTheCoreLibraryReadAsDotNetPrintsThem) {
    const auto decimal = [](uint32_t flags, uint32_t hi, uint64_t lo) {
        return Composite("System.Decimal",
                         {Scalar("_flags", ValueType::Int32, flags), Scalar("_hi32", ValueType::UInt32, hi),
                          Scalar("_lo64", ValueType::UInt64, lo)});
    };
    EXPECT_EQ(TextOf(decimal(0, 0, 0)), "0");
    EXPECT_EQ(TextOf(decimal(3u << 16, 0, 5)), "0.005");
    EXPECT_EQ(TextOf(decimal(0x80000000u | (1u << 16), 0, 15)), "-1.5");
    EXPECT_EQ(TextOf(decimal(0x80000000u, 0, 0)), "0") << "a negative zero prints as zero";
    EXPECT_EQ(TextOf(decimal(0, 0xFFFFFFFFu, ~0ull)), "79228162514264337593543950335");
    EXPECT_EQ(TextOf(decimal(29u << 16, 0, 1)), "?") << "no decimal has that scale";

    const auto date = [](uint64_t data) {
        return Composite("System.DateTime", {Scalar("_dateData", ValueType::UInt64, data)});
    };
    EXPECT_EQ(TextOf(date(0)), "0001-01-01T00:00:00.0000000");
    EXPECT_EQ(TextOf(date(638515386150000001ull)), "2024-05-17T10:30:15.0000001");
    EXPECT_EQ(TextOf(date((1ull << 62) | 630822816000000000ull)), "2000-01-01T00:00:00.0000000Z");
    EXPECT_EQ(TextOf(date((2ull << 62) | 630822816000000000ull)), "2000-01-01T00:00:00.0000000") << "local time";

    const auto offset = [](uint64_t utc, int16_t minutes) {
        return Composite("System.DateTimeOffset",
                         {Scalar("_dateData", ValueType::UInt64, utc),
                          Scalar("_offsetMinutes", ValueType::Int16, static_cast<uint16_t>(minutes))});
    };
    EXPECT_EQ(TextOf(offset(630822816000000000ull, 90)), "2000-01-01T01:30:00.0000000+01:30");
    EXPECT_EQ(TextOf(offset(630822816000000000ull, -300)), "1999-12-31T19:00:00.0000000-05:00");

    const auto span = [](int64_t ticks) {
        return Composite("System.TimeSpan", {Scalar("_ticks", ValueType::Int64, static_cast<uint64_t>(ticks))});
    };
    EXPECT_EQ(TextOf(span(0)), "00:00:00");
    EXPECT_EQ(TextOf(span(90 * 10000000LL + 5)), "00:01:30.0000005");
    EXPECT_EQ(TextOf(span(-(2 * 86400LL + 3600) * 10000000LL)), "-2.01:00:00");

    EXPECT_EQ(
        TextOf(Composite("System.Guid", {Scalar("_a", ValueType::Int32, 0x0f8fad5b),
                                         Scalar("_b", ValueType::Int16, 0xd9cb), Scalar("_c", ValueType::Int16, 0x469f),
                                         Scalar("_dk", ValueType::UInt64, 0x0e952877867065a1ull)})),
        "0f8fad5b-d9cb-469f-a165-70867728950e");
    EXPECT_EQ(TextOf(Composite("Shop.Point", {})), "Shop.Point") << "another structure is named";
}

TEST(SqlParametersTest, ParametersComeFromTheParametersRecordInOrder) {
    ValueRecord parameters;
    parameters.name = "Parameters";
    parameters.type = static_cast<uint8_t>(ValueType::Object);
    parameters.hasPayload = true;
    parameters.children.push_back(Scalar("count", ValueType::Int32, 4));
    auto element = [](const std::string& index, std::vector<ValueRecord> fields) {
        ValueRecord record;
        record.name = index;
        record.type = static_cast<uint8_t>(ValueType::Object);
        record.hasPayload = true;
        record.children = std::move(fields);
        return record;
    };
    ValueRecord null;
    null.name = "value";
    null.type = static_cast<uint8_t>(ValueType::NullObject);
    parameters.children.push_back(element("0", {Text("name", "@id"), Scalar("value", ValueType::Int64, 7)}));
    parameters.children.push_back(element("1", {Text("name", ""), null}));
    parameters.children.push_back(element("2", {Text("name", "@odd")}));
    ValueRecord absent;
    absent.name = "3";
    absent.type = static_cast<uint8_t>(ValueType::NullObject);
    parameters.children.push_back(absent);

    DecodedCommand begin;
    begin.args.push_back(Text("value", "not these"));
    begin.args.push_back(parameters);
    const std::vector<SqlParameter> found = SqlParametersOf(begin);
    ASSERT_EQ(found.size(), 3u) << "the count and a null element are no parameters";
    EXPECT_EQ(found[0].name, "@id");
    EXPECT_EQ(found[0].value, "7");
    EXPECT_FALSE(found[0].isText);
    EXPECT_EQ(found[1].name, "");
    EXPECT_TRUE(found[1].isNull);
    EXPECT_EQ(found[1].value, "");
    EXPECT_EQ(found[2].value, "?") << "a value that did not arrive";

    EXPECT_TRUE(SqlParametersOf(DecodedCommand()).empty());
    ValueRecord broken = Scalar("value", ValueType::Int32, 1);
    broken.error = "scalar payload has the wrong size";
    EXPECT_EQ(SqlParameterValue(broken).value, "?");
}
