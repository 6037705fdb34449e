// Reads the text form back: an optional "<nr>" frame around exactly one top <node> element.
// XML declarations and comments are skipped; anything else unexpected is a syntax error.
#include "Platform/Tessel/Xml.h"
#include "Platform/Tessel/XmlText.h"

#include <charconv>
#include <cstring>
#include <memory>

namespace Tessel
{
namespace
{
// Every element of the format has at most three attributes.
constexpr std::size_t kMaxTagAttributes = 8;

struct SyntaxError
{
    std::size_t offset;
    std::wstring message;
};

struct TreeOwner
{
    void operator()(Node* node) const noexcept { ReleaseDetached(node); }
};

struct TagAttribute
{
    std::string_view name;
    std::u32string value;
    std::size_t offset;
};

struct Tag
{
    std::string_view name;
    std::size_t offset = 0;
    std::vector<TagAttribute> attributes;
    bool selfClosing = false;
};

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ':' || c == '-' || c == '.';
}

std::wstring Widen(std::string_view text)
{
    return std::wstring(text.begin(), text.end());
}

class Parser
{
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    Node* Parse()
    {
        if (m_text.substr(0, 3) == "\xEF\xBB\xBF")
        {
            m_pos = 3;
        }
        SkipMisc();
        bool framed = false;
        if (LooksAtTag("nr"))
        {
            Tag frame = ReadStartTag();
            RejectAttributes(frame);
            if (frame.selfClosing)
            {
                Fail(frame.offset, L"no node inside <nr/>");
            }
            framed = true;
        }
        std::unique_ptr<Node, TreeOwner> root;
        for (;;)
        {
            SkipMisc();
            if (AtEnd())
            {
                if (framed)
                {
                    Fail(m_pos, L"missing </nr>");
                }
                break;
            }
            if (framed && Starts("</"))
            {
                ReadEndTag("nr");
                break;
            }
            std::size_t at = m_pos;
            if (!LooksAtTag("node"))
            {
                Fail(at, L"expected <node>");
            }
            if (root != nullptr)
            {
                Fail(at, L"more than one top node");
            }
            root.reset(ParseNode());
        }
        SkipMisc();
        if (!AtEnd())
        {
            Fail(m_pos, L"unexpected text after the last node");
        }
        if (root == nullptr)
        {
            Fail(m_pos, L"no node found");
        }
        return root.release();
    }

private:
    [[noreturn]] void Fail(std::size_t offset, std::wstring message)
    {
        throw SyntaxError{offset, std::move(message)};
    }

    bool AtEnd() const { return m_pos >= m_text.size(); }
    bool Starts(std::string_view prefix) const { return m_text.substr(m_pos, prefix.size()) == prefix; }

    bool LooksAtTag(std::string_view name) const
    {
        if (!Starts("<") || m_text.substr(m_pos + 1, name.size()) != name)
        {
            return false;
        }
        std::size_t after = m_pos + 1 + name.size();
        return after >= m_text.size() || !IsNameChar(m_text[after]);
    }

    void SkipSpace()
    {
        while (!AtEnd() && IsSpace(m_text[m_pos]))
        {
            ++m_pos;
        }
    }

    void SkipPast(std::string_view terminator, const wchar_t* what)
    {
        std::size_t found = m_text.find(terminator, m_pos);
        if (found == std::string_view::npos)
        {
            Fail(m_pos, std::wstring(L"unterminated ") + what);
        }
        m_pos = found + terminator.size();
    }

    // Whitespace, comments and processing instructions.
    void SkipMisc()
    {
        for (;;)
        {
            SkipSpace();
            if (Starts("<!--"))
            {
                SkipPast("-->", L"comment");
            }
            else if (Starts("<?"))
            {
                SkipPast("?>", L"declaration");
            }
            else
            {
                return;
            }
        }
    }

    void Expect(char c)
    {
        if (AtEnd() || m_text[m_pos] != c)
        {
            Fail(m_pos, std::wstring(L"expected '") + wchar_t(c) + L"'");
        }
        ++m_pos;
    }

