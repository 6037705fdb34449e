#include "Programs/HostCommon/NodeJson.h"

#include "Programs/HostCommon/HostText.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace HostCommon
{
namespace
{
using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// Rendering

void AppendCodePoint(std::string& out, char32_t c)
{
    switch (c)
    {
    case '"':
        out += "\\\"";
        return;
    case '\\':
        out += "\\\\";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\t':
        out += "\\t";
        return;
    default:
        break;
    }
    if (c < 0x20)
    {
        char escape[8];
        std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
        out += escape;
        return;
    }
    AppendUtf8(out, c);
}

void AppendWideString(std::string& out, std::wstring_view text)
{
    out += '"';
    for (wchar_t c : text)
    {
        AppendCodePoint(out, static_cast<char32_t>(c));
    }
    out += '"';
}

std::uint16_t Unit(const Bytes& bytes, std::size_t i)
{
    return static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8));
}

// UTF-16LE units [begin, end) as code points; false when a surrogate stands alone.
bool DecodeUtf16(const Bytes& bytes, std::size_t begin, std::size_t end, std::u32string& out)
{
    out.clear();
    for (std::size_t i = begin; i < end; i += 2)
    {
        const std::uint16_t unit = Unit(bytes, i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 2 < end)
        {
            const std::uint16_t low = Unit(bytes, i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF)
            {
                out += static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF)
        {
            return false;
        }
        out += unit;
    }
    return true;
}

void AppendCodePoints(std::string& out, std::u32string_view text)
{
    out += '"';
    for (char32_t c : text)
    {
        AppendCodePoint(out, c);
    }
    out += '"';
}

template <typename T> T Load(const Bytes& bytes, std::size_t offset = 0)
{
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

void AppendGuid(std::string& out, const GUID& g)
{
    char text[48];
    std::snprintf(text, sizeof(text), "\"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\"", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    out += text;
}

bool EndsWithWideNul(const Bytes& bytes)
{
    return bytes.size() >= 2 && bytes.size() % 2 == 0 && bytes[bytes.size() - 1] == 0 &&
           bytes[bytes.size() - 2] == 0;
}

// The typed form of a value, or false when only "raw" carries it byte for byte.
bool AppendTypedValue(std::string& out, std::uint16_t code, const Bytes& bytes)
{
    std::u32string text;
    switch (code)
    {
    case VXN_ATTR_EMPTY:
        if (!bytes.empty())
        {
            return false;
        }
        out += "\"empty\",\"value\":null";
        return true;
    case VXN_ATTR_ASTRING:
        if (bytes.empty() || bytes.back() != 0)
        {
            return false;
        }
        out += "\"astring\",\"value\":";
        text.assign(bytes.begin(), bytes.end() - 1);
        AppendCodePoints(out, text);
        return true;
    case VXN_ATTR_STRING:
        if (!EndsWithWideNul(bytes) || !DecodeUtf16(bytes, 0, bytes.size() - 2, text))
        {
            return false;
        }
        out += "\"string\",\"value\":";
        AppendCodePoints(out, text);
        return true;
    case VXN_ATTR_INT32:
        if (bytes.size() != 4)
        {
            return false;
        }
        out += "\"int32\",\"value\":" + std::to_string(Load<std::int32_t>(bytes));
        return true;
    case VXN_ATTR_INT64:
        if (bytes.size() != 8)
        {
            return false;
        }
        out += "\"int64\",\"value\":" + std::to_string(Load<std::int64_t>(bytes));
        return true;
    case VXN_ATTR_BOOL:
        if (bytes.size() != 1 || bytes[0] > 1)
        {
            return false;
        }
        out += bytes[0] != 0 ? "\"bool\",\"value\":true" : "\"bool\",\"value\":false";
        return true;
    case VXN_ATTR_GUID:
        if (bytes.size() != 16)
        {
            return false;
        }
        out += "\"guid\",\"value\":";
        AppendGuid(out, Load<GUID>(bytes));
        return true;
    case VXN_ATTR_STRING_ARRAY:
    {
        if (!bytes.empty() && !EndsWithWideNul(bytes))
        {
            return false;
        }
        std::string items;
        std::size_t start = 0;
        for (std::size_t i = 0; i < bytes.size(); i += 2)
        {
            if (Unit(bytes, i) != 0)
            {
                continue;
            }
            if (!DecodeUtf16(bytes, start, i, text))
            {
                return false;
            }
            items += items.empty() ? "" : ",";
            AppendCodePoints(items, text);
            start = i + 2;
        }
        out += "\"string[]\",\"value\":[" + items + "]";
        return true;
    }
    case VXN_ATTR_INT64_ARRAY:
        if (bytes.size() % 8 != 0)
        {
            return false;
        }
        out += "\"int64[]\",\"value\":[";
        for (std::size_t i = 0; i < bytes.size(); i += 8)
        {
            out += i == 0 ? "" : ",";
            out += std::to_string(Load<std::int64_t>(bytes, i));
        }
        out += ']';
        return true;
    default:
        return false;
    }
}

void AppendRawValue(std::string& out, std::uint16_t code, const Bytes& bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    out += "\"raw\",\"code\":" + std::to_string(code) + ",\"value\":\"";
    for (std::uint8_t b : bytes)
    {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    out += '"';
}

// Reads a text of the data layer: a stack buffer first, then one of the size it asks for.
template <typename Read> HRESULT ReadWide(Read read, std::wstring& out)
{
    wchar_t buffer[128];
    std::uint32_t length = 128;
    HRESULT hr = read(buffer, &length);
    if (SUCCEEDED(hr))
    {
        out.assign(buffer, length == 0 ? 0 : length - 1);
        return hr;
    }
    if (hr != HR_INSUFFICIENT_BUFFER)
    {
        return hr;
    }
    out.assign(length, L'\0');
    hr = read(out.data(), &length);
    if (FAILED(hr))
    {
        return hr;
    }
    out.resize(length == 0 ? 0 : length - 1);
    return hr;
}

HRESULT AppendNodeHead(std::string& out, IVXNode* node, Bytes& buffer)
{
    std::wstring text;
    HRESULT hr = ReadWide(
        [&](wchar_t* b, std::uint32_t* l) { return VxnGetNodeName(node, VXN_NAME_OWN, b, l); }, text);
    if (FAILED(hr))
    {
        return hr;
    }
    out += "{\"name\":";
    AppendWideString(out, text);
    hr = ReadWide(
        [&](wchar_t* b, std::uint32_t* l) { return VxnGetNodeName(node, VXN_NAME_FULL_PATH, b, l); }, text);
    if (FAILED(hr))
    {
        return hr;
    }
    out += ",\"path\":";
    AppendWideString(out, text);
    hr = ReadWide([&](wchar_t* b, std::uint32_t* l) { return VxnGetNodeType(node, b, l); }, text);
    if (FAILED(hr))
    {
        return hr;
    }
    out += ",\"type\":";
    AppendWideString(out, text);
    std::wstring names;
    hr = ReadWide([&](wchar_t* b, std::uint32_t* l) { return VxnGetAttributeNames(node, b, l); }, names);
    if (FAILED(hr))
    {
        return hr;
    }
    out += ",\"attributes\":[";
    std::size_t start = 0;
    bool first = true;
    while (start < names.size())
    {
        std::size_t end = names.find(L'\0', start);
        if (end == std::wstring::npos)
        {
            end = names.size();
        }
        const std::wstring name = names.substr(start, end - start);
        start = end + 1;
        std::uint64_t size = buffer.size();
        std::uint16_t code = 0;
        hr = VxnGetAttribute(node, name.c_str(), nullptr, buffer.data(), &size, &code);
        if (hr == HR_INSUFFICIENT_BUFFER)
        {
            buffer.resize(static_cast<std::size_t>(size));
            hr = VxnGetAttribute(node, name.c_str(), nullptr, buffer.data(), &size, &code);
        }
        if (FAILED(hr))
        {
            return hr;
        }
        Bytes value(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
        out += first ? "{\"name\":" : ",{\"name\":";
        first = false;
        AppendWideString(out, name);
        out += ",\"type\":";
        if (!AppendTypedValue(out, code, value))
        {
            AppendRawValue(out, code, value);
        }
        out += '}';
    }
    out += "],\"children\":[";
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Parsing

HRESULT Invalid(std::string& detail, std::string reason)
{
    detail = std::move(reason);
    return E_INVALIDARG;
}

bool ToWide(const Json& value, std::wstring& out)
{
    out = FromUtf8(value.get_ref<const std::string&>());
    return out.find(L'\0') == std::wstring::npos;
}

void AppendUtf16(Bytes& out, std::wstring_view text)
{
    for (wchar_t w : text)
    {
        auto c = static_cast<char32_t>(w);
        if (c >= 0x10000)
        {
            c -= 0x10000;
            const auto high = static_cast<std::uint16_t>(0xD800 + (c >> 10));
            const auto low = static_cast<std::uint16_t>(0xDC00 + (c & 0x3FF));
            out.insert(out.end(), {static_cast<std::uint8_t>(high), static_cast<std::uint8_t>(high >> 8),
                                   static_cast<std::uint8_t>(low), static_cast<std::uint8_t>(low >> 8)});
        }
        else
        {
            out.insert(out.end(), {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8)});
        }
    }
    out.insert(out.end(), {0, 0});
}

bool ReadInteger(const Json& value, std::int64_t minimum, std::int64_t maximum, std::int64_t& out)
{
    if (value.is_number_unsigned())
    {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(maximum))
        {
            return false;
        }
        out = static_cast<std::int64_t>(u);
        return true;
    }
    if (!value.is_number_integer())
    {
        return false;
    }
    out = value.get<std::int64_t>();
    return out >= minimum && out <= maximum;
}

int HexDigit(char c)
{
    return Platform::HexDigitValue(static_cast<wchar_t>(static_cast<unsigned char>(c)));
}

// Hexadecimal digits to bytes; false on an odd count or another character.
bool ReadHex(std::string_view text, Bytes& out)
{
    if (text.size() % 2 != 0)
    {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); i += 2)
    {
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0)
        {
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" to the 16 bytes of a GUID.
bool ReadGuid(std::string_view text, Bytes& out)
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-')
    {
        return false;
    }
    Bytes digits;
    std::string joined;
    for (std::size_t i = 1; i < 37; ++i)
    {
        if (i != 9 && i != 14 && i != 19 && i != 24)
        {
            joined += text[i];
        }
    }
    if (!ReadHex(joined, digits))
    {
        return false;
    }
    GUID g{};
    g.Data1 = static_cast<std::uint32_t>(digits[0]) << 24 | digits[1] << 16 | digits[2] << 8 | digits[3];
    g.Data2 = static_cast<std::uint16_t>(digits[4] << 8 | digits[5]);
    g.Data3 = static_cast<std::uint16_t>(digits[6] << 8 | digits[7]);
    std::memcpy(g.Data4, digits.data() + 8, 8);
    out.resize(16);
    std::memcpy(out.data(), &g, 16);
    return true;
}

// The code and bytes of one attribute's value.
HRESULT ReadAttributeValue(const Json& attribute, const std::string& type, std::uint16_t& code, Bytes& bytes,
                           std::string& detail)
{
    const bool hasValue = attribute.contains("value");
    const Json& value = hasValue ? attribute["value"] : attribute; // not read when absent
    if (type == "empty")
    {
        code = VXN_ATTR_EMPTY;
        return !hasValue || value.is_null() ? S_OK : Invalid(detail, "an \"empty\" attribute has no value");
    }
    if (!hasValue)
    {
        return Invalid(detail, "attribute without a value");
    }
    const std::string bad = "the value does not fit the attribute type \"" + type + "\"";
    std::wstring text;
    if (type == "astring")
    {
        code = VXN_ATTR_ASTRING;
        if (!value.is_string())
        {
            return Invalid(detail, bad);
        }
        for (wchar_t c : FromUtf8(value.get_ref<const std::string&>()))
        {
            if (static_cast<char32_t>(c) > 0xFF)
            {
                return Invalid(detail, "an \"astring\" value holds only code points up to U+00FF");
            }
            bytes.push_back(static_cast<std::uint8_t>(c));
        }
        bytes.push_back(0);
        return S_OK;
    }
    if (type == "string")
    {
        code = VXN_ATTR_STRING;
        if (!value.is_string())
        {
            return Invalid(detail, bad);
        }
        AppendUtf16(bytes, FromUtf8(value.get_ref<const std::string&>()));
        return S_OK;
    }
    std::int64_t number = 0;
    if (type == "int32")
    {
        code = VXN_ATTR_INT32;
        if (!ReadInteger(value, std::numeric_limits<std::int32_t>::min(),
                         std::numeric_limits<std::int32_t>::max(), number))
        {
            return Invalid(detail, bad);
        }
        const auto narrow = static_cast<std::int32_t>(number);
        bytes.resize(4);
        std::memcpy(bytes.data(), &narrow, 4);
        return S_OK;
    }
    if (type == "int64")
    {
        code = VXN_ATTR_INT64;
        if (!ReadInteger(value, std::numeric_limits<std::int64_t>::min(),
                         std::numeric_limits<std::int64_t>::max(), number))
        {
            return Invalid(detail, bad);
        }
        bytes.resize(8);
        std::memcpy(bytes.data(), &number, 8);
        return S_OK;
    }
    if (type == "bool")
    {
        code = VXN_ATTR_BOOL;
        if (!value.is_boolean())
        {
            return Invalid(detail, bad);
        }
        bytes.push_back(value.get<bool>() ? 1 : 0);
        return S_OK;
    }
    if (type == "guid")
    {
        code = VXN_ATTR_GUID;
        return value.is_string() && ReadGuid(value.get_ref<const std::string&>(), bytes)
                   ? S_OK
                   : Invalid(detail,
                             "a \"guid\" value is braced text: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}");
    }
    if (type == "string[]")
    {
        code = VXN_ATTR_STRING_ARRAY;
        if (!value.is_array())
        {
            return Invalid(detail, bad);
        }
        for (const Json& item : value)
        {
            if (!item.is_string() || !ToWide(item, text))
            {
                return Invalid(detail, "a \"string[]\" value is an array of strings without NUL characters");
            }
            AppendUtf16(bytes, text);
        }
        return S_OK;
    }
    if (type == "int64[]")
    {
        code = VXN_ATTR_INT64_ARRAY;
        if (!value.is_array())
        {
            return Invalid(detail, bad);
        }
        for (const Json& item : value)
        {
            if (!ReadInteger(item, std::numeric_limits<std::int64_t>::min(),
                             std::numeric_limits<std::int64_t>::max(), number))
            {
                return Invalid(detail, bad);
            }
            const std::size_t at = bytes.size();
            bytes.resize(at + 8);
            std::memcpy(bytes.data() + at, &number, 8);
        }
        return S_OK;
    }
    if (type == "raw")
    {
        std::int64_t rawCode = 0;
        if (!attribute.contains("code") || !ReadInteger(attribute["code"], 0, 0xFFFF, rawCode) ||
            !value.is_string() || !ReadHex(value.get_ref<const std::string&>(), bytes))
        {
            return Invalid(detail, "a \"raw\" attribute has a \"code\" (0 to 65535) and hexadecimal bytes");
        }
        code = static_cast<std::uint16_t>(rawCode);
        return S_OK;
    }
    return Invalid(detail, "unknown attribute type \"" + type + "\"");
}

HRESULT SetAttributeFromJson(IVXNode* node, const Json& attribute, std::string& detail)
{
    if (!attribute.is_object())
    {
        return Invalid(detail, "an attribute must be a JSON object");
    }
    for (const auto& member : attribute.items())
    {
        const std::string& key = member.key();
        if (key != "name" && key != "type" && key != "value" && key != "code")
        {
            return Invalid(detail, "unknown attribute member \"" + key + "\"");
        }
    }
    std::wstring name;
    if (!attribute.contains("name") || !attribute["name"].is_string() || !ToWide(attribute["name"], name) ||
        name.empty())
    {
        return Invalid(detail, "an attribute needs a non-empty \"name\" without NUL characters");
    }
    if (!attribute.contains("type") || !attribute["type"].is_string())
    {
        return Invalid(detail, "an attribute needs a \"type\"");
    }
    const auto& type = attribute["type"].get_ref<const std::string&>();
    if (attribute.contains("code") && type != "raw")
    {
        return Invalid(detail, "only a \"raw\" attribute has a \"code\"");
    }
    std::uint16_t code = 0;
    Bytes bytes;
    if (HRESULT hr = ReadAttributeValue(attribute, type, code, bytes, detail); FAILED(hr))
    {
        return hr;
    }
    const HRESULT hr =
        VxnSetAttribute(node, name.c_str(), code, bytes.empty() ? nullptr : bytes.data(), bytes.size());
    if (FAILED(hr))
    {
        detail = "the data layer refused attribute \"" + ToUtf8(name) + "\"";
    }
    return hr;
}

HRESULT BuildNode(const Json& value, std::size_t depth, NodeHandle& node, std::string& detail)
{
    if (!value.is_object())
    {
        return Invalid(detail, "a node must be a JSON object");
    }
    if (depth > kMaxJsonNodeDepth)
    {
        return Invalid(detail, "nodes nested deeper than " + std::to_string(kMaxJsonNodeDepth) + " levels");
    }
    for (const auto& member : value.items())
    {
        const std::string& key = member.key();
        if (key != "name" && key != "path" && key != "type" && key != "attributes" && key != "children")
        {
            return Invalid(detail, "unknown node member \"" + key + "\"");
        }
    }
    std::wstring name;
    std::wstring type;
    if (value.contains("name") && (!value["name"].is_string() || !ToWide(value["name"], name)))
    {
        return Invalid(detail, "a node's \"name\" is a string without NUL characters");
    }
    if (value.contains("type") && (!value["type"].is_string() || !ToWide(value["type"], type)))
    {
        return Invalid(detail, "a node's \"type\" is a string without NUL characters");
    }
    if (value.contains("path") && !value["path"].is_string())
    {
        return Invalid(detail, "a node's \"path\" is a string");
    }
    if (HRESULT hr = VxnCreateNode(name.c_str(), type.c_str(), node.Out()); FAILED(hr))
    {
        detail = "the data layer refused the node \"" + ToUtf8(name) + "\"";
        return hr;
    }
    if (value.contains("attributes"))
    {
        const Json& attributes = value["attributes"];
        if (!attributes.is_array())
        {
            return Invalid(detail, "\"attributes\" is an array");
        }
        for (const Json& attribute : attributes)
        {
            if (HRESULT hr = SetAttributeFromJson(node.Get(), attribute, detail); FAILED(hr))
            {
                return hr;
            }
        }
    }
    if (value.contains("children"))
    {
        const Json& children = value["children"];
        if (!children.is_array())
        {
            return Invalid(detail, "\"children\" is an array");
        }
        for (const Json& childValue : children)
        {
            NodeHandle child;
            if (HRESULT hr = BuildNode(childValue, depth + 1, child, detail); FAILED(hr))
            {
                return hr;
            }
            if (HRESULT hr = VxnAddChild(node.Get(), child.Get()); FAILED(hr))
            {
                detail = "the data layer refused a child";
                return hr;
            }
        }
    }
    return S_OK;
}

// The top node's full path: the text before its own name becomes the node's path prefix. The
// prefix is set through a placeholder name, since the own name may hold backslashes itself.
HRESULT ApplyPath(IVXNode* node, const Json& value, std::string& detail)
{
    std::wstring path;
    if (!ToWide(value["path"], path))
    {
        return Invalid(detail, "a node's \"path\" is a string without NUL characters");
    }
    std::wstring name;
    if (value.contains("name"))
    {
        ToWide(value["name"], name);
    }
    else
    {
        const std::size_t slash = path.rfind(L'\\');
        name = slash == std::wstring::npos ? path : path.substr(slash + 1);
        if (HRESULT hr = VxnSetNodeName(node, VXN_NAME_OWN, name.c_str()); FAILED(hr))
        {
            detail = "the data layer refused the node name";
            return hr;
        }
    }
    const std::wstring suffix = L"\\" + name;
    if (path.size() < suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
    {
        return Invalid(detail, "a node's \"path\" ends with a backslash and its name");
    }
    const std::wstring placeholder = path.substr(0, path.size() - suffix.size()) + L"\\_";
    HRESULT hr = VxnSetNodeName(node, VXN_NAME_FULL_PATH, placeholder.c_str());
    if (SUCCEEDED(hr))
    {
        hr = VxnSetNodeName(node, VXN_NAME_OWN, name.c_str());
    }
    if (FAILED(hr))
    {
        detail = "the data layer refused the node path";
    }
    return hr;
}
} // namespace

HRESULT SetStringAttribute(IVXNode* node, const wchar_t* name, std::wstring_view value)
{
    Bytes bytes;
    AppendUtf16(bytes, value);
    return VxnSetAttribute(node, name, VXN_ATTR_STRING, bytes.data(), bytes.size());
}

void AppendJsonString(std::string& out, std::string_view utf8)
{
    AppendWideString(out, FromUtf8(utf8));
}

HRESULT RenderNodeJson(IVXNode* node, std::string& out)
{
    struct Frame
    {
        NodeHandle node;
        std::uint64_t count = 0;
        std::uint64_t next = 0;
    };
    if (node == nullptr)
    {
        return E_POINTER;
    }
    Bytes buffer(256);
    std::vector<Frame> stack;
    // Each level holds its own handle, so that the walk needs no recursion however deep the tree is.
    auto open = [&](NodeHandle handle) -> HRESULT
    {
        Frame frame{std::move(handle)};
        HRESULT hr = AppendNodeHead(out, frame.node.Get(), buffer);
        if (SUCCEEDED(hr))
        {
            hr = VxnGetChildCount(frame.node.Get(), &frame.count);
        }
        if (SUCCEEDED(hr))
        {
            stack.push_back(std::move(frame));
        }
        return hr;
    };
    NodeHandle top;
    HRESULT hr = VxnDuplicateNodeHandle(node, top.Out());
    if (SUCCEEDED(hr))
    {
        hr = open(std::move(top));
    }
    while (SUCCEEDED(hr) && !stack.empty())
    {
        Frame& frame = stack.back();
        if (frame.next == frame.count)
        {
            out += "]}";
            stack.pop_back();
            continue;
        }
        if (frame.next != 0)
        {
            out += ',';
        }
        NodeHandle child;
        hr = VxnGetChildByIndex(frame.node.Get(), frame.next++, child.Out());
        if (SUCCEEDED(hr))
        {
            hr = open(std::move(child));
        }
    }
    return hr;
}

HRESULT NodeFromJson(const Json& value, NodeHandle& node, std::string& detail)
{
    node.Reset();
    NodeHandle built;
    HRESULT hr = BuildNode(value, 1, built, detail);
    if (SUCCEEDED(hr) && value.contains("path"))
    {
        hr = ApplyPath(built.Get(), value, detail);
    }
    if (SUCCEEDED(hr))
    {
        node = std::move(built);
    }
    return hr;
}

HRESULT ParseNodeJson(std::string_view text, NodeHandle& node, std::string& detail)
{
    node.Reset();
    Json value;
    try
    {
        value = Json::parse(text.begin(), text.end());
    }
    catch (const Json::exception& e)
    {
        return Invalid(detail, std::string("malformed JSON: ") + e.what());
    }
    try
    {
        return NodeFromJson(value, node, detail);
    }
    catch (const Json::exception& e)
    {
        return Invalid(detail, std::string("not a node: ") + e.what());
    }
}
} // namespace HostCommon
