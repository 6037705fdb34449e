#include "Programs/HostCommon/HostText.h"

#include "Common/ErrorHandling/SystemMessages.h"
#include "InterfacePtr.h"
#include "Ravlin.h"

#include <array>
#include <cctype>
#include <cstdio>

namespace HostCommon
{
namespace
{
constexpr GUID kStructuredErrorDescription =
    RSM_GUID(0x64107A4E, 0x9383, 0x4398, 0x97, 0xFF, 0xEE, 0x55, 0xF0, 0xDA, 0x7F, 0xDF);

// Codes the system table does not know and that the host, its client or the configuration
// server give back.
struct HostMessage
{
    std::uint32_t code;
    const char* text;
};
constexpr HostMessage kHostMessages[] = {
    {0x8000000E, "A method was called at an unexpected time"},
    {0x80040201, "The node path leads above the root of the configuration tree"},
    {0x80047F01, "The reporting settings are not available"},
    {0x80047F02, "A reporting settings type appears more than once in the configuration"},
    {0x80070426, "The service has not been started"},
    {0x800704C9, "The remote computer refused the network connection"},
    {0x800705B4, "This operation returned because the timeout period expired"},
    {0x80072740,
     "Only one usage of each socket address (protocol/network address/port) is normally permitted"},
};

constexpr std::array<const char*, 9> kTypeNames = {"Common", "Containers", "Quorl",   "Pentrel", "Dorv",
                                                   "Tavrin", "Lumic",      "Skellan", "Orvane"};

std::string TrimMessage(std::string text)
{
    while (!text.empty() && (std::isspace(static_cast<unsigned char>(text.back())) != 0))
    {
        text.pop_back();
    }
    if (!text.empty() && text.back() == '.')
    {
        text.pop_back();
    }
    return text;
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
        {
            return false;
        }
    }
    return true;
}

// The message part of "0x%08X message [source]" when the code is hr's.
bool StructuredMessage(const std::string& description, HRESULT hr, std::string& message)
{
    const std::string prefix = HResultHex(hr) + " ";
    if (description.size() <= prefix.size() || !EqualNoCase(description.substr(0, prefix.size()), prefix))
    {
        return false;
    }
    message = description.substr(prefix.size());
    if (message.size() > 1 && message.back() == ']')
    {
        if (std::size_t open = message.find('['); open != std::string::npos)
        {
            message.resize(open);
        }
    }
    message = TrimMessage(message);
    return !message.empty();
}
} // namespace

std::string HResultHex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string MessageText(HRESULT hr)
{
    const auto code = static_cast<std::uint32_t>(hr);
    const wchar_t* system = ErrorHandling::FindSystemMessage(code);
    if (system == nullptr && (code & 0xFFFF0000u) == 0x80070000u)
    {
        system = ErrorHandling::FindSystemMessage(code & 0xFFFFu);
    }
    if (system != nullptr)
    {
        return TrimMessage(ToUtf8(system));
    }
    for (const HostMessage& entry : kHostMessages)
    {
        if (entry.code == code)
        {
            return entry.text;
        }
    }
    return "<no description>";
}

std::string TakeErrorMessage(HRESULT hr)
{
    Components::InterfacePtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) == S_OK && info)
    {
        BSTR text = nullptr;
        GUID guid{};
        std::string description;
        const bool read = SUCCEEDED(info->GetDescription(&text)) && text != nullptr;
        if (read)
        {
            description = ToUtf8(text);
        }
        SysFreeString(text);
        if (read && SUCCEEDED(info->GetGUID(&guid)))
        {
            std::string message;
            if (guid == kStructuredErrorDescription)
            {
                if (StructuredMessage(description, hr, message))
                {
                    return message;
                }
            }
            else if (!(message = TrimMessage(description)).empty())
            {
                return message;
            }
        }
    }
    return MessageText(hr);
}

const char* TypeName(std::uint32_t type)
{
    for (std::size_t i = 0; i < kTypeNames.size(); ++i)
    {
        if (type == (1u << i))
        {
            return kTypeNames[i];
        }
    }
    return nullptr;
}

bool ParseU32(std::string_view text, std::uint32_t& value)
{
    if (text.empty() || text.size() > 10)
    {
        return false;
    }
    std::uint64_t number = 0;
    for (char c : text)
    {
        if (c < '0' || c > '9')
        {
            return false;
        }
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number > 0xFFFFFFFFu)
    {
        return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

bool ParseType(std::string_view text, std::uint32_t& type)
{
    for (std::size_t i = 0; i < kTypeNames.size(); ++i)
    {
        if (EqualNoCase(text, kTypeNames[i]))
        {
            type = 1u << i;
            return true;
        }
    }
    return ParseU32(text, type);
}
} // namespace HostCommon

namespace HostCommon
{
bool ParseTypes(std::string_view text, std::uint32_t& types)
{
    types = 0;
    if (text.empty())
    {
        return false;
    }
    std::size_t start = 0;
    while (start <= text.size())
    {
        std::size_t end = text.find_first_of(",|", start);
        if (end == std::string_view::npos)
        {
            end = text.size();
        }
        std::uint32_t one = 0;
        if (!ParseType(text.substr(start, end - start), one))
        {
            return false;
        }
        types |= one;
        start = end + 1;
    }
    return true;
}
} // namespace HostCommon