    std::string_view ReadName()
    {
        std::size_t start = m_pos;
        while (!AtEnd() && IsNameChar(m_text[m_pos]))
        {
            ++m_pos;
        }
        if (start == m_pos)
        {
            Fail(m_pos, L"expected a name");
        }
        return m_text.substr(start, m_pos - start);
    }

    // Entities, character references and strict UTF-8.
    std::u32string Decode(std::size_t start, std::size_t end)
    {
        std::u32string out;
        out.reserve(end - start);
        std::size_t pos = start;
        while (pos < end)
        {
            char c = m_text[pos];
            if (c == '&')
            {
                std::size_t semicolon = m_text.find(';', pos);
                if (semicolon == std::string_view::npos || semicolon >= end || semicolon - pos > 12)
                {
                    Fail(pos, L"unterminated entity");
                }
                out += DecodeEntity(m_text.substr(pos + 1, semicolon - pos - 1), pos);
                pos = semicolon + 1;
                continue;
            }
            if (c == '<')
            {
                Fail(pos, L"'<' inside a value");
            }
            char32_t decoded;
            std::size_t used = DecodeUtf8Char(m_text.data() + pos, m_text.data() + end, decoded);
            if (used == 0)
            {
                Fail(pos, L"invalid UTF-8");
            }
            out += decoded;
            pos += used;
        }
        return out;
    }

    char32_t DecodeEntity(std::string_view entity, std::size_t at)
    {
        if (entity == "lt")
        {
            return U'<';
        }
        if (entity == "gt")
        {
            return U'>';
        }
        if (entity == "amp")
        {
            return U'&';
        }
        if (entity == "quot")
        {
            return U'"';
        }
        if (entity == "apos")
        {
            return U'\'';
        }
        if (entity.size() >= 2 && entity[0] == '#')
        {
            int base = 10;
            std::string_view digits = entity.substr(1);
            if (digits[0] == 'x' || digits[0] == 'X')
            {
                base = 16;
                digits = digits.substr(1);
            }
            std::uint32_t value = 0;
            auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
            if (!digits.empty() && result.ec == std::errc() && result.ptr == digits.data() + digits.size())
            {
                return value;
            }
        }
        Fail(at, L"unknown entity &" + Widen(entity) + L";");
    }

    Tag ReadStartTag()
    {
        Tag tag;
        tag.offset = m_pos;
        Expect('<');
        tag.name = ReadName();
        for (;;)
        {
            SkipSpace();
            if (AtEnd())
            {
                Fail(m_pos, L"unexpected end inside <" + Widen(tag.name) + L">");
            }
            if (m_text[m_pos] == '/')
            {
                ++m_pos;
                Expect('>');
                tag.selfClosing = true;
                return tag;
            }
            if (m_text[m_pos] == '>')
            {
                ++m_pos;
                return tag;
            }
            TagAttribute attribute;
            attribute.offset = m_pos;
            if (tag.attributes.size() == kMaxTagAttributes)
            {
                Fail(m_pos, L"too many attributes");
            }
            attribute.name = ReadName();
            for (const TagAttribute& seen : tag.attributes)
            {
                if (seen.name == attribute.name)
                {
                    Fail(attribute.offset, L"duplicate '" + Widen(attribute.name) + L"'");
                }
            }
            SkipSpace();
            Expect('=');
            SkipSpace();
            if (AtEnd() || (m_text[m_pos] != '"' && m_text[m_pos] != '\''))
            {
                Fail(m_pos, L"expected a quoted value");
            }
            char quote = m_text[m_pos++];
            std::size_t close = m_text.find(quote, m_pos);
            if (close == std::string_view::npos)
            {
                Fail(m_pos, L"unterminated value");
            }
            attribute.value = Decode(m_pos, close);
            m_pos = close + 1;
            tag.attributes.push_back(std::move(attribute));
        }
    }

    void ReadEndTag(std::string_view name)
    {
        std::size_t at = m_pos;
        if (!Starts("</") || m_text.substr(m_pos + 2, name.size()) != name)
        {
            Fail(at, L"expected </" + Widen(name) + L">");
        }
        m_pos += 2 + name.size();
        SkipSpace();
        Expect('>');
    }

    void RejectAttributes(const Tag& tag)
    {
        if (!tag.attributes.empty())
        {
            Fail(tag.attributes[0].offset, L"unknown attribute '" + Widen(tag.attributes[0].name) + L"'");
        }
    }

