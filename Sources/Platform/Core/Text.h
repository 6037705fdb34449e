// Conversions between wide text and the byte encodings that are observable outside:
// UTF-16LE (data layer text attributes, log file) and UTF-8 (serialized nodes, file names).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Platform
{
// UTF-16LE bytes of the text, without a terminator.
std::string ToUtf16Le(std::wstring_view text);
// Decodes UTF-16LE bytes; an odd trailing byte is ignored, unpaired surrogates become U+FFFD.
std::wstring FromUtf16Le(const void* bytes, std::size_t size);
// Appends one code point; surrogates and values above U+10FFFF become U+FFFD.
void AppendUtf8(std::string& out, char32_t codePoint);
std::string ToUtf8(std::wstring_view text);
// Invalid sequences become U+FFFD.
std::wstring FromUtf8(std::string_view text);
// 0-15 for a hexadecimal digit of either case, -1 for anything else.
int HexDigitValue(wchar_t c);
// Widens byte by byte (the 8-bit text is taken as Latin-1).
std::wstring Widen(std::string_view text);
} // namespace Platform
