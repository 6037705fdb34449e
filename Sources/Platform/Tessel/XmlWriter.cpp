// Serialization format 1: one element per node, one line per element, "\r\n" line ends.
//   <node name="Root" type="Settings" path="\Root">
//     <attr name="Server" code="2">db01</attr>
//     <attr name="Names" code="258"><s>a</s><s>b</s></attr>
//     <node name="Child" type=""/>
//   </node>
// Values are written in a readable form when that form gives back the same bytes, else as hex.
#include "Platform/Tessel/Xml.h"
#include "Platform/Tessel/XmlText.h"

#include <algorithm>
#include <cstring>

namespace Tessel
{
HRESULT CheckAttributeValue(std::uint16_t type, const void* value, std::uint64_t size) noexcept
{
    const auto* bytes = static_cast<const unsigned char*>(value);
    auto endsWithWideNul = [&] { return size >= 2 && bytes[size - 1] == 0 && bytes[size - 2] == 0; };
    bool fits = true;
    switch (type)
    {
    case VXN_ATTR_EMPTY:
        fits = size == 0;
        break;
    case VXN_ATTR_ASTRING:
        fits = size >= 1 && bytes[size - 1] == 0;
        break;
    case VXN_ATTR_STRING:
        fits = size % 2 == 0 && endsWithWideNul();
        break;
    case VXN_ATTR_INT32:
        fits = size == 4;
        break;
    case VXN_ATTR_INT64:
        fits = size == 8;
        break;
    case VXN_ATTR_BOOL:
        fits = size == 1;
        break;
    case VXN_ATTR_GUID:
        fits = size == 16;
        break;
    case VXN_ATTR_STRING_ARRAY:
        fits = size % 2 == 0 && (size == 0 || endsWithWideNul());
        break;
    case VXN_ATTR_INT64_ARRAY:
        fits = size % 8 == 0;
        break;
    default:
        break;
    }
    return fits ? S_OK : E_INVALIDARG;
}

namespace
{
// Indentation stops growing at some depth so that very deep trees keep a linear size.
constexpr std::size_t kMaxIndentLevel = 32;

void Indent(std::string& out, std::size_t level)
{
    out.append(std::min(level, kMaxIndentLevel) * 2, ' ');
}

void AppendQuoted(std::string& out, const char* key, std::wstring_view value)
{
    out += ' ';
    out += key;
    out += "=\"";
    AppendEscapedWide(out, value);
    out += '"';
}

void AppendHex(std::string& out, std::string_view bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    for (unsigned char b : bytes)
    {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
}

template <class T> T Load(const char* data)
{
    T value;
    std::memcpy(&value, data, sizeof(T));
    return value;
}

// Escaped UTF-16LE text (no terminator): valid pairs become characters, lone surrogates
// character references, so every unit comes back.
void AppendUtf16(std::string& out, const char* data, std::size_t bytes)
{
    std::size_t units = bytes / 2;
    for (std::size_t i = 0; i < units; ++i)
    {
        std::uint32_t unit = Load<std::uint16_t>(data + i * 2);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units)
        {
            std::uint32_t low = Load<std::uint16_t>(data + (i + 1) * 2);
            if (low >= 0xDC00 && low <= 0xDFFF)
            {
                AppendEscapedChar(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendEscapedChar(out, unit);
    }
}

// Returns false when the value needs the hex form.
bool AppendReadableValue(std::string& out, const Attribute& attribute)
{
    const std::string_view bytes = attribute.Bytes();
    switch (attribute.Type())
    {
    case VXN_ATTR_ASTRING:
    {
        std::u32string chars;
        if (!DecodeUtf8(std::string_view(bytes.data(), bytes.size() - 1), chars))
        {
            return false;
        }
        for (char32_t c : chars)
        {
            AppendEscapedChar(out, c);
        }
        return true;
    }
    case VXN_ATTR_STRING:
        AppendUtf16(out, bytes.data(), bytes.size() - 2);
        return true;
    case VXN_ATTR_INT32:
        out += std::to_string(Load<std::int32_t>(bytes.data()));
        return true;
    case VXN_ATTR_INT64:
        out += std::to_string(Load<std::int64_t>(bytes.data()));
        return true;
    case VXN_ATTR_BOOL:
        if (static_cast<unsigned char>(bytes[0]) > 1)
        {
            return false;
        }
        out += bytes[0] != 0 ? "true" : "false";
        return true;
    case VXN_ATTR_GUID:
        AppendGuid(out, Load<GUID>(bytes.data()));
        return true;
    case VXN_ATTR_STRING_ARRAY:
    {
        if (bytes.empty())
        {
            return true;
        }
        // Items end at each NUL unit; the last NUL ends the last item.
        std::size_t start = 0;
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        {
            if (bytes[i] == 0 && bytes[i + 1] == 0)
            {
                out += "<s>";
                AppendUtf16(out, bytes.data() + start, i - start);
                out += "</s>";
                start = i + 2;
            }
        }
        return true;
    }
    case VXN_ATTR_INT64_ARRAY:
        for (std::size_t i = 0; i < bytes.size(); i += 8)
        {
            if (i != 0)
            {
                out += ' ';
            }
            out += std::to_string(Load<std::int64_t>(bytes.data() + i));
        }
        return true;
    default:
        return false;
    }
}

void WriteAttribute(std::string& out, const Attribute& attribute, std::size_t level)
{
    Indent(out, level);
    out += "<attr";
    AppendQuoted(out, "name", attribute.Name());
    out += " code=\"";
    out += std::to_string(attribute.Type());
    out += '"';
    if (attribute.Type() == VXN_ATTR_EMPTY)
    {
        out += "/>\r\n";
        return;
    }
    std::size_t mark = out.size();
    out += '>';
    if (!AppendReadableValue(out, attribute))
    {
        out.resize(mark);
        out += " encoding=\"hex\">";
        AppendHex(out, attribute.Bytes());
    }
    out += "</attr>\r\n";
}
} // namespace

void WriteNodeXml(std::string& out, const Node* top, std::uint64_t depth)
{
    struct Frame
    {
        const Node* node;
        std::size_t nextChild;
    };
    std::vector<Frame> open;
    // Taken here, where the analysis sees the caller's lock; only the top element carries it.
    const std::wstring topPath = FullPath(top);
    auto openNode = [&](const Node* node)
    {
        std::size_t level = open.size();
        Indent(out, level);
        out += "<node";
        AppendQuoted(out, "name", node->name);
        AppendQuoted(out, "type", node->type);
        if (level == 0)
        {
            AppendQuoted(out, "path", topPath);
        }
        bool writesChildren = level < depth && node->children.Size() != 0;
        if (node->attributes.empty() && !writesChildren)
        {
            out += "/>\r\n";
            return;
        }
        out += ">\r\n";
        for (const Attribute& attribute : node->attributes)
        {
            WriteAttribute(out, attribute, level + 1);
        }
        open.push_back({node, writesChildren ? 0 : node->children.Size()});
    };

    openNode(top);
    while (!open.empty())
    {
        Frame& frame = open.back();
        if (frame.nextChild < frame.node->children.Size())
        {
            openNode(frame.node->children.At(frame.nextChild++));
            continue;
        }
        open.pop_back();
        Indent(out, open.size());
        out += "</node>\r\n";
    }
}
} // namespace Tessel
