#include "inspection/ManagedMemory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "inspection/FakeManagedHeap.h"

using namespace ManagedMemory;

TEST(ManagedMemoryTest, AddressAndReferenceChecksStopAtTheirBounds) {
    EXPECT_FALSE(IsPlausibleAddress(uintptr_t{0xFFFF}));
    EXPECT_TRUE(IsPlausibleAddress(uintptr_t{0x10000}));
    EXPECT_TRUE(IsPlausibleAddress(uintptr_t{0x00007FFFFFFFFFFFull}));
    EXPECT_FALSE(IsPlausibleAddress(uintptr_t{0x0000800000000000ull}));
    EXPECT_FALSE(IsPlausibleAddress(static_cast<const void*>(nullptr)));

    EXPECT_TRUE(IsObjectReference(0x10008));
    EXPECT_FALSE(IsObjectReference(0x10004));
    EXPECT_FALSE(IsObjectReference(0x8000));

    // A 32-bit null passes as an address: callers must test for null first.
    EXPECT_TRUE(IsNullReference(0));
    EXPECT_TRUE(IsNullReference(NullReference32));
    EXPECT_TRUE(IsPlausibleAddress(NullReference32));
    EXPECT_FALSE(IsNullReference(0x1FFFFFFFFull));

    EXPECT_FALSE(IsPlausibleStringLength(-1));
    EXPECT_TRUE(IsPlausibleStringLength(0));
    EXPECT_TRUE(IsPlausibleStringLength(MaxStringLength));
    EXPECT_FALSE(IsPlausibleStringLength(MaxStringLength + 1));
}

// The two range checks read a bound of 0 in opposite ways: an unknown limit, or nothing readable.
TEST(ManagedMemoryTest, RangeChecksDisagreeOnlyOnAZeroBound) {
    EXPECT_TRUE(FitsOrUnbounded(1u << 20, 8, 0));
    EXPECT_TRUE(FitsOrUnbounded(8, 8, 16));
    EXPECT_TRUE(FitsOrUnbounded(16, 0, 16));
    EXPECT_FALSE(FitsOrUnbounded(9, 8, 16));
    EXPECT_FALSE(FitsOrUnbounded(17, 0, 16));
    // No wrap-around: a huge width never fits a small limit.
    EXPECT_FALSE(FitsOrUnbounded(8, std::numeric_limits<size_t>::max(), 16));

    uint64_t slot = 0;
    EXPECT_FALSE(Readable(&slot, 0, 1));
    EXPECT_TRUE(Readable(&slot, 8, 8));
    EXPECT_FALSE(Readable(&slot, 7, 8));
    EXPECT_FALSE(Readable(reinterpret_cast<const void*>(uintptr_t{0x100}), 8, 8));
}

TEST(ManagedMemoryTest, ReadsNeedNoAlignmentAndStringLengthsComeFromTheHeader) {
    alignas(8) uint8_t bytes[16] = {};
    const uint64_t word = 0x1122334455667788ull;
    std::memcpy(bytes + 3, &word, sizeof(word));
    EXPECT_EQ(ReadPointer(reinterpret_cast<uintptr_t>(bytes + 3)), word);
    EXPECT_EQ(ReadInt32(reinterpret_cast<uintptr_t>(bytes + 3)), 0x55667788);
    EXPECT_EQ(ReadByte(bytes + 10), 0x11);

    FakeManagedHeap heap;
    const auto firstChar = [](uintptr_t string) {
        return reinterpret_cast<const void*>(string + FakeManagedHeap::BufferOffset);
    };
    uint32_t units = 0;
    EXPECT_EQ(StringUnitsAt(firstChar(heap.NewString(u"abc")), units), StringState::Known);
    EXPECT_EQ(units, 3u);
    EXPECT_EQ(StringUnitsAt(firstChar(heap.NewString(u"abc", MaxStringLength + 1)), units), StringState::Malformed);
    EXPECT_EQ(StringUnitsAt(firstChar(heap.NewString(u"abc", -1)), units), StringState::Malformed);
    EXPECT_EQ(StringUnitsAt(reinterpret_cast<const void*>(uintptr_t{0x10004}), units), StringState::Malformed);

    FakeManagedHeap noLayout(false);
    EXPECT_EQ(StringUnitsAt(firstChar(noLayout.NewString(u"abc")), units), StringState::NoLayout);
}
