// Character level helpers of the text form: escaping, strict UTF-8, GUID text.
#pragma once

#include "RsmTypes.h"

#include <string>
#include <string_view>

namespace Tessel
{
// Appends one character: markup characters as entities; controls, surrogates, non-characters
// and values beyond Unicode as "&#x..;"; everything else as UTF-8.
void AppendEscapedChar(std::string& out, std::uint32_t c);
// Every wchar_t is one character, so names keep any value they hold.
void AppendEscapedWide(std::string& out, std::wstring_view text);
void AppendUtf8(std::string& out, char32_t c);
// Decodes one character at p; returns the bytes it used, 0 for an invalid sequence.
std::size_t DecodeUtf8Char(const char* p, const char* end, char32_t& c);
// Strict: rejects overlong forms, surrogates and values beyond U+10FFFF.
bool DecodeUtf8(std::string_view text, std::u32string& out);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
void AppendGuid(std::string& out, const GUID& guid);
bool ParseGuidText(std::string_view text, GUID& guid);
} // namespace Tessel
