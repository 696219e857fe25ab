// Conversions between the kernel's 16-bit strings and UTF-8, for the platform,
// the tools and the tests. WCHAR is 16 bits here while the host C library's
// wide routines assume 32, so everything goes through these instead.
#pragma once

#include <cstddef>
#include <string>

#include "ntdef.h"

namespace sim {

// Unpaired surrogates become U+FFFD.
std::string to_utf8(const char16_t* s, size_t len);
std::string to_utf8(const WCHAR* s, size_t len);
std::string to_utf8(const WCHAR* s);  // NUL-terminated; NULL gives ""
std::string to_utf8(const std::u16string& s);
std::string to_utf8(PCUNICODE_STRING s);  // Length bytes; NULL gives ""

// Malformed or overlong sequences become U+FFFD, one per offending byte.
std::u16string to_utf16(const char* s, size_t len);
std::u16string to_utf16(const std::string& s);

// Appending forms, for code that builds output piece by piece.
void append_utf8(std::string& out, const char16_t* s, size_t len);
void append_utf8(std::string& out, char32_t code_point);
void append_utf16(std::u16string& out, const char* s, size_t len);
void append_utf16(std::u16string& out, char32_t code_point);

// A u16string's characters as the kernel's WCHAR type (same size and layout).
inline const WCHAR* as_wchar(const std::u16string& s) { return reinterpret_cast<const WCHAR*>(s.c_str()); }
inline const WCHAR* as_wchar(const char16_t* s) { return reinterpret_cast<const WCHAR*>(s); }

}  // namespace sim
