#include "Common/Base/Path.h"

namespace Base
{
void AppendPathComponent(std::wstring& path, std::wstring_view name)
{
    if (path.empty() || path.back() != L'\\')
    {
        path += L'\\';
    }
    path += name;
}

std::wstring ChildPath(std::wstring_view parent, std::wstring_view name)
{
    std::wstring path;
    path.reserve(parent.size() + 1 + name.size());
    if (parent != L"\\")
    {
        path += parent;
    }
    path += L'\\';
    path += name;
    return path;
}
} // namespace Base
