#include "Platform/ConfigServer/VxConvert.h"

#include "Platform/Core/Text.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ConfigServer
{
namespace
{

class NodeHandle
{
public:
    NodeHandle() = default;
    explicit NodeHandle(IVXNode* node) : m_node(node) {}
    ~NodeHandle()
    {
        if (m_node)
        {
            VxnCloseNodeHandle(m_node);
        }
    }
    NodeHandle(const NodeHandle&) = delete;
    NodeHandle& operator=(const NodeHandle&) = delete;
    IVXNode* Get() const { return m_node; }
    IVXNode** Out() { return &m_node; }
    IVXNode* Detach()
    {
        IVXNode* node = m_node;
        m_node = nullptr;
        return node;
    }

private:
    IVXNode* m_node = nullptr;
};

template <typename Read> HRESULT ReadText(Read read, std::wstring& text)
{
    std::vector<wchar_t> buffer(128);
    auto length = static_cast<std::uint32_t>(buffer.size());
    HRESULT hr = read(buffer.data(), &length);
    while (hr == HR_INSUFFICIENT_BUFFER && length > buffer.size())
    {
        buffer.resize(length);
        hr = read(buffer.data(), &length);
    }
    if (FAILED(hr))
    {
        return hr;
    }
    text.assign(buffer.data(), length == 0 ? 0 : length - 1);
    return S_OK;
}

HRESULT ReadAttribute(IVXNode* node, const std::wstring& name, Attribute& attribute)
{
    std::uint64_t size = 0;
    std::uint16_t type = 0;
    HRESULT hr = VxnGetAttribute(node, name.c_str(), nullptr, nullptr, &size, &type);
    if (FAILED(hr))
    {
        return hr;
    }
    attribute.name = name;
    attribute.type = type;
    attribute.value.resize(static_cast<std::size_t>(size));
    if (size == 0)
    {
        return S_OK;
    }
    return VxnGetAttribute(node, name.c_str(), nullptr, attribute.value.data(), &size, &type);
}

HRESULT ReadTree(IVXNode* node, InputNode& tree, std::size_t depth)
{
    if (depth > kMaxTreeDepth)
    {
        return E_INVALIDARG;
    }
    HRESULT hr = ReadNodeType(node, tree.type);
    if (FAILED(hr))
    {
        return hr;
    }
    std::wstring names;
    hr = ReadText([&](wchar_t* b, std::uint32_t* l) { return VxnGetAttributeNames(node, b, l); }, names);
    if (FAILED(hr))
    {
        return hr;
    }
    for (std::size_t start = 0; start < names.size();)
    {
        std::size_t end = names.find(L'\0', start);
        if (end == std::wstring::npos)
        {
            end = names.size();
        }
        if (end > start)
        {
            Attribute attribute;
            hr = ReadAttribute(node, names.substr(start, end - start), attribute);
            if (FAILED(hr))
            {
                return hr;
            }
            tree.attributes.push_back(std::move(attribute));
        }
        start = end + 1;
    }
    std::uint64_t count = 0;
    hr = VxnGetChildCount(node, &count);
    if (FAILED(hr))
    {
        return hr;
    }
    tree.children.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i)
    {
        NodeHandle child;
        hr = VxnGetChildByIndex(node, i, child.Out());
        if (FAILED(hr))
        {
            return hr;
        }
        InputNode input;
        hr = ReadNodeName(child.Get(), VXN_NAME_OWN, input.name);
        if (FAILED(hr))
        {
            return hr;
        }
        if (!IsValidName(input.name))
        {
            return E_INVALIDARG;
        }
        hr = ReadTree(child.Get(), input, depth + 1);
        if (FAILED(hr))
        {
            return hr;
        }
        tree.children.push_back(std::move(input));
    }
    return S_OK;
}

template <typename T> HRESULT ReadFixed(IVXNode* node, const wchar_t* name, std::uint16_t code, T& value)
{
    std::uint64_t size = 0;
    std::uint16_t type = 0;
    HRESULT hr = VxnGetAttribute(node, name, nullptr, nullptr, &size, &type);
    if (FAILED(hr))
    {
        return hr;
    }
    if (type != code || size != sizeof(T))
    {
        return E_INVALIDARG;
    }
    return VxnGetAttribute(node, name, nullptr, &value, &size, &type);
}

HRESULT Build(const Node& node, const std::wstring& name, std::uint64_t depth, IVXNode** result)
{
    NodeHandle created;
    HRESULT hr = VxnCreateNode(name.c_str(), node.type.c_str(), created.Out());
    if (FAILED(hr))
    {
        return hr;
    }
    for (const auto& attribute : node.attributes)
    {
        hr = VxnSetAttribute(created.Get(), attribute.name.c_str(), attribute.type,
                             attribute.value.empty() ? nullptr : attribute.value.data(),
                             attribute.value.size());
        if (FAILED(hr))
        {
            return hr;
        }
    }
    if (depth > 0)
    {
        node.children.ForEach(
            [&](const Node& child)
            {
                if (FAILED(hr))
                {
                    return;
                }
                NodeHandle built;
                hr = Build(child, child.name, depth - 1, built.Out());
                if (SUCCEEDED(hr))
                {
                    hr = VxnAddChild(created.Get(), built.Get());
                }
            });
        if (FAILED(hr))
        {
            return hr;
        }
    }
    *result = created.Detach();
    return S_OK;
}

} // namespace

HRESULT ReadNodeName(IVXNode* node, std::uint32_t kind, std::wstring& name)
{
    return ReadText([&](wchar_t* b, std::uint32_t* l) { return VxnGetNodeName(node, kind, b, l); }, name);
}

HRESULT ReadNodeType(IVXNode* node, std::wstring& type)
{
    return ReadText([&](wchar_t* b, std::uint32_t* l) { return VxnGetNodeType(node, b, l); }, type);
}

HRESULT ReadStringAttribute(IVXNode* node, const wchar_t* name, std::wstring& value)
{
    Attribute attribute;
    HRESULT hr = ReadAttribute(node, name, attribute);
    if (FAILED(hr))
    {
        return hr;
    }
    if (attribute.type != VXN_ATTR_STRING || attribute.value.size() % 2 != 0 || attribute.value.size() < 2)
    {
        return E_INVALIDARG;
    }
    value = Platform::FromUtf16Le(attribute.value.data(), attribute.value.size());
    value.resize(std::min(value.size(), value.find(L'\0')));
    return S_OK;
}

HRESULT ReadInt64Attribute(IVXNode* node, const wchar_t* name, std::int64_t& value)
{
    return ReadFixed(node, name, VXN_ATTR_INT64, value);
}

HRESULT ReadBoolAttribute(IVXNode* node, const wchar_t* name, bool& value)
{
    std::uint8_t byte = 0;
    HRESULT hr = ReadFixed(node, name, VXN_ATTR_BOOL, byte);
    value = byte != 0;
    return hr;
}

HRESULT ReadInputTree(IVXNode* node, InputNode& tree)
{
    HRESULT hr = ReadNodeName(node, VXN_NAME_OWN, tree.name);
    return FAILED(hr) ? hr : ReadTree(node, tree, 0);
}

HRESULT MakeDataNode(const Node& node, const std::wstring& name, std::uint64_t depth, IVXNode** result)
{
    *result = nullptr;
    return Build(node, name, depth, result);
}

} // namespace ConfigServer
