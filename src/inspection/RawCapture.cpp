#include "inspection/RawCapture.h"

#include <algorithm>
#include <charconv>

#include "inspection/ManagedMemory.h"

using namespace Variables;
using ManagedMemory::AsAddress;
using ManagedMemory::FitsOrUnbounded;
using ManagedMemory::IsPlausibleAddress;
using ManagedMemory::ReadInt32;
using ManagedMemory::ReadPointer;

namespace {

constexpr uint32_t SpanByteLimit = 4096;
constexpr uint32_t BytePointerDefaultLimit = 1024;
// A span of bytes: its 8-byte reference (or, in the older layout, a null object and then the
// reference), followed by its 32-bit length.
constexpr size_t SpanLengthOffset = 8;

}  // namespace

namespace RawCapture {

void RawRecordInto(VariableInfo& record, const std::string& name, uintptr_t address, size_t length) {
    record.Reset();
    record.SetName(name);
    VariableType type = Unknown;
    if (length >= 8)
        type = Int64;
    else if (length >= 4)
        type = Int32;
    else if (length >= 2)
        type = Int16;
    else if (length >= 1)
        type = Byte;
    if (type == Unknown || !IsPlausibleAddress(address)) {
        record.SetType(Unknown);
        return;
    }
    record.SetType(type);
    record.AddValue(AsAddress(address));
}

void CaptureSpanBytes(VariableInfo& record, const COR_PRF_FUNCTION_ARGUMENT_RANGE& range) {
    const uintptr_t start = range.startAddress;
    const size_t length = range.length;
    if (!IsPlausibleAddress(start) || length < sizeof(uintptr_t)) return;
    uintptr_t data = ReadPointer(start);
    size_t lengthAt = SpanLengthOffset;
    if (data == 0) {
        if (length < 2 * sizeof(uintptr_t)) return;
        data = ReadPointer(start + sizeof(uintptr_t));
        lengthAt += sizeof(uintptr_t);
    }
    if (!FitsOrUnbounded(lengthAt, sizeof(int32_t), length)) return;
    const int32_t count = ReadInt32(start + lengthAt);
    if (count <= 0 || !IsPlausibleAddress(data)) return;
    const size_t taken = std::min<size_t>(static_cast<size_t>(count), SpanByteLimit);
    // The record keeps at most MaxEntries; one more lets it report the cut.
    for (size_t i = 0; i < taken && i <= VariableInfo::MaxEntries; ++i) record.AddValue(AsAddress(data + i));
}

void CaptureZeroTerminatedBytes(VariableInfo& record, const COR_PRF_FUNCTION_ARGUMENT_RANGE& range,
                                const std::string& limitText) {
    if (!IsPlausibleAddress(range.startAddress) || range.length < sizeof(uintptr_t)) return;
    const uintptr_t data = ReadPointer(range.startAddress);
    if (!IsPlausibleAddress(data)) return;
    uint64_t limit = BytePointerDefaultLimit;
    if (!limitText.empty()) {
        uint64_t parsed = 0;
        const char* end = limitText.data() + limitText.size();
        const auto [stop, error] = std::from_chars(limitText.data(), end, parsed);
        if (error == std::errc() && stop == end && parsed >= 1) limit = parsed;
    }
    // Nothing past what the record can keep is read.
    for (uint64_t i = 0; i < limit && i <= VariableInfo::MaxEntries; ++i) {
        const uintptr_t at = data + i;
        if (ManagedMemory::ReadByte(AsAddress(at)) == 0) break;
        record.AddValue(AsAddress(at));
    }
}

}  // namespace RawCapture
