#include "Common/Base/Text.h"

#include <algorithm>
#include <cwctype>

namespace Base
{
namespace
{
wint_t Folded(wchar_t c) noexcept
{
    return std::towlower(static_cast<wint_t>(c));
}
} // namespace

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) noexcept
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](wchar_t x, wchar_t y) { return Folded(x) == Folded(y); });
}

bool LessNoCase(std::wstring_view a, std::wstring_view b) noexcept
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](wchar_t x, wchar_t y) { return Folded(x) < Folded(y); });
}

bool EndsWithNoCase(std::wstring_view text, std::wstring_view suffix) noexcept
{
    return text.size() >= suffix.size() && EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}
} // namespace Base
