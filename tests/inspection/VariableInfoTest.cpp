#include "inspection/VariableInfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "inspection/FakeManagedHeap.h"
#include "inspection/RecordReader.h"

using namespace Variables;

namespace {

std::vector<uint8_t> RecordOf(const VariableInfo& record) {
    const uint32_t length = record.GetByteLength();
    std::unique_ptr<uint8_t[]> bytes(record.ToBytes());
    return std::vector<uint8_t>(bytes.get(), bytes.get() + length + 2);
}

std::vector<uint8_t> B(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int value : values) bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

// Parses one argument whose signature is `signature`, from a slot of `size` bytes.
VariableInfo ParseOne(const std::string& name, const std::vector<uint8_t>& signature, const void* slot, uint32_t size) {
    SignatureCursor cursor(signature.data(), signature.size());
    return VariableInfo::Parse(name, cursor, slot, size);
}

VariableInfo Scalar(const std::string& name, VariableType type, const void* address) {
    VariableInfo record;
    record.SetName(name);
    record.SetType(type);
    record.AddValue(address);
    return record;
}

}  // namespace

TEST(VariableInfoTest, Int32ArgumentRecordIsByteExact) {
    int32_t value = 5;
    const VariableInfo record = ParseOne("count", {ELEMENT_TYPE_I4}, &value, 4);
    EXPECT_EQ(record.GetType(), Int32);
    EXPECT_EQ(RecordOf(record), B({0x0B, 0x00, 0x06, 0x05, 0x63, 0x6F, 0x75, 0x6E, 0x74, 0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(record.GetByteLength(), 11u);
    EXPECT_EQ(record.ToString(), "int count = 5");
}

TEST(VariableInfoTest, ScalarsAreReadWithTheirWidthAtSerialisation) {
    uint64_t slot = 0x1122334455667788ull;
    struct Case {
        CorElementType element;
        VariableType type;
        size_t width;
    };
    // Characters travel as their low byte and native integers as 4 bytes.
    const Case cases[] = {{ELEMENT_TYPE_BOOLEAN, Boolean, 1}, {ELEMENT_TYPE_CHAR, Byte, 1},
                          {ELEMENT_TYPE_U2, UInt16, 2},       {ELEMENT_TYPE_I, Int32, 4},
                          {ELEMENT_TYPE_R4, Single, 4},       {ELEMENT_TYPE_U8, UInt64, 8}};
    for (const Case& c : cases) {
        const VariableInfo record = ParseOne("v", {static_cast<uint8_t>(c.element)}, &slot, 8);
        ASSERT_EQ(record.GetType(), c.type) << c.element;
        const std::vector<uint8_t> bytes = RecordOf(record);
        ASSERT_EQ(bytes.size(), 5 + c.width) << c.element;
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 5, bytes.end()),
                  std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&slot), reinterpret_cast<uint8_t*>(&slot) + c.width));
    }
    // Read when serialised, not when captured.
    const VariableInfo record = ParseOne("v", {ELEMENT_TYPE_I8}, &slot, 8);
    slot = 7;
    EXPECT_EQ(RecordOf(record).back(), 0);
    EXPECT_EQ(RecordOf(record)[5], 7);
    EXPECT_EQ(record.ToString(), "long v = 7");
}

