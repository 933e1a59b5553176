#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "inspection/VariableInfo.h"
#include "platform/ProfilerInfo.h"

// Arguments captured as the bytes they are, with no signature or path to follow: a value read
// whole, and byte buffers behind a span or a pointer.
namespace RawCapture {

// The record of a value kept at `address` with room for `length` bytes, read whole: as wide
// as the argument allows, never wider than 8 bytes.
void RawRecordInto(VariableInfo& record, const std::string& name, uintptr_t address, size_t length);

// A span of bytes passed by value: its data reference and its length lie in the argument.
void CaptureSpanBytes(VariableInfo& record, const COR_PRF_FUNCTION_ARGUMENT_RANGE& range);

// A zero-terminated byte buffer behind a pointer argument, at most `limitText` bytes of it (a
// default limit when it is not a positive number).
void CaptureZeroTerminatedBytes(VariableInfo& record, const COR_PRF_FUNCTION_ARGUMENT_RANGE& range,
                                const std::string& limitText);

}  // namespace RawCapture
