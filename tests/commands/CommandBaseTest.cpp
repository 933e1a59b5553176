#include "commands/CommandBase.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include "PayloadBytes.h"
#include "commands/ProcessStartedCommand.h"
#include "commands/ThreadStartedCommand.h"

namespace {

// A command whose body claims more than the 16-bit length field can hold.
class OverflowingCommand : public CommandBase {
public:
    OverflowingCommand() : CommandBase(1, 2, Calls::BeginCall) {}
    uint8_t* GetPayload() override { return GetDefaultPayload(); }
    int16_t GetPayloadLength() override { return static_cast<int16_t>(40000); }
};

int64_t NowMicroseconds() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

}  // namespace

TEST(CommandBaseTest, HeaderOfProcessStartedIsLengthTypeIdsAndTimestamp) {
    const int64_t before = NowMicroseconds();
    ProcessStartedCommand command(4711);
    const int64_t after = NowMicroseconds();

    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 19u);
    EXPECT_EQ(Slice(bytes, 0, 11), Bytes({0x13, 0x00, 0x09, 0x67, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));

    const int64_t stamp = static_cast<int64_t>(ReadLittleEndian(bytes, 11, 8));
    EXPECT_EQ(stamp, command.GetTimestamp());
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
}

TEST(CommandBaseTest, IdentifiersAreCutToTheirLow32Bits) {
    ThreadStartedCommand command(0x1234567800000001ull, 0xFFFFFFFF00000102ull);
    const std::vector<uint8_t> bytes = Serialize(command);
    EXPECT_EQ(Slice(bytes, 3, 8), Bytes({0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00}));
    EXPECT_EQ(command.GetProcessId(), 0x1234567800000001ull);
}

TEST(CommandBaseTest, LengthThatWrapsTheFieldIsRefusedInsteadOfAllocated) {
    OverflowingCommand command;
    EXPECT_THROW(delete[] command.GetPayload(), std::length_error);
}
