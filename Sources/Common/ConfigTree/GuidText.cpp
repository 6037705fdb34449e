// GUID text forms and creation.
#include "Common/ConfigTree/VXNodePtr.h"

#include "Common/Base/Results.h"
#include "Common/ErrorHandling/HResult.h"
#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"

#include <cwchar>

namespace
{
// Digits of the eleven fields, in order: Data1, Data2, Data3, Data4[0..7].
constexpr int kFieldDigits[11] = {8, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2};

// Scans the fields of one text form. separators[i] is the character that must stand before
// field i (0 for none). Returns how many fields were read; the scan stops at the first mismatch
// and never looks past the terminator.
int ScanFields(const wchar_t* text, const wchar_t (&separators)[11], std::uint32_t (&fields)[11])
{
    const wchar_t* p = text;
    for (int field = 0; field < 11; ++field)
    {
        if (separators[field] != 0)
        {
            if (*p != separators[field])
            {
                return field;
            }
            ++p;
        }
        std::uint32_t value = 0;
        for (int digit = 0; digit < kFieldDigits[field]; ++digit)
        {
            const int v = Platform::HexDigitValue(*p);
            if (v < 0)
            {
                return field;
            }
            value = (value << 4) | static_cast<std::uint32_t>(v);
            ++p;
        }
        fields[field] = value;
    }
    return 11;
}

void AppendHex(std::wstring& out, std::uint32_t value, int digits, bool lower)
{
    const wchar_t* alphabet = lower ? L"0123456789abcdef" : L"0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    {
        out.push_back(alphabet[(value >> shift) & 0xF]);
    }
}
} // namespace

HRESULT ParseGuid(const wchar_t* text, GUID* guid) noexcept
{
    if (guid == nullptr)
    {
        return E_POINTER;
    }
    if (text == nullptr)
    {
        return E_INVALIDARG;
    }
    static constexpr wchar_t kDashed[11] = {0, L'-', L'-', L'-', 0, L'-', 0, 0, 0, 0, 0};
    static constexpr wchar_t kBraced[11] = {L'{', L'-', L'-', L'-', 0, L'-', 0, 0, 0, 0, 0};
    static constexpr wchar_t kDigits[11] = {};
    // The digits-only test wins: "{...}" without dashes is not a braced GUID.
    const wchar_t(&separators)[11] = std::wcschr(text, L'-') == nullptr ? kDigits
                                     : text[0] == L'{'                  ? kBraced
                                                                        : kDashed;
    std::uint32_t fields[11] = {};
    if (ScanFields(text, separators, fields) < 11)
    {
        return E_INVALIDARG;
    }
    guid->Data1 = fields[0];
    guid->Data2 = static_cast<std::uint16_t>(fields[1]);
    guid->Data3 = static_cast<std::uint16_t>(fields[2]);
    for (int i = 0; i < 8; ++i)
    {
        guid->Data4[i] = static_cast<std::uint8_t>(fields[3 + i]);
    }
    return S_OK;
}

GUID ParseGuid(const wchar_t* text)
{
    GUID guid{};
    HRX hr;
    hr = ParseGuid(text, &guid);
    return guid;
}

std::wstring FormatGuid(const GUID& guid, int form)
{
    if (form < kGuidBraced || form > kGuidDashedLower)
    {
        RaiseHResult(E_FAIL);
    }
    const bool lower = form == kGuidDashedLower;
    const bool dashes = form != kGuidDigits;
    std::wstring text;
    text.reserve(38);
    if (form == kGuidBraced)
    {
        text.push_back(L'{');
    }
    AppendHex(text, guid.Data1, 8, lower);
    for (int group = 0; group < 4; ++group)
    {
        if (dashes)
        {
            text.push_back(L'-');
        }
        switch (group)
        {
        case 0:
            AppendHex(text, guid.Data2, 4, lower);
            break;
        case 1:
            AppendHex(text, guid.Data3, 4, lower);
            break;
        case 2:
            AppendHex(text, guid.Data4[0], 2, lower);
            AppendHex(text, guid.Data4[1], 2, lower);
            break;
        default:
            for (int i = 2; i < 8; ++i)
            {
                AppendHex(text, guid.Data4[i], 2, lower);
            }
            break;
        }
    }
    if (form == kGuidBraced)
    {
        text.push_back(L'}');
    }
    return text;
}

HRESULT UuidStatusToHResult(std::uint32_t status, const GUID& uuid) noexcept
{
    if (status == 0)
    {
        return S_OK;
    }
    if (status == RPC_S_UUID_LOCAL_ONLY_CODE || status == RPC_S_UUID_NO_ADDRESS_CODE)
    {
        static constexpr GUID kZero{};
        if (!IsEqualGUID(uuid, kZero))
        {
            return S_OK;
        }
    }
    return Base::HResultFromWin32(status);
}

HRESULT NewGuid(GUID* guid) noexcept
{
    if (guid == nullptr)
    {
        return E_POINTER;
    }
    GUID created{};
    const HRESULT hr = UuidStatusToHResult(Platform::UuidCreate(&created), created);
    if (SUCCEEDED(hr))
    {
        *guid = created;
    }
    return hr;
}

GUID NewGuid()
{
    GUID guid{};
    HRX hr;
    hr = NewGuid(&guid);
    return guid;
}
