// Case-insensitive comparison of wide text, one character at a time through towlower (the
// comparison setting names, registry names and file endings all use).
#pragma once

#include <string>
#include <string_view>

namespace Base
{
bool EqualsNoCase(std::wstring_view a, std::wstring_view b) noexcept;
bool LessNoCase(std::wstring_view a, std::wstring_view b) noexcept;
bool EndsWithNoCase(std::wstring_view text, std::wstring_view suffix) noexcept;

// Ordering for maps keyed by names that compare without case.
struct NoCaseLess
{
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept { return LessNoCase(a, b); }
};
} // namespace Base