TEST(VariableInfoTest, SmallStructsAndBytesFollowTheReportedSize) {
    uint32_t slot = 0x01020304;
    // A byte whose slot is reported as 4 bytes travels as a 4-byte Int32.
    VariableInfo record = ParseOne("b", {ELEMENT_TYPE_U1}, &slot, 4);
    EXPECT_EQ(record.GetType(), Int32);
    EXPECT_EQ(RecordOf(record), B({0x07, 0x00, 0x06, 0x01, 'b', 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(ParseOne("b", {ELEMENT_TYPE_U1}, &slot, 8).GetType(), Byte);

    // Value types: 2 bytes become Int16, other sizes a header-only struct; the type token is
    // consumed either way, so the next argument is read from the right place.
    const std::vector<uint8_t> signature = {ELEMENT_TYPE_VALUETYPE, 0x81, 0x02, ELEMENT_TYPE_I4};
    for (uint32_t size : {2u, 16u}) {
        SignatureCursor cursor(signature.data(), signature.size());
        record = VariableInfo::Parse("s", cursor, &slot, size);
        EXPECT_EQ(cursor.GetOffset(), 3u);
        const VariableInfo next = VariableInfo::Parse("n", cursor, &slot, 4);
        EXPECT_EQ(next.GetType(), Int32);
        if (size == 2) {
            EXPECT_EQ(record.GetType(), Int16);
            EXPECT_EQ(RecordOf(record), B({0x05, 0x00, 0x04, 0x01, 's', 0x04, 0x03}));
        } else {
            EXPECT_EQ(record.GetType(), Struct);
            EXPECT_EQ(record.GetClassName(), "?");
            EXPECT_EQ(RecordOf(record), B({0x03, 0x00, 13, 0x01, 's'}));
        }
    }
}

TEST(VariableInfoTest, StringsCarryTheirUtf16Text) {
    FakeManagedHeap heap;
    uintptr_t slot = heap.NewString(u"h\u00e9");
    VariableInfo record = ParseOne("s", {ELEMENT_TYPE_STRING}, &slot, 8);
    EXPECT_EQ(record.GetType(), String);
    EXPECT_EQ(RecordOf(record), B({0x09, 0x00, 12, 0x01, 's', 0x04, 0x00, 'h', 0x00, 0xE9, 0x00}));
    EXPECT_EQ(record.ToString(), "string s = h\xE9");

    // The length comes from the string's header: an embedded zero does not end it.
    slot = heap.NewString(std::u16string(u"a\0b", 3));
    EXPECT_EQ(DecodeRecord(RecordOf(ParseOne("s", {ELEMENT_TYPE_STRING}, &slot, 8))).stringBytes, 6u);

    slot = heap.NewString(u"");
    record = ParseOne("e", {ELEMENT_TYPE_STRING}, &slot, 8);
    EXPECT_EQ(record.GetType(), EmptyString);
    EXPECT_EQ(RecordOf(record), B({0x03, 0x00, 16, 0x01, 'e'}));
    EXPECT_EQ(record.ToString(), "string e = <empty>");

    for (uintptr_t nullReference : {uintptr_t{0}, uintptr_t{0xFFFFFFFF}}) {
        slot = nullReference;
        record = ParseOne("n", {ELEMENT_TYPE_STRING}, &slot, 8);
        EXPECT_EQ(record.GetType(), NullString);
        EXPECT_EQ(RecordOf(record), B({0x03, 0x00, 17, 0x01, 'n'}));
        EXPECT_EQ(record.ToString(), "string n = <null>");
    }
}

TEST(VariableInfoTest, StringsAbove4096UnitsAreSentAsLongStrings) {
    FakeManagedHeap heap;
    std::u16string text(4096, u'x');
    uintptr_t slot = heap.NewString(text);
    VariableInfo record = ParseOne("s", {ELEMENT_TYPE_STRING}, &slot, 8);
    EXPECT_EQ(record.GetType(), String);
    EXPECT_EQ(record.GetByteLength(), 2u + 1 + 2 + 8192);

    text.push_back(u'y');
    slot = heap.NewString(text);
    record = ParseOne("s", {ELEMENT_TYPE_STRING}, &slot, 8);
    EXPECT_EQ(record.GetType(), LongString);
    const std::vector<uint8_t> bytes = RecordOf(record);
    ASSERT_EQ(bytes.size(), 2u + 2 + 1 + 4 + 4096);
    const DecodedRecord decoded = DecodeRecord(bytes);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.type, LongString);
    EXPECT_EQ(decoded.stringBytes, 2u * 4097);
    EXPECT_EQ(decoded.payload[4], 'x');

    // A record typed String by the capturer is still bounded when the string is long.
    VariableInfo field = Scalar("f", String, reinterpret_cast<const void*>(slot + FakeManagedHeap::BufferOffset));
    EXPECT_EQ(DecodeRecord(RecordOf(field)).type, LongString);
}

TEST(VariableInfoTest, StringContentsNeedTheRuntimesLayoutAndASaneLength) {
    {
        FakeManagedHeap heap(/*knowsStringLayout=*/false);
        uintptr_t slot = heap.NewString(u"abc");
        const VariableInfo record = ParseOne("s", {ELEMENT_TYPE_STRING}, &slot, 8);
        EXPECT_EQ(record.GetType(), String);
        EXPECT_TRUE(record.GetValues().empty());
        EXPECT_EQ(RecordOf(record), B({0x03, 0x00, 12, 0x01, 's'}));
    }
    FakeManagedHeap heap;
    for (int32_t claimed : {-1, 0x7FFFFFFF}) {
        uintptr_t slot = heap.NewString(u"abc", claimed);
        const VariableInfo record = ParseOne("s", {ELEMENT_TYPE_STRING}, &slot, 8);
        EXPECT_EQ(record.GetType(), Unknown);
        EXPECT_EQ(RecordOf(record), B({0x03, 0x00, 0, 0x01, 's'}));
    }
    // A string field whose header turns out to be garbage at serialisation is sent as unknown.
    const uintptr_t broken = heap.NewString(u"abc", -5);
    VariableInfo field = Scalar("f", String, reinterpret_cast<const void*>(broken + FakeManagedHeap::BufferOffset));
    EXPECT_EQ(RecordOf(field), B({0x03, 0x00, 0, 0x01, 'f'}));
}

TEST(VariableInfoTest, NamesAreCutTo200BytesOnACharacterBoundary) {
    int32_t value = 1;
    VariableInfo record = Scalar(std::string(250, 'n'), Int32, &value);
    std::vector<uint8_t> bytes = RecordOf(record);
    ASSERT_EQ(bytes.size(), 2u + 2 + 200 + 4);
    EXPECT_EQ(bytes[3], 200);
    EXPECT_EQ(ReadLE(bytes, 0, 2), 206u);

    record.SetName(std::string(199, 'n') + "\xC3\xA9");
    bytes = RecordOf(record);
    EXPECT_EQ(bytes[3], 199);
    EXPECT_EQ(record.GetName().size(), 201u);  // only the record is cut
}

TEST(VariableInfoTest, StructsAndObjectsCarryClassNameAndChildren) {
    FakeManagedHeap heap;
    int32_t port = 80;
    const uintptr_t host = heap.NewString(u"h");
    VariableInfo uri;
    uri.SetName("uri");
    uri.SetType(Object);
    uri.SetClassName("System.Uri");
    uri.AddValue(new VariableInfo(Scalar("Port", Int32, &port)));
    uri.AddValue(new VariableInfo(Scalar("Host", String, reinterpret_cast<const void*>(host + 12))));

    const std::vector<uint8_t> expected = B({
        0x2A, 0x00, 14,  0x03, 'u', 'r', 'i',                                     // header
        0x0A, 0x00, 'S', 'y',  's', 't', 'e', 'm', '.',  'U',  'r',  'i',  0x02,  // class name, count
        0x0A, 0x00, 6,   0x04, 'P', 'o', 'r', 't', 0x50, 0x00, 0x00, 0x00,        // Port = 80
        0x0A, 0x00, 12,  0x04, 'H', 'o', 's', 't', 0x02, 0x00, 'h',  0x00,        // Host = "h"
    });
    EXPECT_EQ(RecordOf(uri), expected);
    EXPECT_EQ(uri.GetTypeString(), "System.Uri");
    EXPECT_EQ(uri.ToString(), "System.Uri uri = {int Port = 80, string Host = h}");

    // Without children neither class name nor count is sent.
    VariableInfo empty;
    empty.SetName("o");
    empty.SetType(Struct);
    empty.SetClassName("Point");
    EXPECT_EQ(RecordOf(empty), B({0x03, 0x00, 13, 0x01, 'o'}));
}

TEST(VariableInfoTest, EntriesAreCappedAt255AndRecordsAt32767Bytes) {
    uint8_t byte = 9;
    VariableInfo object;
    object.SetName("o");
    object.SetType(Object);
    for (int i = 0; i < 300; ++i) object.AddValue(new VariableInfo(Scalar("b", Byte, &byte)));
    EXPECT_EQ(object.GetChildren().size(), 255u);
    DecodedRecord decoded = DecodeRecord(RecordOf(object));
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.children.size(), 255u);

    VariableInfo bytes;
    bytes.SetName("a");
    bytes.SetType(Array);
    bytes.AddTypeArgument(Byte);
    for (int i = 0; i < 4096; ++i) bytes.AddValue(&byte);
    EXPECT_EQ(bytes.GetValues().size(), 255u);
    decoded = DecodeRecord(RecordOf(bytes));
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.declaredCount, 255u);

    // Ten long strings cannot share one record: trailing children are dropped, never wrapped.
    FakeManagedHeap heap;
    const uintptr_t text = heap.NewString(std::u16string(5000, u'z'));
    VariableInfo big;
    big.SetName("big");
    big.SetType(Struct);
    big.SetClassName("C");
    for (int i = 0; i < 10; ++i)
        big.AddValue(new VariableInfo(Scalar("s", String, reinterpret_cast<const void*>(text + 12))));
    const std::vector<uint8_t> record = RecordOf(big);
    decoded = DecodeRecord(record);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.children.size(), 7u);  // 7 children of 4105 bytes fit, 8 do not
    EXPECT_LE(record.size(), VariableInfo::MaxRecordBytes);

    // A budget too small for a record's payload drops the record instead of overrunning.
    std::vector<uint8_t> out = {0xAA};
    int64_t wide = 1;
    EXPECT_FALSE(Scalar("w", Int64, &wide).AppendRecord(out, 12));
    EXPECT_EQ(out.size(), 1u);
    EXPECT_TRUE(Scalar("w", Int64, &wide).AppendRecord(out, 13));
    EXPECT_EQ(out.size(), 14u);
}

