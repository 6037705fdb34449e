// Between data layer nodes (what callers hand in and get back) and the server's own tree.
#pragma once

#include "Platform/ConfigServer/Tree.h"
#include "Tessel.h"

namespace ConfigServer
{

HRESULT ReadNodeName(IVXNode* node, std::uint32_t kind, std::wstring& name);
HRESULT ReadNodeType(IVXNode* node, std::wstring& type);
// An attribute of a query or request node; HR_NOT_FOUND when absent, E_INVALIDARG when its type
// code is not the expected one.
HRESULT ReadStringAttribute(IVXNode* node, const wchar_t* name, std::wstring& value);
HRESULT ReadInt64Attribute(IVXNode* node, const wchar_t* name, std::int64_t& value);
HRESULT ReadBoolAttribute(IVXNode* node, const wchar_t* name, bool& value);

// Copies a caller's node and its whole subtree. Children need a valid name; deeper than
// kMaxTreeDepth is refused (E_INVALIDARG).
HRESULT ReadInputTree(IVXNode* node, InputNode& tree);

// A new detached data layer node with the node's type, attributes and depth levels of children.
HRESULT MakeDataNode(const Node& node, const std::wstring& name, std::uint64_t depth, IVXNode** result);

} // namespace ConfigServer
