// Small text helpers shared by every unit.
#pragma once

#include <string>
#include <string_view>

// printf-style formatting into a std::string (the message table's texts use printf
// conversions such as "%s", "%d" and "%2.2d").
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Removes leading and trailing characters whose code is 32 or less.
std::string Trim(std::string_view s);
// ASCII-only case folding; bytes of multi-byte UTF-8 characters are left alone.
std::string LowerCaseAscii(std::string_view s);
std::string UpperCaseAscii(std::string_view s);
// Cuts `s` to at most `limit` bytes; a UTF-8 character that would be split is dropped whole.
// A character is at most 4 bytes long, so at most 3 bytes are given back: text that is not
// UTF-8 (a run of bytes 0x80 to 0xBF) is cut at the byte limit rather than emptied.
void CutUtf8(std::string& s, size_t limit);
// The number of characters of UTF-8 text (bytes that do not continue a character).
size_t Utf8Length(std::string_view s);
// Equal without regard to ASCII case.
bool SameText(std::string_view a, std::string_view b);
