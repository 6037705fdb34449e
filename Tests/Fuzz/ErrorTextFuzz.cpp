// Error texts: the error description text form and the message file format. What parses once
// parses the same after being written back; a description written by the formatter parses back
// to itself when it is one the text form can carry.
#include "Common/ErrorHandling/ErrorDescription.h"
#include "Common/ErrorHandling/ErrorMessages.h"
#include "FuzzSupport.h"
#include "Platform/Core/Text.h"

#include <cwctype>

namespace
{
using ErrorHandling::TErrorDescription;

bool operator==(const TErrorDescription& a, const TErrorDescription& b)
{
    return a.code == b.code && a.message == b.message && a.source == b.source;
}

TErrorDescription Parsed(const std::wstring& text)
{
    TErrorDescription description;
    FUZZ_CHECK(ErrorHandling::ParseErrorDescription(text.c_str(), description));
    return description;
}

// Writing drops trailing white space, so a message without source that ends in white space may
// read back differently ("a [b]\n" then looks like message and source); any other description
// reads back as it was, and what was written once reads back the same from then on.
void CheckDescriptionText(const std::wstring& text)
{
    TErrorDescription first;
    if (!ErrorHandling::ParseErrorDescription(text.c_str(), first))
    {
        return;
    }
    TErrorDescription second = Parsed(ErrorHandling::FormatErrorDescription(first));
    FUZZ_CHECK(second.code == first.code);
    if (!first.source.empty() || first.message.empty() || !std::iswspace(first.message.back()))
    {
        FUZZ_CHECK(second == first);
    }
    FUZZ_CHECK(Parsed(ErrorHandling::FormatErrorDescription(second)) == second);
}

// A description the text form can carry: no NUL, no trailing white space on the message, no "["
// in the message when a source follows (parsing splits at the first "["), and without a source no
// message that looks like one with a source.
void CheckDescription(Fuzz::Input& input)
{
    TErrorDescription description;
    for (int i = 0; i < 4; ++i)
    {
        description.code = description.code << 8 | input.Byte();
    }
    description.message = Platform::FromUtf8(input.Line());
    description.source = Platform::FromUtf8(input.Line());
    std::erase(description.source, L'\0');
    std::erase(description.message, L'\0');
    if (!description.source.empty())
    {
        std::erase(description.message, L'[');
    }
    while (!description.message.empty() && std::iswspace(description.message.back()))
    {
        description.message.pop_back();
    }
    if (description.message.empty() && description.source.empty())
    {
        return; // the form needs a message or a source to write the blank after the code
    }
    if (description.source.empty() && description.message.back() == L']' &&
        description.message.find(L'[') != std::wstring::npos)
    {
        return; // reads as a message with a source
    }
    std::wstring text = ErrorHandling::FormatErrorDescription(description);
    TErrorDescription parsed;
    FUZZ_CHECK(ErrorHandling::ParseErrorDescription(text.c_str(), parsed));
    FUZZ_CHECK(parsed == description);
}

std::string WriteMessageFile(const std::map<std::uint32_t, std::wstring>& texts)
{
    std::string file;
    for (const auto& [code, text] : texts)
    {
        char number[16];
        std::snprintf(number, sizeof(number), "0x%08X ", code);
        file += number;
        for (char c : Platform::ToUtf8(text))
        {
            const std::size_t special = std::string_view("\\\n\r\t").find(c);
            file +=
                special == std::string_view::npos ? std::string(1, c) : std::string{'\\', "\\nrt"[special]};
        }
        file += '\n';
    }
    return file;
}

void CheckMessageFile(const std::string& content)
{
    std::map<std::uint32_t, std::wstring> first;
    if (!ErrorHandling::CMessageModule::Parse(content, first))
    {
        return;
    }
    for (const auto& [code, text] : first)
    {
        FUZZ_CHECK(!text.empty());
    }
    std::string written = WriteMessageFile(first);
    std::map<std::uint32_t, std::wstring> second;
    FUZZ_CHECK(ErrorHandling::CMessageModule::Parse(written, second));
    FUZZ_CHECK(second == first);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    CheckDescriptionText(Platform::FromUtf8(bytes));
    CheckMessageFile(bytes);
    Fuzz::Input input(data, size);
    CheckDescription(input);
    return 0;
}