    std::wstring ToWide(const TagAttribute& attribute, std::size_t maxLength)
    {
        if (attribute.value.size() > maxLength)
        {
            Fail(attribute.offset, L"'" + Widen(attribute.name) + L"' is too long");
        }
        std::wstring out;
        out.reserve(attribute.value.size());
        for (char32_t c : attribute.value)
        {
            out += static_cast<wchar_t>(c);
        }
        return out;
    }

    Node* ReadNodeTag(Node* parent, bool& open)
    {
        Tag tag = ReadStartTag();
        std::wstring name, type, path;
        bool hasName = false, hasPath = false;
        std::size_t pathAt = 0;
        for (const TagAttribute& attribute : tag.attributes)
        {
            if (attribute.name == "name")
            {
                name = ToWide(attribute, kMaxNameLength);
                hasName = true;
            }
            else if (attribute.name == "type")
            {
                type = ToWide(attribute, kMaxNameLength);
            }
            else if (attribute.name == "path" && parent == nullptr)
            {
                path = ToWide(attribute, kMaxPathLength);
                hasPath = true;
                pathAt = attribute.offset;
            }
            else
            {
                Fail(attribute.offset, L"unknown attribute '" + Widen(attribute.name) + L"'");
            }
        }
        std::wstring prefix;
        if (hasPath)
        {
            std::size_t slash = path.rfind(L'\\');
            if (!hasName && slash != std::wstring::npos)
            {
                name = path.substr(slash + 1);
            }
            std::size_t cut = path.size() - name.size();
            if (path.size() <= name.size() || path.compare(cut, name.size(), name) != 0 ||
                path[cut - 1] != L'\\')
            {
                Fail(pathAt, L"the path does not end with the node's name");
            }
            prefix = path.substr(0, cut - 1);
        }
        auto node = std::make_unique<Node>(std::move(name), std::move(type));
        node->rootPrefix = std::move(prefix);
        if (parent != nullptr)
        {
            PrepareLink(parent);
            LinkChild(parent, node.get());
        }
        open = !tag.selfClosing;
        return node.release();
    }

    Node* ParseNode()
    {
        bool open = false;
        std::unique_ptr<Node, TreeOwner> root(ReadNodeTag(nullptr, open));
        std::vector<Node*> stack;
        if (open)
        {
            stack.push_back(root.get());
        }
        while (!stack.empty())
        {
            SkipMisc();
            if (AtEnd())
            {
                Fail(m_pos, L"missing </node>");
            }
            if (Starts("</"))
            {
                ReadEndTag("node");
                stack.pop_back();
            }
            else if (LooksAtTag("attr"))
            {
                ReadAttribute(stack.back());
            }
            else if (LooksAtTag("node"))
            {
                Node* child = ReadNodeTag(stack.back(), open);
                if (open)
                {
                    stack.push_back(child);
                }
            }
            else
            {
                Fail(m_pos, L"expected <node>, <attr> or </node>");
            }
        }
        return root.release();
    }

    std::u32string ReadText()
    {
        std::size_t start = m_pos;
        std::size_t end = m_text.find('<', m_pos);
        if (end == std::string_view::npos)
        {
            end = m_text.size();
        }
        m_pos = end;
        return Decode(start, end);
    }

