#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PayloadBytes.h"
#include "commands/BeginCallCommand.h"
#include "commands/EndCallCommand.h"
#include "commands/ExceptionRaisedCommand.h"
#include "commands/MethodInfoCommand.h"
#include "commands/UnwindCallCommand.h"
#include "inspection/FakeManagedHeap.h"
#include "inspection/RecordReader.h"

using namespace Variables;

namespace {

VariableInfo Value(const std::string& name, VariableType type, const void* address) {
    VariableInfo record;
    record.SetName(name);
    record.SetType(type);
    record.AddValue(address);
    return record;
}

// Records back to back from `offset` to the end; empty when any of them is malformed.
std::vector<DecodedRecord> RecordsFrom(const std::vector<uint8_t>& bytes, size_t offset) {
    std::vector<DecodedRecord> records;
    while (offset < bytes.size()) {
        DecodedRecord record = DecodeRecord(bytes, offset);
        if (!record.ok) return {};
        offset += record.size;
        records.push_back(record);
    }
    return records;
}

void ExpectHeader(const std::vector<uint8_t>& bytes, uint8_t type) {
    ASSERT_GE(bytes.size(), 19u);
    EXPECT_EQ(ReadLittleEndian(bytes, 0, 2), bytes.size());
    EXPECT_EQ(bytes[2], type);
    EXPECT_EQ(ReadLittleEndian(bytes, 3, 4), 4711u);
    EXPECT_EQ(ReadLittleEndian(bytes, 7, 4), 0x89ABCDEFu);
}

constexpr uint64_t WirePid = 4711;
constexpr uint64_t Tid = 0xFFFFFFFF89ABCDEFull;  // a sign-extended profiling thread id

}  // namespace

