#include "Platform/ConfigServer/Record.h"

#include "Platform/Core/Text.h"

#include <cstring>

namespace ConfigServer
{
namespace
{

constexpr std::string_view kValueMagic = "RN1";

template <typename Out> void PutLe(Out& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
    {
        out.push_back(static_cast<typename Out::value_type>(static_cast<std::uint8_t>(value >> (8 * i))));
    }
}

bool GetLe(const std::uint8_t*& p, const std::uint8_t* end, int bytes, std::uint64_t& value)
{
    if (end - p < bytes)
    {
        return false;
    }
    value = 0;
    for (int i = 0; i < bytes; ++i)
    {
        value |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    }
    p += bytes;
    return true;
}

} // namespace

std::vector<std::uint8_t> EncodeAttributes(const std::vector<Attribute>& attributes)
{
    std::vector<std::uint8_t> out;
    for (const auto& attribute : attributes)
    {
        std::string name = Platform::ToUtf8(attribute.name);
        PutLe(out, name.size(), 4);
        out.insert(out.end(), name.begin(), name.end());
        PutLe(out, attribute.type, 4);
        PutLe(out, attribute.value.size(), 4);
        out.insert(out.end(), attribute.value.begin(), attribute.value.end());
    }
    return out;
}

bool DecodeAttributes(const void* data, std::size_t size, std::vector<Attribute>& attributes)
{
    attributes.clear();
    const auto* p = static_cast<const std::uint8_t*>(data);
    const std::uint8_t* end = p + (data ? size : 0);
    while (p < end)
    {
        std::uint64_t length = 0;
        std::uint64_t type = 0;
        Attribute attribute;
        if (!GetLe(p, end, 4, length) || static_cast<std::uint64_t>(end - p) < length)
        {
            return false;
        }
        attribute.name = Platform::FromUtf8(std::string_view(reinterpret_cast<const char*>(p), length));
        p += length;
        if (!GetLe(p, end, 4, type) || !GetLe(p, end, 4, length) ||
            static_cast<std::uint64_t>(end - p) < length)
        {
            return false;
        }
        attribute.type = static_cast<std::uint16_t>(type);
        attribute.value.assign(p, p + length);
        p += length;
        attributes.push_back(std::move(attribute));
    }
    return true;
}

std::string EncodeNodeValue(const Node& node)
{
    std::string out(kValueMagic);
    PutLe(out, node.order, 8);
    const std::string type = Platform::ToUtf8(node.type);
    PutLe(out, type.size(), 4);
    out += type;
    const std::vector<std::uint8_t> attributes = EncodeAttributes(node.attributes);
    out.append(reinterpret_cast<const char*>(attributes.data()), attributes.size());
    return out;
}

bool DecodeNodeValue(std::string_view value, StoredNode& node)
{
    if (value.substr(0, kValueMagic.size()) != kValueMagic)
    {
        return false;
    }
    const auto* p = reinterpret_cast<const std::uint8_t*>(value.data()) + kValueMagic.size();
    const auto* end = reinterpret_cast<const std::uint8_t*>(value.data()) + value.size();
    std::uint64_t typeLength = 0;
    if (!GetLe(p, end, 8, node.order) || !GetLe(p, end, 4, typeLength) ||
        static_cast<std::uint64_t>(end - p) < typeLength)
    {
        return false;
    }
    node.type = Platform::FromUtf8(std::string_view(reinterpret_cast<const char*>(p), typeLength));
    p += typeLength;
    return DecodeAttributes(p, static_cast<std::size_t>(end - p), node.attributes);
}

} // namespace ConfigServer