    void ReadAttribute(Node* node)
    {
        Tag tag = ReadStartTag();
        const TagAttribute* name = nullptr;
        const TagAttribute* code = nullptr;
        bool hex = false;
        for (const TagAttribute& attribute : tag.attributes)
        {
            if (attribute.name == "name")
            {
                name = &attribute;
            }
            else if (attribute.name == "code")
            {
                code = &attribute;
            }
            else if (attribute.name == "encoding")
            {
                if (attribute.value != U"hex")
                {
                    Fail(attribute.offset, L"the only encoding is \"hex\"");
                }
                hex = true;
            }
            else
            {
                Fail(attribute.offset, L"unknown attribute '" + Widen(attribute.name) + L"'");
            }
        }
        if (name == nullptr || name->value.empty())
        {
            Fail(tag.offset, L"<attr> needs a name");
        }
        if (code == nullptr)
        {
            Fail(tag.offset, L"<attr> needs a code");
        }
        const std::wstring attributeName = ToWide(*name, kMaxNameLength);
        const std::uint16_t type = ParseCode(*code);
        if (FindAttribute(node, attributeName) != nullptr)
        {
            Fail(name->offset, L"duplicate attribute '" + attributeName + L"'");
        }
        std::string bytes;
        std::size_t valueAt = m_pos;
        if (type == VXN_ATTR_STRING_ARRAY && !hex)
        {
            if (!tag.selfClosing)
            {
                ReadStringItems(bytes);
            }
        }
        else
        {
            std::u32string text;
            if (!tag.selfClosing)
            {
                text = ReadText();
                ReadEndTagAt("attr");
            }
            bytes = ToBytes(type, hex, text, valueAt);
        }
        if (FAILED(CheckAttributeValue(type, bytes.data(), bytes.size())))
        {
            Fail(valueAt, L"the value's size does not fit code " + std::to_wstring(type));
        }
        node->attributes.emplace_back(attributeName, type, bytes.data(), bytes.size());
    }

    void ReadEndTagAt(std::string_view name) { ReadEndTag(name); }

    std::uint16_t ParseCode(const TagAttribute& code)
    {
        std::string digits;
        for (char32_t c : code.value)
        {
            digits += c < 0x80 ? static_cast<char>(c) : '?';
        }
        int base = 10;
        std::string_view view = digits;
        if (view.size() > 2 && view[0] == '0' && (view[1] == 'x' || view[1] == 'X'))
        {
            base = 16;
            view = view.substr(2);
        }
        std::uint16_t value = 0;
        auto result = std::from_chars(view.data(), view.data() + view.size(), value, base);
        if (view.empty() || result.ec != std::errc() || result.ptr != view.data() + view.size())
        {
            Fail(code.offset, L"the code is not a 16-bit number");
        }
        return value;
    }

    void ReadStringItems(std::string& bytes)
    {
        for (;;)
        {
            SkipSpace();
            if (Starts("</"))
            {
                ReadEndTag("attr");
                return;
            }
            if (!LooksAtTag("s"))
            {
                Fail(m_pos, L"expected <s> or </attr>");
            }
            Tag item = ReadStartTag();
            RejectAttributes(item);
            std::u32string text;
            if (!item.selfClosing)
            {
                std::size_t at = m_pos;
                text = ReadText();
                ReadEndTag("s");
                AppendUtf16(bytes, text, at);
            }
            bytes.append(2, '\0');
        }
    }

    void AppendUtf16(std::string& bytes, const std::u32string& text, std::size_t at)
    {
        auto unit = [&](std::uint32_t u)
        {
            bytes += static_cast<char>(u & 0xFF);
            bytes += static_cast<char>(u >> 8);
        };
        for (char32_t c : text)
        {
            if (c > 0x10FFFF)
            {
                Fail(at, L"character beyond U+10FFFF in a text value");
            }
            if (c >= 0x10000)
            {
                unit(0xD800 + ((c - 0x10000) >> 10));
                unit(0xDC00 + ((c - 0x10000) & 0x3FF));
            }
            else
            {
                unit(c);
            }
        }
    }

    std::string Ascii(const std::u32string& text, std::size_t at)
    {
        std::string out;
        for (char32_t c : text)
        {
            if (c >= 0x80)
            {
                Fail(at, L"unexpected character in a number");
            }
            out += static_cast<char>(c);
        }
        std::size_t first = out.find_first_not_of(" \t\r\n");
        std::size_t last = out.find_last_not_of(" \t\r\n");
        return first == std::string::npos ? std::string() : out.substr(first, last - first + 1);
    }

    template <class T> static void Store(std::string& bytes, T value)
    {
        char raw[sizeof(T)];
        std::memcpy(raw, &value, sizeof(T));
        bytes.append(raw, sizeof(T));
    }

    std::int64_t ParseInteger(std::string_view text, std::int64_t min, std::int64_t max, std::size_t at)
    {
        std::int64_t value = 0;
        auto result = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() ||
            value < min || value > max)
        {
            Fail(at, L"expected an integer in range");
        }
        return value;
    }

