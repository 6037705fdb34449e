#include "Common/ConfigTree/NodeCompare.h"

#include "Common/Base/Text.h"
#include "Common/ConfigTree/AttributeOperations.h"
#include "Common/ErrorHandling/HResult.h"
#include "Platform/Core/Text.h"

#include <unordered_set>

namespace
{
bool Skipped(const wchar_t* name, std::uint32_t flags)
{
    return (flags & kCompareSkipHashAttributes) != 0 && name[0] == L'#';
}

bool IsStringCode(std::uint16_t type)
{
    return type == 1 || type == 2;
}

std::wstring AsText(std::uint16_t type, const std::vector<std::uint8_t>& bytes)
{
    std::wstring text =
        type == 2
            ? Platform::FromUtf16Le(bytes.data(), bytes.size())
            : Platform::Widen(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    while (!text.empty() && text.back() == L'\0')
    {
        text.pop_back();
    }
    return text;
}

std::uint64_t CountAttributes(const VXNodePtr& node, std::uint32_t flags)
{
    std::uint64_t count = 0;
    node.ForEachAttributeName(
        [&](const wchar_t* name)
        {
            if (!Skipped(name, flags))
            {
                ++count;
            }
        });
    return count;
}

// The comparison of one attribute, with buffers the caller reuses across attributes.
bool AttributeEqualWith(AttributeName name, const VXNodePtr& a, const VXNodePtr& b, std::uint32_t flags,
                        std::vector<std::uint8_t>& bytesA, std::vector<std::uint8_t>& bytesB)
{
    std::uint16_t typeA = 0;
    std::uint16_t typeB = 0;
    bool hasA = ReadRawAttribute(name, a, bytesA, typeA);
    bool hasB = ReadRawAttribute(name, b, bytesB, typeB);
    if ((flags & kCompareStringsIgnoreCase) != 0 && hasA && hasB && IsStringCode(typeA) &&
        IsStringCode(typeB))
    {
        return Base::EqualsNoCase(AsText(typeA, bytesA), AsText(typeB, bytesB));
    }
    if (hasA && hasB)
    {
        return RawAttributesEqual(typeA, bytesA, typeB, bytesB);
    }
    return !hasA && !hasB;
}
} // namespace

bool NodesEqual(const VXNodePtr& a, const VXNodePtr& b, std::uint32_t flags)
{
    if ((flags & kCompareSkipIdentity) == 0)
    {
        std::uint32_t kind = (flags & kCompareIdentityByName) != 0 ? kNameOwn : kNameFullPath;
        if (a.GetName(kind) != b.GetName(kind))
        {
            return false;
        }
    }
    if ((flags & kCompareSkipAttributes) == 0 && !AttributesEqual(a, b, flags))
    {
        return false;
    }
    if ((flags & kCompareSkipChildren) != 0)
    {
        return true;
    }
    return ChildrenEqual(a, b, flags | kCompareIdentityByName);
}

bool AttributesEqual(const VXNodePtr& a, const VXNodePtr& b, std::uint32_t flags)
{
    std::uint64_t countA = 0;
    bool equal = true;
    std::vector<std::uint8_t> bytesA;
    std::vector<std::uint8_t> bytesB;
    a.ForEachAttributeName(
        [&](const wchar_t* name)
        {
            if (Skipped(name, flags))
            {
                return;
            }
            ++countA;
            if (equal && !AttributeEqualWith(name, a, b, flags, bytesA, bytesB))
            {
                equal = false;
            }
        });
    return equal && CountAttributes(b, flags) == countA;
}

bool AttributeEqual(AttributeName name, const VXNodePtr& a, const VXNodePtr& b, std::uint32_t flags)
{
    std::vector<std::uint8_t> bytesA;
    std::vector<std::uint8_t> bytesB;
    return AttributeEqualWith(name, a, b, flags, bytesA, bytesB);
}

bool ChildrenEqual(const VXNodePtr& a, const VXNodePtr& b, std::uint32_t flags)
{
    const std::uint64_t count = a.GetChildCount();
    if (count != b.GetChildCount())
    {
        return false;
    }
    const bool byIndex = (flags & kComparePairChildrenByIndex) != 0;
    const bool anyOrder = (flags & kCompareChildrenAnyOrder) != 0;
    // Names of B's children before index i: the partner by name is B's first child of that name,
    // so it stands at index i only when no earlier child carries the name.
    std::unordered_set<std::wstring> earlierNames;
    for (std::uint64_t i = 0; i < count; ++i)
    {
        VXNodePtr childA = a.GetChild(i, true);
        std::wstring name = childA.GetName(kNameOwn);
        VXNodePtr childB;
        if (byIndex || !anyOrder)
        {
            VXNodePtr atIndex = b.GetChild(i, true);
            if (!byIndex)
            {
                std::wstring nameAtIndex = atIndex.GetName(kNameOwn);
                bool partnerIsAtIndex = nameAtIndex == name && earlierNames.count(name) == 0;
                earlierNames.insert(std::move(nameAtIndex));
                if (!partnerIsAtIndex)
                {
                    return false;
                }
            }
            childB = std::move(atIndex);
        }
        else
        {
            childB = b.GetChild(name, false);
            if (!childB.IsValid())
            {
                return false;
            }
        }
        if (!NodesEqual(childA, childB, flags))
        {
            return false;
        }
    }
    return true;
}

void ReplaceNodeContent(const VXNodePtr& source, const VXNodePtr& destination)
{
    if (source.Get() == destination.Get())
    {
        return;
    }
    VXNodePtr target = destination; // setters need a handle of their own
    target.ForEachAttributeName(
        [&](const wchar_t* name)
        {
            const HRESULT result = VxnDeleteAttribute(target.Get(), name);
            if (result != HR_NOT_FOUND)
            {
                HRX hr;
                hr = result;
            }
        });
    std::vector<std::uint8_t> scratch;
    source.ForEachAttributeName([&](const wchar_t* name)
                                { CopyAttribute(name, source, target, scratch, nullptr, true); });
    const std::uint64_t children = target.GetChildCount();
    for (std::uint64_t i = 0; i < children; ++i)
    {
        target.RemoveChild(0);
    }
    source.ForEachChild([&](const VXNodePtr& child) { target.AddChild(child.Clone(kDepthAll, 0)); });
}
