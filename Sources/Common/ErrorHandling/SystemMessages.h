// The platform's own message texts for Win32 and COM codes.
#pragma once

#include <cstdint>

namespace ErrorHandling
{
// The text as the system writes it (with its closing period and line break), or null.
const wchar_t* FindSystemMessage(std::uint32_t code);
} // namespace ErrorHandling
