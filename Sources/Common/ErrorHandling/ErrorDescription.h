// The text form of an error ("0x%08X message [addresses;addresses]") that travels in log lines and
// in the descriptions of published error-info objects, and its publication to the calling thread.
//
// Limits of the text form: parsing takes the source from the first "[" to a final "]", so a
// message containing "[" cannot be carried when a source follows (it is cut at its "["); and
// since trailing white space of the whole text is dropped, a message without source loses its
// trailing white space (and reads as message plus source if it then ends in "]" after a "[").
#pragma once

#include "Common/ErrorHandling/HResult.h"

#include <cstdint>
#include <ostream>
#include <string>

// Marks an error-info object whose description is in the structured text form.
inline constexpr GUID GUID_StructuredErrorDescription =
    RSM_GUID(0x64107A4E, 0x9383, 0x4398, 0x97, 0xFF, 0xEE, 0x55, 0xF0, 0xDA, 0x7F, 0xDF);

namespace ErrorHandling
{
struct TErrorDescription
{
    std::uint32_t code = 0;
    std::wstring message;
    // Groups of return addresses, one per module that passed the error on: "a,b;c,d".
    std::wstring source;
};

// The description of a failure: the structured description of errorInfo when it describes the
// same code, a foreign description as the message, else the message text of the code; the
// given addresses are appended to the source as a new group.
TErrorDescription BuildErrorDescription(HRESULT code, IErrorInfo* errorInfo, void* const* addresses,
                                        std::uint32_t count);
TErrorDescription BuildErrorDescription(const HRES& error);

std::wstring FormatErrorDescription(const TErrorDescription& description);
// "0x" and the address as 16 upper-case hexadecimal digits.
std::wstring FormatReturnAddress(const void* address);

// Inverse of FormatErrorDescription. Fails for null or empty text and text that does not start
// with a number; description is left untouched then.
bool ParseErrorDescription(const wchar_t* text, TErrorDescription& description);

// Hands a failure to the calling thread as an error-info object carrying the structured
// description; returns the code. A success leaves the thread's slot alone. Raises E_OUTOFMEMORY
// when the description string cannot be allocated.
HRESULT PublishErrorInfo(const HRES& error);
} // namespace ErrorHandling

// Writes the text form of the failure (log message streams use this).
std::wostream& operator<<(std::wostream& stream, const HRES& error);
