// The system message table: texts of the Win32 and COM codes that the module and its platform
// layer raise, test for, or make from errno values. Texts are kept as the system writes them,
// with the closing period and line break.
#include "Common/ErrorHandling/SystemMessages.h"

#include <algorithm>
#include <iterator>

namespace ErrorHandling
{
namespace
{
struct SystemMessage
{
    std::uint32_t code;
    const wchar_t* text;
};

// Sorted by code for the binary search below.
constexpr SystemMessage kSystemMessages[] = {
    {0, L"The operation completed successfully.\r\n"},
    {1, L"Incorrect function.\r\n"},
    {2, L"The system cannot find the file specified.\r\n"},
    {3, L"The system cannot find the path specified.\r\n"},
    {4, L"The system cannot open the file.\r\n"},
    {5, L"Access is denied.\r\n"},
    {6, L"The handle is invalid.\r\n"},
    {8, L"Not enough memory resources are available to process this command.\r\n"},
    {11, L"An attempt was made to load a program with an incorrect format.\r\n"},
    {13, L"The data is invalid.\r\n"},
    {14, L"Not enough memory resources are available to complete this operation.\r\n"},
    {32, L"The process cannot access the file because it is being used by another process.\r\n"},
    {87, L"The parameter is incorrect.\r\n"},
    {112, L"There is not enough space on the disk.\r\n"},
    {122, L"The data area passed to a system call is too small.\r\n"},
    {126, L"The specified module could not be found.\r\n"},
    {183, L"Cannot create a file when that file already exists.\r\n"},
    {206, L"The filename or extension is too long.\r\n"},
    {223, L"The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {234, L"More data is available.\r\n"},
    {259, L"No more data is available.\r\n"},
    {534, L"Arithmetic result exceeded 32 bits.\r\n"},
    {1008, L"An attempt was made to reference a token that does not exist.\r\n"},
    {1117, L"The request could not be performed because of an I/O device error.\r\n"},
    {1168, L"Element not found.\r\n"},
    {1359, L"An internal error occurred.\r\n"},
    {1739, L"No network address is available to use to construct a universal unique identifier (UUID).\r\n"},
    {1824, L"A UUID that is valid only on this computer has been allocated.\r\n"},
    {0x80004001, L"Not implemented\r\n"},
    {0x80004002, L"No such interface supported\r\n"},
    {0x80004003, L"Invalid pointer\r\n"},
    {0x80004004, L"Operation aborted\r\n"},
    {0x80004005, L"Unspecified error\r\n"},
    {0x8000FFFF, L"Catastrophic failure\r\n"},
    {0x80040154, L"Class not registered\r\n"},
};

static_assert(std::is_sorted(std::begin(kSystemMessages), std::end(kSystemMessages),
                             [](const SystemMessage& a, const SystemMessage& b) { return a.code < b.code; }));
} // namespace

const wchar_t* FindSystemMessage(std::uint32_t code)
{
    auto it =
        std::lower_bound(std::begin(kSystemMessages), std::end(kSystemMessages), code,
                         [](const SystemMessage& entry, std::uint32_t value) { return entry.code < value; });
    return it != std::end(kSystemMessages) && it->code == code ? it->text : nullptr;
}
} // namespace ErrorHandling
