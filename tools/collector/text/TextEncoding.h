#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace QuorixCollect {

// UTF-16LE bytes to UTF-8; unpaired surrogates become U+FFFD. An odd trailing byte is ignored.
std::string Utf16LeToUtf8(const uint8_t* data, size_t byteCount);

// Appends `text` as the inside of a JSON string: quotes, backslashes and control characters
// escaped, every byte that is not part of well-formed UTF-8 replaced by \ufffd.
void AppendJsonEscaped(std::string& out, std::string_view text);

// Appends `text` quoted and escaped as a JSON string.
void AppendJsonString(std::string& out, std::string_view text);

// `text` with every byte that is not part of well-formed UTF-8 replaced by U+FFFD, as the JSON
// escaping does; `text` itself (no copy) when it is well-formed.
std::string_view WellFormedUtf8(std::string_view text, std::string& repaired);

// Text that is safe to print on a terminal: control characters as \xNN, bad UTF-8 as U+FFFD,
// cut after `maxChars` code points with "..." appended.
std::string DisplayText(std::string_view text, size_t maxChars = SIZE_MAX);

}  // namespace QuorixCollect
