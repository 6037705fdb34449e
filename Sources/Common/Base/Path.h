// Backslash paths of configuration nodes: "\" is the root, "\A\B" a node two levels down.
#pragma once

#include <iterator>
#include <string>
#include <string_view>

namespace Base
{
// Appends "\name", without doubling a backslash that path already ends with.
void AppendPathComponent(std::wstring& path, std::wstring_view name);

// parent + "\" + name, with the root "\" (or an empty parent) giving "\name".
std::wstring ChildPath(std::wstring_view parent, std::wstring_view name);

// "\c1\c2..." from a range of components; "\" for none.
template <typename Iterator> std::wstring JoinPath(Iterator first, Iterator last)
{
    if (first == last)
    {
        return L"\\";
    }
    std::wstring path;
    for (; first != last; ++first)
    {
        path += L'\\';
        path += *first;
    }
    return path;
}
template <typename Range> std::wstring JoinPath(const Range& components)
{
    return JoinPath(std::begin(components), std::end(components));
}
} // namespace Base
