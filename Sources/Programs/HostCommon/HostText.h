// Text helpers of the service and its client: UTF-8 conversions, HRESULT texts, and the names
// of the reporting settings types.
#pragma once

#include "Platform/Core/Text.h"
#include "RsmTypes.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace HostCommon
{
// Lenient conversions: what cannot be converted becomes U+FFFD.
using Platform::AppendUtf8;
using Platform::FromUtf8;
using Platform::ToUtf8;

// "0x80070057".
std::string HResultHex(HRESULT hr);
// The text of a code as the system would give it, without its closing period and line break;
// "<no description>" when nobody knows the code.
std::string MessageText(HRESULT hr);
// The message of the error information the failing call left on this thread when it belongs
// to hr, else MessageText(hr). The thread's error information is consumed.
std::string TakeErrorMessage(HRESULT hr);

// "Pentrel" for 8; null for a value that is not one of the nine types.
const char* TypeName(std::uint32_t type);
// A type given by name (any case) or as a decimal number.
bool ParseType(std::string_view text, std::uint32_t& type);
// A decimal unsigned 32-bit number, nothing else.
bool ParseU32(std::string_view text, std::uint32_t& value);
} // namespace HostCommon

namespace HostCommon
{
// A types mask: a decimal number, or type names and numbers joined by "," or "|".
bool ParseTypes(std::string_view text, std::uint32_t& types);
} // namespace HostCommon