TEST(VariableInfoTest, DeepNestingIsCutBeforeTheCollectorsLimit) {
    uint8_t byte = 1;
    auto* innermost = new VariableInfo(Scalar("leaf", Byte, &byte));
    VariableInfo* current = innermost;
    for (int i = 0; i < 40; ++i) {
        auto* parent = new VariableInfo();
        parent->SetName("n");
        parent->SetType(Object);
        parent->AddValue(current);
        current = parent;
    }
    std::unique_ptr<VariableInfo> root(current);
    const std::vector<uint8_t> bytes = RecordOf(*root);
    DecodedRecord decoded = DecodeRecord(bytes);
    ASSERT_TRUE(decoded.ok);
    int depth = 0;
    for (const DecodedRecord* at = &decoded; !at->children.empty(); at = &at->children[0]) ++depth;
    EXPECT_EQ(depth, 32);
    EXPECT_FALSE(root->ToString().empty());
}

TEST(VariableInfoTest, CopiesOwnTheirChildren) {
    uint8_t byte = 3;
    auto original = std::make_unique<VariableInfo>();
    original->SetName("o");
    original->SetType(Object);
    original->SetClassName("C");
    original->AddValue(new VariableInfo(Scalar("b", Byte, &byte)));
    original->AddValue(original.get());  // a record cannot contain itself
    original->AddValue(static_cast<VariableInfo*>(nullptr));
    ASSERT_EQ(original->GetChildren().size(), 1u);

    VariableInfo copy(*original);
    VariableInfo assigned;
    assigned = *original;
    EXPECT_NE(copy.GetChildren()[0], original->GetChildren()[0]);
    const std::vector<uint8_t> before = RecordOf(*original);
    original.reset();
    EXPECT_EQ(RecordOf(copy), before);
    EXPECT_EQ(RecordOf(assigned), before);

    VariableInfo moved(std::move(copy));
    EXPECT_EQ(RecordOf(moved), before);
    std::vector<VariableInfo> list(3, moved);
    list.erase(list.begin());
    EXPECT_EQ(RecordOf(list[1]), before);
}

