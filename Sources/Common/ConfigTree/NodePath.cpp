// Path resolution and composition over configuration nodes.
#include "Common/ConfigTree/VXNodePtr.h"

#include "Common/Base/Path.h"
#include "Common/ErrorHandling/HResult.h"

#include <algorithm>
#include <optional>
#include <string_view>

namespace
{
// Length of the common prefix of two paths that both begin with a backslash. The prefix ends
// where the texts stop matching if both are at a component boundary there, otherwise at the last
// backslash they shared, so that "\A\BC" and "\A\B" share only "\A".
std::size_t CommonPrefixLength(std::wstring_view a, std::wstring_view b)
{
    std::size_t lastBackslash = 0;
    std::size_t i = 1;
    while (i < a.size() && i < b.size() && a[i] == b[i])
    {
        if (a[i] == L'\\')
        {
            lastBackslash = i;
        }
        ++i;
    }
    const bool aAtBoundary = i >= a.size() || a[i] == L'\\';
    const bool bAtBoundary = i >= b.size() || b[i] == L'\\';
    return aAtBoundary && bAtBoundary ? i : lastBackslash;
}

// What follows the prefix, without the backslash that separates them.
std::wstring_view AfterPrefix(std::wstring_view text, std::size_t prefix)
{
    if (prefix >= text.size())
    {
        return {};
    }
    text.remove_prefix(prefix);
    if (text.front() == L'\\')
    {
        text.remove_prefix(1);
    }
    return text;
}
} // namespace

VXNodePtr FindNodeByPath(const VXNodePtr& node, const std::wstring& path, std::uint32_t flags)
{
    if (!node.IsValid())
    {
        RaiseHResult(E_POINTER);
    }
    std::optional<std::wstring_view> remaining = std::wstring_view(path);
    std::uint64_t levelsUp = 0;
    std::wstring nodePath;
    if (!path.empty() && path.front() == L'\\')
    {
        nodePath = node.GetName(kNameFullPath);
        const std::size_t prefix = CommonPrefixLength(nodePath, path);
        if (prefix <= 1)
        {
            remaining.reset();
        }
        else
        {
            const std::wstring_view below = AfterPrefix(nodePath, prefix);
            if (!below.empty())
            {
                levelsUp = static_cast<std::uint64_t>(std::count(below.begin(), below.end(), L'\\')) + 1;
            }
            remaining = AfterPrefix(path, prefix);
        }
    }

    VXNodePtr result;
    if (remaining && (levelsUp == 0 || (flags & kFindNoClimb) == 0))
    {
        VXNodePtr current = node;
        for (std::uint64_t i = 0; i < levelsUp && current.IsValid(); ++i)
        {
            current = current.GetParent();
        }
        std::wstring_view rest = *remaining;
        if (!rest.empty() && rest.front() == L'\\')
        {
            rest.remove_prefix(1);
        }
        if (!rest.empty())
        {
            std::wstring component;
            for (;;)
            {
                if (!current.IsValid())
                {
                    break;
                }
                const std::size_t end = rest.find(L'\\');
                component.assign(rest.substr(0, end));
                current = current.GetChild(component, false);
                if (end == std::wstring_view::npos)
                {
                    break;
                }
                rest.remove_prefix(end + 1);
            }
        }
        result = std::move(current);
    }
    if (!result.IsValid() && (flags & kFindMustExist) != 0)
    {
        RaiseHResult(HR_NOT_FOUND);
    }
    return result;
}

std::wstring CombineNodePath(const std::wstring& base, const std::wstring& relative)
{
    std::wstring result = base;
    std::wstring_view rest = relative;
    bool first = true;
    for (;;)
    {
        const std::size_t end = rest.find(L'\\');
        const std::wstring_view piece = rest.substr(0, end);
        if (!(first && piece.empty()))
        {
            if (piece == L"..")
            {
                if (result == L"\\")
                {
                    RaiseHResult(HR_PATH_ABOVE_ROOT);
                }
                const std::size_t last = result.rfind(L'\\');
                if (last == std::wstring::npos)
                {
                    result = L"\\";
                }
                else
                {
                    result.resize(last);
                }
            }
            else
            {
                Base::AppendPathComponent(result, piece);
            }
        }
        first = false;
        if (end == std::wstring_view::npos)
        {
            break;
        }
        rest.remove_prefix(end + 1);
    }
    return result;
}

VXNodePtr MakePathQuery(const std::wstring& path, bool isParent, std::int64_t maxDepth)
{
    VXNodePtr query = VXNodePtr::Create(nullptr, L"FilterByPath");
    query.SetStringAttribute(L"NodePath", path.c_str(), static_cast<std::int64_t>(path.size()));
    query.SetBoolAttribute(L"IsParent", isParent);
    query.SetInt64Attribute(L"MaxDepth", maxDepth);
    return query;
}
