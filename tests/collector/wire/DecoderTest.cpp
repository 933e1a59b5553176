#include <gtest/gtest.h>

#include "wire/CommandDecoder.h"
#include "wire/WireFormat.h"
#include "WireBytes.h"

using namespace QuorixCollect;
using namespace CollectorTest;

namespace {

DecodeResult Decode(const Bytes& b, DecodedCommand& c) { return DecodeCommand(b.data(), b.size(), c); }

DecodedCommand DecodeOk(const Bytes& b) {
    DecodedCommand c;
    const DecodeResult r = Decode(b, c);
    EXPECT_EQ(r.status, DecodeStatus::Ok) << r.detail;
    return c;
}

}  // namespace

TEST(CommandDecoder, HeaderOfProcessStartedForPid4711) {
    const Bytes b = {0x13, 0x00, 0x09, 0x67, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    const DecodedCommand c = DecodeOk(b);
    EXPECT_EQ(c.type, 9);
    EXPECT_EQ(c.length, 19);
    EXPECT_EQ(c.pid, 4711u);
    EXPECT_EQ(c.tid, 0u);
    EXPECT_EQ(c.ts, 0x1122334455667788);
}

TEST(CommandDecoder, BodylessCommandsAreExactly19Bytes) {
    for (uint8_t type : {7, 8, 9, 10, 13, 14}) {
        DecodedCommand c;
        EXPECT_EQ(Decode(Command(type, {}, 1, 99), c).status, DecodeStatus::Ok) << int(type);
        EXPECT_EQ(c.tid, 99u);
        EXPECT_EQ(Decode(Command(type, {0}), c).status, DecodeStatus::BadBody) << int(type);
    }
}

TEST(CommandDecoder, ProcessFrequencyTypeAndVersion) {
    const Bytes freq = Command(11, {0x40, 0x42, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(DecodeOk(freq).frequency, 1000000u);

    // 11-byte version text behind ".NET ", host DOTNET_CORE, no API key: 50 bytes.
    const Bytes type = Command(12, Builder().Text16(".NET 8.0.11-rc.1").Text16("DOTNET_CORE").bytes);
    ASSERT_EQ(type.size(), 50u);
    DecodedCommand c = DecodeOk(type);
    EXPECT_EQ(c.runtime, ".NET 8.0.11-rc.1");
    EXPECT_EQ(c.host, "DOTNET_CORE");
    EXPECT_EQ(c.apiKey, "");

    const std::string key(36, 'k');
    const Bytes keyed = Command(12, Builder().Text16(".NET 8.0.11-rc.1").Text16("DOTNET_CORE").Text16(key).bytes);
    ASSERT_EQ(keyed.size(), 88u);
    EXPECT_EQ(DecodeOk(keyed).apiKey, key);

    const Bytes version = Command(104, Builder().Text16("2.3.0").bytes);
    ASSERT_EQ(version.size(), 26u);
    EXPECT_EQ(DecodeOk(version).version, "2.3.0");
}

TEST(CommandDecoder, CallCommands) {
    // Begin without arguments and instance: 32 bytes.
    Bytes begin = BeginCall(101, {}, 7, 1000, 0);
    ASSERT_EQ(begin.size(), 32u);
    DecodedCommand c = DecodeOk(begin);
    EXPECT_EQ(c.functionId, 101u);
    EXPECT_TRUE(c.args.empty());

    c = DecodeOk(BeginCall(0xFFFFFFFF, {Record(6, "count", {5, 0, 0, 0})}, 7, 1000, 0x7F0011223344));
    EXPECT_EQ(c.functionId, 0xFFFFFFFFu);
    EXPECT_EQ(c.instanceId, 0x7F0011223344u);
    ASSERT_EQ(c.args.size(), 1u);
    EXPECT_EQ(c.args[0].name, "count");
    EXPECT_EQ(c.args[0].scalarBits, 5u);

    // End without return value: 26 bytes ending with flag, 00 00.
    Bytes end = EndCall(101);
    ASSERT_EQ(end.size(), 26u);
    c = DecodeOk(end);
    EXPECT_FALSE(c.tailCall);
    EXPECT_FALSE(c.hasReturnValue);
    EXPECT_TRUE(DecodeOk(EndCall(101, 7, 2000, true)).tailCall);

    c = DecodeOk(EndCall(101, 7, 2000, false, Record(2, "", {1})));
    ASSERT_TRUE(c.hasReturnValue);
    EXPECT_EQ(c.returnValue.type, 2);
    EXPECT_EQ(c.returnValue.scalarBits, 1u);

    // Method info A.B / C: 31 bytes ending 03 00 41 2E 42 01 00 43.
    Bytes info = MethodInfo(101, "A.B", "C");
    ASSERT_EQ(info.size(), 31u);
    c = DecodeOk(info);
    EXPECT_EQ(c.className, "A.B");
    EXPECT_EQ(c.methodName, "C");

    EXPECT_EQ(DecodeOk(Exception(0xFEDCBA9876543210)).exceptionId, 0xFEDCBA9876543210u);
    EXPECT_EQ(DecodeOk(Unwind(102)).functionId, 102u);
}

TEST(CommandDecoder, ExceptionDetails) {
    // Id, type "E`1", message "no", flags: 19 + 8 + 2 + 3 + 2 + 2 + 1 = 37 bytes.
    const Bytes b = ExceptionDetails(0x7F0011223348, "E`1", "no", 2, 9, 1500);
    ASSERT_EQ(b.size(), 37u);
    EXPECT_EQ(Bytes(b.begin() + 19, b.begin() + 30), (Bytes{0x48, 0x33, 0x22, 0x11, 0, 0x7F, 0, 0, 3, 0, 'E'}));
    DecodedCommand c = DecodeOk(b);
    EXPECT_EQ(c.type, 21);
    EXPECT_EQ(c.tid, 9u);
    EXPECT_EQ(c.exceptionId, 0x7F0011223348u);
    EXPECT_EQ(c.texts[0], "E`1");
    EXPECT_EQ(c.texts[1], "no");
    EXPECT_EQ(c.shortValue, ExceptionMessageCut);

    c = DecodeOk(ExceptionDetails(1, "", "", ExceptionMessageNull));
    EXPECT_EQ(c.texts[0], "");
    EXPECT_EQ(c.shortValue, ExceptionMessageNull);
    // Flags a later agent may add are kept, not refused.
    EXPECT_EQ(DecodeOk(ExceptionDetails(1, "T", "m", 0x80)).shortValue, 0x80);

    Bytes noFlags = ExceptionDetails(1, "T", "m");
    noFlags.pop_back();
    noFlags[0] = static_cast<uint8_t>(noFlags.size());
    Bytes overlong = ExceptionDetails(1, "T", "m");
    overlong[27] = 200;  // the type's count runs past the command
    Bytes trailing = ExceptionDetails(1, "T", "m");
    trailing.push_back(0);
    trailing[0] = static_cast<uint8_t>(trailing.size());
    for (const Bytes& bad : {noFlags, overlong, trailing, ExceptionDetails(1, "T", "m", ExceptionMessageNull)}) {
        DecodedCommand d;
        EXPECT_EQ(Decode(bad, d).status, DecodeStatus::BadBody) << bad.size();
    }
}

TEST(CommandDecoder, RequestInformationCommands) {
    // HTTP with GET and an empty second text.
    Bytes http = Command(101, Builder().Text16("GET").U8(0).U16(200).U64(12345).bytes, 1, 2);
    ASSERT_EQ(http.size(), 35u);
    EXPECT_EQ(http[24], 0);
    DecodedCommand c = DecodeOk(http);
    EXPECT_EQ(c.texts[0], "GET");
    EXPECT_EQ(c.texts[1], "");
    EXPECT_EQ(c.shortValue, 200);
    EXPECT_EQ(c.longValue, 12345u);
    EXPECT_EQ(DecodeOk(Command(101, Builder().U16(0).U8(0).U16(0).U64(0).bytes)).length, 32);

    // SQL: four empty blocks are 39 bytes; a two-character text is a 7-byte block.
    Bytes empty = Command(100, Builder().U8(1).U16(0).U8(1).U16(0).U8(1).U16(0).U8(1).U16(0).U64(9).bytes);
    ASSERT_EQ(empty.size(), 39u);
    EXPECT_EQ(DecodeOk(empty).longValue, 9u);
    Bytes sql = Command(100, Builder()
                                 .U8(1)
                                 .U16(4)
                                 .Raw(Utf16(u"db"))
                                 .U8(1)
                                 .U16(6)
                                 .Raw(Utf16(u"sé\u20AC"))
                                 .U8(1)
                                 .U16(0)
                                 .U8(1)
                                 .U16(4)
                                 .Raw(Utf16(u"\U0001F600"))
                                 .U64(77)
                                 .bytes);
    c = DecodeOk(sql);
    EXPECT_EQ(c.texts[0], "db");
    EXPECT_EQ(c.texts[1], "s\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(c.texts[3], "\xF0\x9F\x98\x80");
    EXPECT_EQ(c.longValue, 77u);
}

TEST(CommandDecoder, FramingFaultsAreClassified) {
    DecodedCommand c;
    const Bytes good = MethodInfo(101, "A.B", "C");
    EXPECT_EQ(Decode(Bytes(good.begin(), good.begin() + 10), c).status, DecodeStatus::Truncated);
    EXPECT_EQ(Decode(Bytes(good.begin(), good.end() - 1), c).status, DecodeStatus::Truncated);
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_EQ(Decode(longer, c).status, DecodeStatus::LengthMismatch);

    Bytes small = Command(9);
    small[0] = 18;
    EXPECT_EQ(Decode(small, c).status, DecodeStatus::BadLength);
    small[0] = 0x00;
    small[1] = 0x80;  // negative length
    EXPECT_EQ(Decode(small, c).status, DecodeStatus::BadLength);

    for (uint8_t type : {0, 6, 15, 99, 102, 103, 105, 255}) {
        EXPECT_EQ(Decode(Command(type), c).status, DecodeStatus::UnknownType) << int(type);
    }
}

TEST(CommandDecoder, BodiesThatDoNotFitAreBad) {
    DecodedCommand c;
    const std::vector<Bytes> bad = {
        Command(3, Builder().U32(1).U16(10).Text("abc").U16(0).bytes),     // class name length past the end
        Command(3, Builder().U32(1).U16(0x8000).bytes),                    // negative text length
        Command(3, Builder().U32(1).Text16("A").Text16("B").U8(0).bytes),  // trailing byte
        Command(1, Builder().U32(1).U64(0).bytes),                         // no argument count
        Command(1, Builder().U32(1).U64(0).U8(2).Raw(Record(6, "a", {1, 0, 0, 0})).bytes),  // count 2, one record
        Command(1, Builder().U32(1).U64(0).U8(1).U16(40).U8(6).bytes),  // record longer than the command
        Command(2, Builder().U32(1).U8(0).bytes),                       // no return-value field
        Command(2, Builder().U32(1).U8(2).U16(0).bytes),                // flag neither 0 nor 1
        Command(4, Builder().U32(1).bytes),
        Command(5, {1, 2}),
        Command(11, Builder().U32(1).bytes),
        Command(12, Builder().Text16(".NET 8").bytes),  // host missing
        Command(104, Builder().U16(6).Text("2.3.0").bytes),
        Command(100, Builder().U8(2).U16(0).U8(1).U16(0).U8(1).U16(0).U8(1).U16(0).U64(0).bytes),  // marker 2
        Command(100, Builder().U8(1).U16(3).Text("abc").U8(1).U16(0).U8(1).U16(0).U8(1).U16(0).U64(0).bytes),
        Command(101, Builder().U16(0).U8(5).Text("ab").bytes),
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(Decode(bad[i], c).status, DecodeStatus::BadBody) << "case " << i;
    }
}

TEST(CommandDecoder, PlainCallPathAgreesWithTheFullDecoder) {
    const std::vector<Bytes> plain = {BeginCall(101, {}, 7, 1000, 0x7F0011223344), BeginCall(0xFFFFFFFF, {}, 0, -5),
                                      EndCall(101), EndCall(7, 9, 3000, true)};
    DecodedCommand fast;
    for (const Bytes& b : plain) {
        // A reused object that a full decode left full of fields must not leak them.
        const Bytes busy = BeginCall(3, {Record(6, "n", {1, 0, 0, 0})});
        ASSERT_EQ(DecodeCommand(busy.data(), busy.size(), fast).status, DecodeStatus::Ok);
        ASSERT_TRUE(DecodePlainCall(b.data(), b.size(), fast));
        const DecodedCommand full = DecodeOk(b);
        EXPECT_EQ(fast.type, full.type);
        EXPECT_EQ(fast.length, full.length);
        EXPECT_EQ(fast.pid, full.pid);
        EXPECT_EQ(fast.tid, full.tid);
        EXPECT_EQ(fast.ts, full.ts);
        EXPECT_EQ(fast.functionId, full.functionId);
        EXPECT_EQ(fast.instanceId, full.instanceId);
        EXPECT_EQ(fast.tailCall, full.tailCall);
        EXPECT_TRUE(fast.args.empty());
        EXPECT_FALSE(fast.hasReturnValue);
    }

    // Everything else is left to the full decoder, malformed look-alikes included.
    Bytes wrongLength = BeginCall(1);
    wrongLength[0] = 33;
    Bytes badFlag = EndCall(1);
    badFlag[23] = 2;
    Bytes countWithoutRecords = BeginCall(1);
    countWithoutRecords[31] = 1;
    for (const Bytes& b : {BeginCall(1, {Record(6, "n", {1, 0, 0, 0})}), EndCall(1, 7, 2000, false, Record(2, "", {1})),
                           wrongLength, badFlag, countWithoutRecords, Command(9), MethodInfo(1, "A", "B")}) {
        EXPECT_FALSE(DecodePlainCall(b.data(), b.size(), fast)) << b.size();
    }
}

TEST(CommandDecoder, KnownTypesTableMatchesTheNames) {
    for (int type = 0; type < 256; ++type) {
        EXPECT_EQ(IsKnownCommandType(static_cast<uint8_t>(type)),
                  CommandTypeName(static_cast<uint8_t>(type)) != nullptr)
            << type;
    }
}