TEST(VariableInfoTest, ArraysOfBytesAreReadThroughTheRuntime) {
    FakeManagedHeap heap;
    uintptr_t slot = heap.NewByteArray(16, 0x10);
    const std::vector<uint8_t> signature = {ELEMENT_TYPE_SZARRAY, ELEMENT_TYPE_U1, ELEMENT_TYPE_BOOLEAN};
    SignatureCursor cursor(signature.data(), signature.size());
    VariableInfo record = VariableInfo::Parse("data", cursor, &slot, 8);
    EXPECT_EQ(cursor.GetOffset(), 2u);
    EXPECT_EQ(record.GetType(), Array);
    EXPECT_EQ(record.GetTypeString(), "byte[16]");
    std::vector<uint8_t> bytes = RecordOf(record);
    ASSERT_EQ(bytes.size(), 2u + 2 + 4 + 2 + 16);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 8, bytes.begin() + 12), B({3, 16, 0x10, 0x11}));
    EXPECT_EQ(bytes.back(), 0x1F);

    // Only 255 of a large array are kept.
    slot = heap.NewByteArray(100000);
    record = ParseOne("big", signature, &slot, 8);
    EXPECT_EQ(record.GetValues().size(), 255u);
    EXPECT_TRUE(DecodeRecord(RecordOf(record)).ok);

    slot = 0;
    record = ParseOne("none", signature, &slot, 8);
    EXPECT_EQ(record.GetType(), NullObject);
    EXPECT_EQ(RecordOf(record), B({0x06, 0x00, 18, 0x04, 'n', 'o', 'n', 'e'}));

    // Arrays of other elements keep only their element type.
    slot = heap.NewByteArray(4);
    record = ParseOne("ints", {ELEMENT_TYPE_SZARRAY, ELEMENT_TYPE_I4}, &slot, 8);
    EXPECT_EQ(record.GetTypeArguments(), std::vector<VariableType>{Int32});
    EXPECT_EQ(RecordOf(record), B({0x06, 0x00, 15, 0x04, 'i', 'n', 't', 's'}));

    FakeManagedHeap refusing(true, /*offersArrays=*/false);
    slot = refusing.NewByteArray(4);
    record = ParseOne("a", signature, &slot, 8);
    EXPECT_TRUE(record.GetValues().empty());
    EXPECT_EQ(record.GetTypeString(), "byte[0]");
}

