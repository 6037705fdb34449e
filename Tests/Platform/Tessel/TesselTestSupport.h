// An owning node handle with builders and readers, so the data layer tests (and the configuration
// server tests built on them) read as what they check. Builders expect every call to succeed.
#pragma once

#include "Platform/Core/Text.h"
#include "Tessel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport
{

class Vx
{
public:
    Vx() = default;
    explicit Vx(const wchar_t* name, const wchar_t* type = nullptr)
    {
        Check(VxnCreateNode(name, type, &m_node));
    }
    Vx(Vx&& other) noexcept : m_node(std::exchange(other.m_node, nullptr)) {}
    Vx& operator=(Vx&& other) noexcept
    {
        std::swap(m_node, other.m_node);
        return *this;
    }
    ~Vx() { Reset(); }
    void Reset()
    {
        if (m_node != nullptr)
        {
            VxnCloseNodeHandle(std::exchange(m_node, nullptr));
        }
    }
    IVXNode* Get() const { return m_node; }
    IVXNode** Out()
    {
        Reset();
        return &m_node;
    }
    explicit operator bool() const { return m_node != nullptr; }

    Vx& Set(const wchar_t* name, std::uint16_t code, const std::string& bytes)
    {
        return Check(VxnSetAttribute(m_node, name, code, bytes.data(), bytes.size()));
    }
    Vx& Str(const wchar_t* name, const std::wstring& value)
    {
        return Set(name, VXN_ATTR_STRING, Platform::ToUtf16Le(value) + std::string(2, '\0'));
    }
    Vx& I64(const wchar_t* name, std::int64_t value)
    {
        return Set(name, VXN_ATTR_INT64, std::string(reinterpret_cast<const char*>(&value), sizeof value));
    }
    Vx& Path(const std::wstring& fullPath)
    {
        return Check(VxnSetNodeName(m_node, VXN_NAME_FULL_PATH, fullPath.c_str()));
    }
    Vx& Add(const Vx& child) { return Check(VxnAddChild(m_node, child.Get())); }

    std::string Bytes(const wchar_t* name, std::uint16_t* type = nullptr) const
    {
        std::uint64_t size = 0;
        EXPECT_EQ(S_OK, VxnGetAttribute(m_node, name, nullptr, nullptr, &size, nullptr)) << name;
        std::string bytes(size, '\0');
        EXPECT_EQ(S_OK, VxnGetAttribute(m_node, name, nullptr, bytes.data(), &size, type));
        return bytes;
    }
    std::wstring GetStr(const wchar_t* name) const
    {
        std::string bytes = Bytes(name);
        return Platform::FromUtf16Le(bytes.data(), bytes.size()).c_str(); // up to the terminator
    }
    std::int64_t GetI64(const wchar_t* name) const
    {
        std::int64_t value = -1;
        std::string bytes = Bytes(name);
        std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
        return value;
    }
    std::wstring Name(std::uint32_t kind = VXN_NAME_OWN) const
    {
        std::uint32_t length = 0;
        VxnGetNodeName(m_node, kind, nullptr, &length);
        std::wstring text(length, L'\0');
        EXPECT_EQ(S_OK, VxnGetNodeName(m_node, kind, text.data(), &length));
        return text.c_str();
    }
    std::wstring FullPath() const { return Name(VXN_NAME_FULL_PATH); }
    std::uint64_t ChildCount() const
    {
        std::uint64_t count = 0;
        EXPECT_EQ(S_OK, VxnGetChildCount(m_node, &count));
        return count;
    }
    // Both lookups give an empty handle when there is no such child.
    Vx At(std::uint64_t index) const { return Found(VxnGetChildByIndex, index); }
    Vx Child(const wchar_t* name) const { return Found(VxnGetChildByName, name); }

private:
    Vx& Check(HRESULT hr)
    {
        EXPECT_EQ(S_OK, hr);
        return *this;
    }
    template <class Key> Vx Found(HRESULT (*lookup)(IVXNode*, Key, IVXNode**), Key key) const
    {
        Vx child;
        lookup(m_node, key, child.Out());
        return child;
    }

    IVXNode* m_node = nullptr;
};

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

inline Vx Parse(const std::string& text)
{
    Vx node;
    std::uint64_t line = 0, column = 0;
    EXPECT_EQ(S_OK, VxnParseNodes(text.data(), text.size(), node.Out(), &line, &column)) << text;
    return node;
}

} // namespace TestSupport
