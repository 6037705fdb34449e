// How stores write a node's own content (order key, type, attributes) as bytes; every store
// keeps the same form.
#pragma once

#include "Platform/ConfigServer/Tree.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ConfigServer
{

// One node as a store holds it: its full path and its own content, without children.
struct StoredNode
{
    std::wstring path;
    std::uint64_t order = 0;
    std::wstring type;
    std::vector<Attribute> attributes;
};

// Per attribute: name length and UTF-8 name, type code, value length and value bytes
// (little-endian 32-bit lengths).
std::vector<std::uint8_t> EncodeAttributes(const std::vector<Attribute>& attributes);
bool DecodeAttributes(const void* data, std::size_t size, std::vector<Attribute>& attributes);

// A node's own content in one value: "RN1", 64-bit order key, 32-bit type length, UTF-8 type,
// then the attributes as above.
std::string EncodeNodeValue(const Node& node);
// Fills all but the path; false for bytes that are not such a value.
bool DecodeNodeValue(std::string_view value, StoredNode& node);

} // namespace ConfigServer
