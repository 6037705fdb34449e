// The JSON form of a configuration node, as the service speaks it:
//   {"name": "...", "path": "\\A\\B", "type": "...",
//    "attributes": [{"name": "...", "type": "int64", "value": 5}, ...],
//    "children": [ <node>, ... ]}
// Attribute types: "empty" (value null or absent), "astring" (a string of code points up to
// U+00FF, one byte each), "string", "int32", "int64", "bool", "guid" (braced text), "string[]",
// "int64[]", and "raw" ({"code": N, "value": "<hex bytes>"}) for values that none of the others
// can carry byte for byte. Attributes and children keep their order. "path" is the full path;
// when parsing, only the top node's counts, and a node without one is detached below the root.
#pragma once

#include "Tessel.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace HostCommon
{
// Owns one data layer handle.
class NodeHandle
{
public:
    NodeHandle() = default;
    explicit NodeHandle(IVXNode* node) noexcept : m_node(node) {}
    NodeHandle(NodeHandle&& other) noexcept : m_node(std::exchange(other.m_node, nullptr)) {}
    NodeHandle& operator=(NodeHandle&& other) noexcept
    {
        if (this != &other)
        {
            Reset();
            m_node = std::exchange(other.m_node, nullptr);
        }
        return *this;
    }
    NodeHandle(const NodeHandle&) = delete;
    NodeHandle& operator=(const NodeHandle&) = delete;
    ~NodeHandle() { Reset(); }

    void Reset() noexcept
    {
        if (IVXNode* node = std::exchange(m_node, nullptr))
        {
            VxnCloseNodeHandle(node);
        }
    }
    IVXNode** Out() noexcept
    {
        Reset();
        return &m_node;
    }
    IVXNode* Get() const noexcept { return m_node; }
    IVXNode* Detach() noexcept { return std::exchange(m_node, nullptr); }
    explicit operator bool() const noexcept { return m_node != nullptr; }

private:
    IVXNode* m_node = nullptr;
};

// Nesting of nodes the JSON form accepts (the configuration server stores no deeper trees).
constexpr std::size_t kMaxJsonNodeDepth = 512;

// Parses a node. Malformed JSON, or a document that is not a node, gives E_INVALIDARG with the
// reason in detail; a refusal of the data layer gives its code.
HRESULT ParseNodeJson(std::string_view text, NodeHandle& node, std::string& detail);
HRESULT NodeFromJson(const nlohmann::json& value, NodeHandle& node, std::string& detail);

// Appends the JSON form of the node and its whole subtree.
HRESULT RenderNodeJson(IVXNode* node, std::string& out);

// Sets a text attribute (UTF-16LE with its terminator in the data layer).
HRESULT SetStringAttribute(IVXNode* node, const wchar_t* name, std::wstring_view value);

// Appends text as a JSON string (quotes included).
void AppendJsonString(std::string& out, std::string_view utf8);
} // namespace HostCommon