TEST(VariableInfoTest, ArraysOfByteArraysBecomeChildRecords) {
    FakeManagedHeap heap;
    const uintptr_t first = heap.NewByteArray(3, 1);
    const uintptr_t large = heap.NewByteArray(5000);
    uintptr_t slot = heap.NewReferenceArray({first, 0, large});
    const std::vector<uint8_t> signature = {ELEMENT_TYPE_SZARRAY, ELEMENT_TYPE_SZARRAY, ELEMENT_TYPE_U1};
    SignatureCursor cursor(signature.data(), signature.size());
    const VariableInfo record = VariableInfo::Parse("rows", cursor, &slot, 8);
    EXPECT_EQ(cursor.Remaining(), 0u);
    ASSERT_EQ(record.GetChildren().size(), 3u);
    EXPECT_EQ(record.GetChildren()[1]->GetType(), NullObject);
    EXPECT_EQ(record.GetChildren()[2]->GetValues().size(), 255u);
    EXPECT_EQ(record.ToString(), "array[3] rows = [<array>, <array>, <array>]");

    const DecodedRecord decoded = DecodeRecord(RecordOf(record));
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.elementType, Array);
    ASSERT_EQ(decoded.children.size(), 3u);
    EXPECT_EQ(decoded.children[0].name, "0");
    EXPECT_EQ(decoded.children[0].payload, B({3, 3, 1, 2, 3}));
    EXPECT_EQ(decoded.children[1].type, NullObject);
    EXPECT_EQ(decoded.children[2].declaredCount, 255u);
}

