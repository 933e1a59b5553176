#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

#include "platform/Export.h"

// The runtime's text is UTF-16 (char16_t), the agent's own is UTF-8 (std::string), and
// wchar_t is a 32-bit code point on Linux. Conversion errors throw std::range_error.

// 16-bit units taken one by one (UCS-2): a surrogate unit is an error. Null gives "".
std::string W2A(const char16_t* text);
// Code points to UTF-8: a surrogate or a value above 0x10FFFF is an error. Null gives "".
std::string W2A(const wchar_t* text);
// Never fails: invalid code points become U+FFFD.
std::u16string make_u16string(const std::wstring& text);
// Strict UTF-16: unpaired surrogates are an error.
std::wstring make_wstring(const std::u16string& text);

// An overload of the C library's name for 16-bit text; ::wcslen on wchar_t is unaffected.
QX_EXPORT int32_t wcslen(char16_t* text);
QX_EXPORT size_t linux_wcslen(const char16_t* text);
