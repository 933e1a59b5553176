#pragma once

#include <cstddef>
#include <cstdint>

namespace QuorixCollect {

// The report's data as the page's script reads it. Timeline items are arrays, since there are
// thousands; the writer puts their fields in this order and the data carries the names (and the
// flag bits), so that the script looks every field up by name.
namespace ReportShape {

enum ItemField : uint8_t { Begin, Length, Depth, Frame, Flags, Args, ReturnValue, ItemFieldCount };
constexpr const char* ItemFields[] = {"begin", "length", "depth", "frame", "flags", "args", "returnValue"};
static_assert(sizeof ItemFields / sizeof ItemFields[0] == ItemFieldCount, "one name per item field");

}  // namespace ReportShape

}  // namespace QuorixCollect
