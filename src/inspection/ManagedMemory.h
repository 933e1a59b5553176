#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/ProfilerTypes.h"

// The one reader of managed memory for every inspection unit: what an address may be, and what
// capture asks of a managed object that the runtime answers only inside its own callbacks (inside
// a probe, with no callback, the same facts come from the object's fixed layout). The readers
// check nothing: a caller checks an address before it follows it.
namespace ManagedMemory {

// The runtime's answer for a call made outside its callbacks.
inline constexpr HRESULT OutsideCallback = static_cast<HRESULT>(0x80131363);

// A reference slot holding this is taken for null, as one holding 0 is.
inline constexpr uintptr_t NullReference32 = 0xFFFFFFFF;

// The longest string the runtime can allocate; a header claiming more is not a string.
inline constexpr int32_t MaxStringLength = 0x3FFFFFDF;

// Below the lowest mappable page or above user space nothing can be read, so such a value is not
// an address of the managed heap or of an argument.
inline bool IsPlausibleAddress(uintptr_t address) { return address >= 0x10000 && address < 0x0000800000000000ull; }
inline bool IsPlausibleAddress(const void* address) { return IsPlausibleAddress(reinterpret_cast<uintptr_t>(address)); }

// Objects start 8-byte aligned: anything else held where a reference should be is not one.
inline bool IsObjectReference(uintptr_t address) { return IsPlausibleAddress(address) && (address & 7) == 0; }

inline bool IsNullReference(uintptr_t reference) { return reference == 0 || reference == NullReference32; }

inline bool IsPlausibleStringLength(int32_t length) { return length >= 0 && length <= MaxStringLength; }

// Whether `width` bytes at `offset` lie within `limit` bytes. A limit of 0 is not known and
// bounds nothing: past its argument's range an object is bounded by its class's size alone.
inline bool FitsOrUnbounded(size_t offset, size_t width, size_t limit) {
    return limit == 0 || (offset <= limit && width <= limit - offset);
}

// Whether `width` bytes can be read at `address`, of which `size` are readable. Unlike a limit
// above, a size of 0 means nothing is readable.
inline bool Readable(const void* address, uint32_t size, uint32_t width) {
    return IsPlausibleAddress(address) && size >= width;
}

inline const void* AsAddress(uintptr_t address) { return reinterpret_cast<const void*>(address); }

// Managed memory is not aligned for the reader's types: every read is a copy.
template <typename T>
T Read(const void* address) {
    T value{};
    std::memcpy(&value, address, sizeof(value));
    return value;
}

inline uintptr_t ReadPointer(const void* address) { return Read<uintptr_t>(address); }
inline uintptr_t ReadPointer(uintptr_t address) { return Read<uintptr_t>(AsAddress(address)); }
inline int32_t ReadInt32(uintptr_t address) { return Read<int32_t>(AsAddress(address)); }
inline uint8_t ReadByte(const void* address) { return Read<uint8_t>(address); }

// The class of the object a non-null, plausible reference points to; 0 when unknown. The word
// at the start of every object is its class's id (the type's method table).
ClassID ClassOf(uintptr_t reference);

// The element count and the first element of a one-dimensional, zero-based array.
bool VectorOf(uintptr_t reference, uint32_t& length, uintptr_t& data);

enum class StringState { Known, NoLayout, Malformed };

// Length in units of the managed string whose first character is at `firstChar`, from the
// string's own header; the layout comes from the runtime.
StringState StringUnitsAt(const void* firstChar, uint32_t& units);

}  // namespace ManagedMemory
