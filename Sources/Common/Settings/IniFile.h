// Ini file reads with the behaviour of GetPrivateProfileStringW: section and key names compare
// case-insensitively, lines starting with ";" are comments, value blanks and one pair of
// enclosing quotes are removed. Files are UTF-8 (with or without a byte order mark) or UTF-16LE
// with a byte order mark.
#pragma once

#include <cstdint>
#include <string>

namespace Settings
{
// Reads a whole text file: UTF-16LE with a byte order mark, otherwise UTF-8 (byte order mark
// optional). False when the file cannot be opened or read (a folder, for instance).
bool ReadTextFile(const std::wstring& file, std::wstring& text);

// Copies the value (or defaultValue when the file, section or key is missing) into buffer of
// size characters, always terminated, and returns the number of characters copied without the
// terminator; a value that does not fit is cut and size - 1 is returned. A null section or key
// finds nothing.
std::uint32_t GetPrivateProfileString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue,
                                      wchar_t* buffer, std::uint32_t size, const std::wstring& file);

// Reads one key with a buffer of 260 characters, doubled while the value was cut. An empty
// result (missing file, section or key, or an empty value) gives false.
bool ReadIniString(const std::wstring& file, const wchar_t* section, const wchar_t* key, std::wstring& value);
} // namespace Settings