TEST(CallCommandsTest, BeginCallWithoutArgumentsIs32Bytes) {
    BeginCallCommand command(WirePid, Tid, 0x1234500000065ull);
    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 32u);
    ExpectHeader(bytes, 1);
    EXPECT_EQ(Slice(bytes, 19, 13), Bytes({0x65, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(CallCommandsTest, BeginCallCarriesInstanceAndArgumentRecords) {
    FakeManagedHeap heap;
    int32_t count = 5;
    const uintptr_t sku = heap.NewString(u"A1");
    BeginCallCommand command(WirePid, Tid, 101);
    command.SetInstanceId(0x7F0011223344ull);
    std::vector<VariableInfo> arguments;
    arguments.push_back(Value("count", Int32, &count));
    arguments.push_back(Value("sku", String, reinterpret_cast<const void*>(sku + 12)));
    command.SetArguments(arguments);

    const std::vector<uint8_t> bytes = Serialize(command);
    ExpectHeader(bytes, 1);
    EXPECT_EQ(Slice(bytes, 19, 13), Bytes({101, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0x00, 0x7F, 0, 0, 2}));
    EXPECT_EQ(Slice(bytes, 32, 13), Bytes({0x0B, 0x00, 0x06, 0x05, 'c', 'o', 'u', 'n', 't', 0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Slice(bytes, 45, 13), Bytes({0x0B, 0x00, 12, 0x03, 's', 'k', 'u', 0x04, 0x00, 'A', 0x00, '1', 0x00}));
    EXPECT_EQ(bytes.size(), 32u + 13 + 13);
    EXPECT_EQ(command.GetArguments().size(), 2u);
}

TEST(CallCommandsTest, BeginCallReadsValuesOnceSoLengthAndPayloadAgree) {
    FakeManagedHeap heap;
    const uintptr_t reference = heap.NewString(std::u16string(64, u'a'), 3);
    VariableInfo text = Value("s", String, reinterpret_cast<const void*>(reference + 12));
    BeginCallCommand command(WirePid, Tid, 1);
    command.SetArguments({text});
    const int16_t length = command.GetPayloadLength();
    // The string's header changes between the two calls; the payload must still match the length.
    int32_t longer = 40;
    std::memcpy(reinterpret_cast<void*>(reference + 8), &longer, 4);
    std::unique_ptr<uint8_t[]> payload(command.GetPayload());
    EXPECT_EQ(ReadLittleEndian(std::vector<uint8_t>(payload.get(), payload.get() + 2), 0, 2),
              static_cast<uint64_t>(length));
}

TEST(CallCommandsTest, BeginCallDropsTrailingArgumentsInsteadOfWrapping) {
    uint8_t byte = 1;
    std::vector<VariableInfo> many;
    for (int i = 0; i < 300; ++i) many.push_back(Value("b", Byte, &byte));
    BeginCallCommand counted(WirePid, Tid, 1);
    counted.SetArguments(many);
    std::vector<uint8_t> bytes = Serialize(counted);
    EXPECT_EQ(bytes[31], 255);
    EXPECT_EQ(RecordsFrom(bytes, 32).size(), 255u);

    FakeManagedHeap heap;
    const uintptr_t text = heap.NewString(std::u16string(4096, u'q'));
    std::vector<VariableInfo> large;
    for (int i = 0; i < 6; ++i) large.push_back(Value("s", String, reinterpret_cast<const void*>(text + 12)));
    BeginCallCommand sized(WirePid, Tid, 1);
    sized.SetArguments(large);
    bytes = Serialize(sized);
    EXPECT_LE(bytes.size(), MaxCommandLength);
    EXPECT_EQ(ReadLittleEndian(bytes, 0, 2), bytes.size());
    EXPECT_EQ(bytes[31], 3);  // 8199 bytes each: three fit after the 32 fixed bytes, four do not
    EXPECT_EQ(RecordsFrom(bytes, 32).size(), 3u);

    // A struct too big for what is left is sent with the children that fit.
    VariableInfo holder;
    holder.SetName("h");
    holder.SetType(Object);
    holder.SetClassName("H");
    for (int i = 0; i < 10; ++i)
        holder.AddValue(new VariableInfo(Value("s", String, reinterpret_cast<const void*>(text + 12))));
    large.resize(1);
    large.push_back(holder);
    sized.SetArguments(large);
    bytes = Serialize(sized);
    EXPECT_LE(bytes.size(), MaxCommandLength);
    const std::vector<DecodedRecord> records = RecordsFrom(bytes, 32);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].children.size(), 2u);
}

TEST(CallCommandsTest, EndCallWithoutValueIs26Bytes) {
    EndCallCommand normal(WirePid, Tid, 0x100000065ull, false);
    std::vector<uint8_t> bytes = Serialize(normal);
    ASSERT_EQ(bytes.size(), 26u);
    ExpectHeader(bytes, 2);
    EXPECT_EQ(Slice(bytes, 19, 7), Bytes({0x65, 0, 0, 0, 0x00, 0x00, 0x00}));

    EndCallCommand tail(WirePid, Tid, 101, true);
    bytes = Serialize(tail);
    EXPECT_EQ(bytes[23], 1);
    EXPECT_TRUE(tail.IsTailCall());
}

TEST(CallCommandsTest, EndCallOwnsAndSendsItsReturnValue) {
    int32_t result = 5;
    EndCallCommand command(WirePid, Tid, 7, false);
    command.SetReturnValue(new VariableInfo(Value("first", Int32, &result)));
    auto* value = new VariableInfo(Value("count", Int32, &result));
    command.SetReturnValue(value);  // the first one is released
    command.SetReturnValue(value);  // setting the same one again changes nothing
    EXPECT_EQ(command.GetReturnValue(), value);

    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 26u + 11);
    ExpectHeader(bytes, 2);
    EXPECT_EQ(Slice(bytes, 24, 13), Bytes({0x0B, 0x00, 0x06, 0x05, 'c', 'o', 'u', 'n', 't', 0x05, 0x00, 0x00, 0x00}));

    // Owned by a command that is dropped without ever being sent: still freed.
    auto dropped = std::make_unique<EndCallCommand>(WirePid, Tid, 7, false);
    dropped->SetReturnValue(new VariableInfo(Value("r", Int32, &result)));
}

TEST(CallCommandsTest, MethodInfoCarriesBothNames) {
    MethodInfoCommand command(WirePid, Tid, 101, "A.B", "C");
    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 31u);
    ExpectHeader(bytes, 3);
    EXPECT_EQ(Slice(bytes, 19, 4), Bytes({101, 0, 0, 0}));
    EXPECT_EQ(Slice(bytes, 23, 8), Bytes({0x03, 0x00, 0x41, 0x2E, 0x42, 0x01, 0x00, 0x43}));

    MethodInfoCommand empty(WirePid, Tid, 101, "", "");
    EXPECT_EQ(Serialize(empty).size(), 27u);
}

TEST(CallCommandsTest, MethodInfoCutsOverlongNamesAtCharacterBoundaries) {
    std::string euros;
    for (int i = 0; i < 15000; ++i) euros += "\xE2\x82\xAC";
    const struct { std::string className, methodName; } cases[] = {{euros, "Run"}, {"N.C", euros}, {euros, euros}};
    for (const auto& c : cases) {
        MethodInfoCommand command(WirePid, Tid, 1, c.className, c.methodName);
        const std::vector<uint8_t> bytes = Serialize(command);
        EXPECT_LE(bytes.size(), MaxCommandLength);
        EXPECT_EQ(ReadLittleEndian(bytes, 0, 2), bytes.size());
        const size_t n1 = ReadLittleEndian(bytes, 23, 2);
        const size_t n2 = ReadLittleEndian(bytes, 25 + n1, 2);
        EXPECT_EQ(27 + n1 + n2, bytes.size());
        EXPECT_EQ(command.GetClassName().size(), n1);
        // A cut never splits a character, and a short name is never cut at all.
        EXPECT_EQ(command.GetClassName().size() % 3 == 0 || command.GetClassName() == c.className, true);
        EXPECT_EQ(command.GetMethodName().size() % 3 == 0 || command.GetMethodName() == c.methodName, true);
        if (c.className.size() < 10) {
            EXPECT_EQ(command.GetClassName(), c.className);
        }
        if (c.methodName.size() < 10) {
            EXPECT_EQ(command.GetMethodName(), c.methodName);
        }
        // The in-place writer of the hooks takes names only as they are.
        EXPECT_EQ(MethodInfoCommand::LengthFor(c.className, c.methodName), 0u);
    }
    // Names that fill the command exactly are written in place, byte for byte as the command.
    const std::string full(MaxCommandLength - MethodInfoCommand::FixedLength - 1, 'x');
    ASSERT_EQ(MethodInfoCommand::LengthFor(full, "y"), MaxCommandLength);
    EXPECT_EQ(MethodInfoCommand::LengthFor(full, "yz"), 0u);
    MethodInfoCommand command(WirePid, Tid, 7, full, "y");
    std::vector<uint8_t> inPlace(MaxCommandLength);
    MethodInfoCommand::WriteAt(inPlace.data(), WirePid, Tid, command.GetTimestamp(), 7, full, "y");
    EXPECT_EQ(inPlace, Serialize(command));
}

TEST(CallCommandsTest, ExceptionAndUnwindCarryTheirIds) {
    ExceptionRaisedCommand raised(WirePid, Tid, 0x7F0011223344AABBull);
    std::vector<uint8_t> bytes = Serialize(raised);
    ASSERT_EQ(bytes.size(), 27u);
    ExpectHeader(bytes, 4);
    EXPECT_EQ(Slice(bytes, 19, 8), Bytes({0xBB, 0xAA, 0x44, 0x33, 0x22, 0x11, 0x00, 0x7F}));

    UnwindCallCommand unwound(WirePid, Tid, 0x7F00000000000065ull);
    bytes = Serialize(unwound);
    ASSERT_EQ(bytes.size(), 23u);
    ExpectHeader(bytes, 5);
    EXPECT_EQ(Slice(bytes, 19, 4), Bytes({0x65, 0, 0, 0}));
}