    std::string ToBytes(std::uint16_t type, bool hex, const std::u32string& text, std::size_t at)
    {
        std::string bytes;
        bool known = type == VXN_ATTR_EMPTY || type == VXN_ATTR_ASTRING || type == VXN_ATTR_STRING ||
                     type == VXN_ATTR_INT32 || type == VXN_ATTR_INT64 || type == VXN_ATTR_BOOL ||
                     type == VXN_ATTR_GUID || type == VXN_ATTR_INT64_ARRAY;
        if (hex || !known)
        {
            std::string digits = Ascii(text, at);
            int pending = -1;
            for (char c : digits)
            {
                if (IsSpace(c))
                {
                    continue;
                }
                int v = (c >= '0' && c <= '9')   ? c - '0'
                        : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                 : -1;
                if (v < 0)
                {
                    Fail(at, L"expected hexadecimal digits");
                }
                if (pending < 0)
                {
                    pending = v;
                }
                else
                {
                    bytes += static_cast<char>(pending * 16 + v);
                    pending = -1;
                }
            }
            if (pending >= 0)
            {
                Fail(at, L"odd number of hexadecimal digits");
            }
            return bytes;
        }
        switch (type)
        {
        case VXN_ATTR_EMPTY:
            if (!text.empty())
            {
                Fail(at, L"code 0 has no value");
            }
            break;
        case VXN_ATTR_ASTRING:
            for (char32_t c : text)
            {
                if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
                {
                    Fail(at, L"character not allowed in 8-bit text");
                }
                AppendUtf8(bytes, c);
            }
            bytes += '\0';
            break;
        case VXN_ATTR_STRING:
            AppendUtf16(bytes, text, at);
            bytes.append(2, '\0');
            break;
        case VXN_ATTR_INT32:
            Store(bytes,
                  static_cast<std::uint32_t>(ParseInteger(Ascii(text, at), INT32_MIN, UINT32_MAX, at)));
            break;
        case VXN_ATTR_INT64:
            Store(bytes, ParseInteger(Ascii(text, at), INT64_MIN, INT64_MAX, at));
            break;
        case VXN_ATTR_BOOL:
        {
            std::string value = Ascii(text, at);
            if (value != "true" && value != "false" && value != "1" && value != "0")
            {
                Fail(at, L"expected true or false");
            }
            bytes += (value == "true" || value == "1") ? '\1' : '\0';
            break;
        }
        case VXN_ATTR_GUID:
        {
            GUID guid;
            if (!ParseGuidText(Ascii(text, at), guid))
            {
                Fail(at, L"expected a GUID");
            }
            Store(bytes, guid);
            break;
        }
        case VXN_ATTR_INT64_ARRAY:
        {
            std::string numbers = Ascii(text, at);
            std::size_t pos = 0;
            while ((pos = numbers.find_first_not_of(" \t\r\n", pos)) != std::string::npos)
            {
                std::size_t end = numbers.find_first_of(" \t\r\n", pos);
                if (end == std::string::npos)
                {
                    end = numbers.size();
                }
                Store(bytes, ParseInteger(std::string_view(numbers).substr(pos, end - pos), INT64_MIN,
                                          INT64_MAX, at));
                pos = end;
            }
            break;
        }
        default:
            break;
        }
        return bytes;
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

void Locate(std::string_view text, std::size_t offset, ParseError& error)
{
    offset = std::min(offset, text.size());
    std::uint64_t line = 1;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < offset; ++i)
    {
        if (text[i] == '\n')
        {
            ++line;
            lineStart = i + 1;
        }
    }
    std::uint64_t column = 1;
    for (std::size_t i = lineStart; i < offset; ++i)
    {
        // Columns count characters: UTF-8 continuation bytes do not start one.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
        {
            ++column;
        }
    }
    error.line = line;
    error.column = column;
}
} // namespace

HRESULT ParseNodesXml(std::string_view text, Node** root, ParseError& error)
{
    try
    {
        *root = Parser(text).Parse();
        return S_OK;
    }
    catch (const SyntaxError& syntax)
    {
        Locate(text, syntax.offset, error);
        error.message = syntax.message;
        return HR_INVALID_DATA;
    }
}
} // namespace Tessel
