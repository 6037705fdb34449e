// Small owning wrappers so the tests read as what they check.
#pragma once

#include "Tessel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class Handle
{
public:
    Handle() = default;
    explicit Handle(IVXNode* node) : m_node(node) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : m_node(other.m_node) { other.m_node = nullptr; }
    Handle& operator=(Handle&& other) noexcept
    {
        std::swap(m_node, other.m_node);
        return *this;
    }
    ~Handle() { Reset(); }
    void Reset()
    {
        if (m_node != nullptr)
        {
            VxnCloseNodeHandle(m_node);
        }
        m_node = nullptr;
    }
    IVXNode* Get() const { return m_node; }
    IVXNode** Out()
    {
        Reset();
        return &m_node;
    }

private:
    IVXNode* m_node = nullptr;
};

inline Handle NewNode(const wchar_t* name, const wchar_t* type = nullptr)
{
    Handle node;
    EXPECT_EQ(S_OK, VxnCreateNode(name, type, node.Out()));
    return node;
}

inline Handle Child(IVXNode* parent, const wchar_t* name)
{
    Handle child;
    EXPECT_EQ(S_OK, VxnGetChildByName(parent, name, child.Out()));
    return child;
}

inline std::wstring Name(IVXNode* node, std::uint32_t kind = VXN_NAME_OWN)
{
    std::wstring text(16, L'\0');
    auto length = static_cast<std::uint32_t>(text.size());
    HRESULT hr = VxnGetNodeName(node, kind, text.data(), &length);
    if (hr == HR_INSUFFICIENT_BUFFER)
    {
        text.resize(length);
        hr = VxnGetNodeName(node, kind, text.data(), &length);
    }
    EXPECT_EQ(S_OK, hr);
    text.resize(length - 1);
    return text;
}

inline std::wstring Path(IVXNode* node)
{
    return Name(node, VXN_NAME_FULL_PATH);
}

inline void SetText(IVXNode* node, const wchar_t* name, const std::u16string& text)
{
    ASSERT_EQ(S_OK, VxnSetAttribute(node, name, VXN_ATTR_STRING, text.c_str(), (text.size() + 1) * 2));
}

inline std::string Bytes(IVXNode* node, const wchar_t* name, std::uint16_t* type = nullptr)
{
    std::uint64_t size = 0;
    EXPECT_EQ(S_OK, VxnGetAttribute(node, name, nullptr, nullptr, &size, nullptr));
    std::string bytes(size, '\0');
    EXPECT_EQ(S_OK, VxnGetAttribute(node, name, nullptr, bytes.data(), &size, type));
    return bytes;
}

inline HRESULT AppendChunk(const void* data, std::uint64_t size, void* context)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
    return S_OK;
}

inline std::string Serialize(std::vector<IVXNode*> nodes, std::uint64_t depth = VXN_DEPTH_ALL)
{
    std::string out;
    IVXSerializationContext* context = nullptr;
    EXPECT_EQ(S_OK, VxnStartSerialization(VXN_SERIALIZATION_XML, 0x101, AppendChunk, &out, &context));
    EXPECT_EQ(S_OK, VxnSerializeNodes(context, nodes.data(), nodes.size(), depth));
    EXPECT_EQ(S_OK, VxnFinalizeSerialization(context));
    VxnCloseSerializationContext(context);
    return out;
}

inline Handle Parse(const std::string& text)
{
    Handle node;
    std::uint64_t line = 0, column = 0;
    EXPECT_EQ(S_OK, VxnParseNodes(text.data(), text.size(), node.Out(), &line, &column)) << text;
    return node;
}
