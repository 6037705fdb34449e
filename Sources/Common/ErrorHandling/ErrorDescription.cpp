#include "Common/ErrorHandling/ErrorDescription.h"
#include "InterfacePtr.h"
#include "Common/ErrorHandling/ErrorMessages.h"

#include <cwchar>
#include <cwctype>
#include <limits>

namespace ErrorHandling
{
namespace
{
// Owns a BSTR handed out by an error-info object.
class BstrHolder
{
public:
    BstrHolder() = default;
    BstrHolder(const BstrHolder&) = delete;
    BstrHolder& operator=(const BstrHolder&) = delete;
    ~BstrHolder() { SysFreeString(m_text); }
    BSTR* Out() { return &m_text; }
    BSTR Get() const { return m_text; }

private:
    BSTR m_text = nullptr;
};

void TrimTrailingWhiteSpace(std::wstring& text)
{
    while (!text.empty() && std::iswspace(text.back()))
    {
        text.pop_back();
    }
}
} // namespace

std::wstring FormatReturnAddress(const void* address)
{
    wchar_t buffer[24];
    std::swprintf(buffer, sizeof(buffer) / sizeof(buffer[0]), L"0x%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(address)));
    return buffer;
}

std::wstring FormatErrorDescription(const TErrorDescription& description)
{
    wchar_t code[16];
    std::swprintf(code, sizeof(code) / sizeof(code[0]), L"0x%08X ", description.code);
    std::wstring text = code;
    text += description.message;
    if (!description.source.empty())
    {
        text += L" [";
        text += description.source;
        text += L"]";
    }
    TrimTrailingWhiteSpace(text);
    return text;
}

bool ParseErrorDescription(const wchar_t* text, TErrorDescription& description)
{
    if (text == nullptr || *text == L'\0')
    {
        return false;
    }
    wchar_t* end = nullptr;
    unsigned long long number = std::wcstoull(text, &end, 0);
    if (end == text)
    {
        return false;
    }
    // The code is 32 bits wide; larger numbers saturate as a 32-bit conversion would.
    std::uint32_t code = number > std::numeric_limits<std::uint32_t>::max()
                             ? std::numeric_limits<std::uint32_t>::max()
                             : static_cast<std::uint32_t>(number);
    std::wstring message;
    std::wstring source;
    if (*end == L' ')
    {
        std::wstring candidate(end + 1);
        std::size_t open = candidate.find(L'[');
        if (candidate.size() > 1 && candidate.back() == L']' && open != std::wstring::npos)
        {
            source = candidate.substr(open + 1, candidate.size() - open - 2);
            message = candidate.substr(0, open);
            TrimTrailingWhiteSpace(message);
        }
        else
        {
            message = std::move(candidate);
        }
    }
    description.code = code;
    description.message = std::move(message);
    description.source = std::move(source);
    return true;
}

TErrorDescription BuildErrorDescription(HRESULT code, IErrorInfo* errorInfo, void* const* addresses,
                                        std::uint32_t count)
{
    TErrorDescription description;
    bool parsed = false;
    if (errorInfo != nullptr)
    {
        BstrHolder text;
        if (SUCCEEDED(errorInfo->GetDescription(text.Out())) && text.Get() != nullptr)
        {
            GUID guid{};
            if (SUCCEEDED(errorInfo->GetGUID(&guid)) && guid == GUID_StructuredErrorDescription)
            {
                parsed = ParseErrorDescription(text.Get(), description);
            }
            else
            {
                description.message.assign(text.Get(), SysStringLen(text.Get()));
            }
        }
    }
    // A structured description of another code belonged to an earlier failure.
    if (parsed && description.code != static_cast<std::uint32_t>(code))
    {
        description = TErrorDescription();
    }
    description.code = static_cast<std::uint32_t>(code);
    if (description.message.empty())
    {
        description.message = MessageText(code);
    }
    if (count > 0 && addresses != nullptr)
    {
        std::wstring group;
        for (std::uint32_t i = 0; i < count; ++i)
        {
            if (i > 0)
            {
                group += L',';
            }
            group += FormatReturnAddress(addresses[i]);
        }
        if (!description.source.empty())
        {
            description.source += L';';
        }
        description.source += group;
    }
    return description;
}

TErrorDescription BuildErrorDescription(const HRES& error)
{
    void* const* addresses = nullptr;
    std::uint32_t count = error.Addresses(&addresses);
    return BuildErrorDescription(error.Code(), error.ErrorInfo(), addresses, count);
}

HRESULT PublishErrorInfo(const HRES& error)
{
    if (!error.Failed())
    {
        return error.Code();
    }
    std::wstring text = FormatErrorDescription(BuildErrorDescription(error));

    Components::InterfacePtr<IErrorInfo> info;
    Components::InterfacePtr<ICreateErrorInfo> create;
    if (SUCCEEDED(::CreateErrorInfo(create.Out())) && create)
    {
        BSTR description = SysAllocStringLen(text.data(), static_cast<std::uint32_t>(text.size()));
        if (description == nullptr)
        {
            ::SetErrorInfo(0, nullptr);
            RaiseHResult(E_OUTOFMEMORY);
        }
        HRESULT hr = create->SetDescription(description);
        SysFreeString(description);
        if (SUCCEEDED(hr) && SUCCEEDED(create->SetGUID(&GUID_StructuredErrorDescription)))
        {
            if (FAILED(create->QueryInterface(&IID_IErrorInfo, info.OutVoid())))
            {
                info.Reset();
            }
        }
    }
    ::SetErrorInfo(0, info.Get());
    return error.Code();
}
} // namespace ErrorHandling

std::wostream& operator<<(std::wostream& stream, const HRES& error)
{
    return stream << ErrorHandling::FormatErrorDescription(ErrorHandling::BuildErrorDescription(error));
}