TEST(VariableInfoTest, BadInputGivesUnknownRecordsAndKeepsTheCursorAligned) {
    int64_t slot = 0;
    // No cursor at all: the default record.
    SignatureCursor none;
    VariableInfo record = VariableInfo::Parse("x", none, &slot, 8);
    EXPECT_EQ(record.GetType(), Void);
    EXPECT_EQ(record.GetName(), "");

    // Nothing readable, or fewer bytes than the type needs.
    EXPECT_EQ(ParseOne("x", {ELEMENT_TYPE_I4}, nullptr, 4).GetType(), Unknown);
    EXPECT_EQ(ParseOne("x", {ELEMENT_TYPE_I8}, &slot, 4).GetType(), Unknown);
    EXPECT_EQ(ParseOne("x", {ELEMENT_TYPE_STRING}, &slot, 4).GetType(), Unknown);
    EXPECT_EQ(ParseOne("x", {ELEMENT_TYPE_CLASS, 0x08}, reinterpret_cast<void*>(0x10), 8).GetType(), Unknown);
    uintptr_t wild = 0x20;
    EXPECT_EQ(ParseOne("x", {ELEMENT_TYPE_STRING}, &wild, 8).GetType(), Unknown);

    // Truncated or invalid signatures.
    EXPECT_EQ(ParseOne("x", {ELEMENT_TYPE_CLASS}, &slot, 8).GetType(), Unknown);
    EXPECT_EQ(ParseOne("x", {0xC0, 0x00}, &slot, 8).GetType(), Unknown);
    EXPECT_EQ(ParseOne("x", {ELEMENT_TYPE_GENERICINST, ELEMENT_TYPE_I4}, &slot, 8).GetType(), Unknown);
    EXPECT_EQ(
        ParseOne("x", {ELEMENT_TYPE_GENERICINST, ELEMENT_TYPE_CLASS, 0x08, 0x02, ELEMENT_TYPE_I4}, &slot, 8).GetType(),
        Unknown);

    // Unsupported types are unknown, and consumed whole.
    const std::vector<uint8_t> signature = {ELEMENT_TYPE_BYREF, ELEMENT_TYPE_I4,  ELEMENT_TYPE_PTR,
                                            ELEMENT_TYPE_VOID,  ELEMENT_TYPE_VAR, 0x01,
                                            ELEMENT_TYPE_I4};
    SignatureCursor cursor(signature.data(), signature.size());
    for (int i = 0; i < 3; ++i) {
        record = VariableInfo::Parse("u", cursor, &slot, 8);
        EXPECT_EQ(record.GetType(), Unknown);
        EXPECT_EQ(RecordOf(record), B({0x03, 0x00, 0, 0x01, 'u'}));
    }
    EXPECT_EQ(VariableInfo::Parse("n", cursor, &slot, 8).GetType(), Int32);

    // A record of a type byte outside the table carries no payload.
    VariableInfo odd = Scalar("q", static_cast<VariableType>(0x1FF), &slot);
    EXPECT_EQ(RecordOf(odd), B({0x03, 0x00, 0xFF, 0x01, 'q'}));
    EXPECT_EQ(odd.ToString(), "unknown q = <no data>");
}

TEST(VariableInfoTest, ClassesAndGenericInstancesConsumeTheirEncoding) {
    FakeManagedHeap heap;
    uintptr_t object = heap.NewByteArray(1);
    uintptr_t null = 0;
    // List<int> x, List<int> y (null), string z
    const std::vector<uint8_t> signature = {
        ELEMENT_TYPE_GENERICINST,
        ELEMENT_TYPE_CLASS,
        0x85,
        0x01,
        0x01,
        ELEMENT_TYPE_I4,
        ELEMENT_TYPE_GENERICINST,
        ELEMENT_TYPE_CLASS,
        0x85,
        0x01,
        0x01,
        ELEMENT_TYPE_I4,
        ELEMENT_TYPE_CLASS,
        0x09,
        ELEMENT_TYPE_OBJECT,
    };
    SignatureCursor cursor(signature.data(), signature.size());
    VariableInfo record = VariableInfo::Parse("x", cursor, &object, 8);
    EXPECT_EQ(record.GetType(), Object);
    EXPECT_EQ(record.GetClassName(), "?");
    EXPECT_EQ(RecordOf(record), B({0x03, 0x00, 14, 0x01, 'x'}));
    EXPECT_EQ(cursor.GetOffset(), 6u);

    record = VariableInfo::Parse("y", cursor, &null, 8);
    EXPECT_EQ(record.GetType(), NullObject);
    EXPECT_EQ(record.ToString(), "? y = <null>");
    record = VariableInfo::Parse("z", cursor, &null, 8);
    EXPECT_EQ(record.GetType(), NullObject);
    record = VariableInfo::Parse("w", cursor, &object, 8);
    EXPECT_EQ(record.GetType(), Object);
    EXPECT_EQ(cursor.Remaining(), 0u);
}
