#pragma once

#include <cstdint>

#include "platform/ProfilerTypes.h"

// What capture asks of a managed object that the runtime answers only inside its own callbacks:
// inside a probe (no callback) the same facts come from the object's fixed layout.
namespace ManagedMemory {

// The runtime's answer for a call made outside its callbacks.
inline constexpr HRESULT OutsideCallback = static_cast<HRESULT>(0x80131363);

// The class of the object a non-null, plausible reference points to; 0 when unknown. The word
// at the start of every object is its class's id (the type's method table).
ClassID ClassOf(uintptr_t reference);

// The element count and the first element of a one-dimensional, zero-based array.
bool VectorOf(uintptr_t reference, uint32_t& length, uintptr_t& data);

}  // namespace ManagedMemory
