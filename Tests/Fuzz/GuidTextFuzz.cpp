// GUID text: the raising and non-raising parsers agree on every text, and every form written
// for a GUID parses back to it.
#include "Common/ConfigTree/VXNodePtr.h"
#include "Common/ErrorHandling/HResult.h"
#include "FuzzSupport.h"
#include "Platform/Core/Text.h"

#include <cstring>

namespace
{
bool Same(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

void CheckFormsParseBack(const GUID& guid)
{
    for (int form : {kGuidBraced, kGuidDigits, kGuidDashed, kGuidDashedLower})
    {
        std::wstring text = FormatGuid(guid, form);
        GUID parsed{};
        FUZZ_CHECK(ParseGuid(text.c_str(), &parsed) == S_OK);
        FUZZ_CHECK(Same(parsed, guid));
    }
}

void CheckParsersAgree(const std::wstring& text)
{
    GUID quiet{};
    HRESULT hr = ParseGuid(text.c_str(), &quiet);
    FUZZ_CHECK(hr == S_OK || hr == E_INVALIDARG);
    bool raised = false;
    GUID loud{};
    try
    {
        loud = ParseGuid(text.c_str());
    }
    catch (const HRX& e)
    {
        raised = true;
        FUZZ_CHECK(e.Code() == hr);
    }
    FUZZ_CHECK(raised == FAILED(hr));
    if (SUCCEEDED(hr))
    {
        FUZZ_CHECK(Same(quiet, loud));
        CheckFormsParseBack(quiet);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckParsersAgree(Platform::Widen(bytes));
    CheckParsersAgree(Platform::FromUtf8(bytes));

    GUID guid{};
    std::memcpy(&guid, data, size < sizeof(GUID) ? size : sizeof(GUID));
    CheckFormsParseBack(guid);
    return 0;
}
