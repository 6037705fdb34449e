// Text form of nodes (serialization format 1) and the value rules shared with the setters.
#pragma once

#include "Platform/Tessel/Node.h"

#include <string>
#include <string_view>

namespace Tessel
{
// S_OK when the byte size fits the type code, E_INVALIDARG otherwise.
HRESULT CheckAttributeValue(std::uint16_t type, const void* value, std::uint64_t size) noexcept;

// Appends one node element and depth levels of its subtree. The top element carries the full path.
void WriteNodeXml(std::string& out, const Node* node, std::uint64_t depth) RSM_REQUIRES_SHARED(g_treeLock);

struct ParseError
{
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    std::wstring message;
};

// Builds a detached tree from the text; HR_INVALID_DATA with the error filled on a syntax error.
HRESULT ParseNodesXml(std::string_view text, Node** root, ParseError& error);
} // namespace Tessel
