#include "Platform/Tessel/XmlText.h"

#include <cstdio>

namespace Tessel
{
namespace
{
bool NeedsReference(std::uint32_t c)
{
    return c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF ||
           c > 0x10FFFF;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}
} // namespace

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80)
    {
        out += static_cast<char>(c);
    }
    else if (c < 0x800)
    {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    else if (c < 0x10000)
    {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendEscapedChar(std::string& out, std::uint32_t c)
{
    switch (c)
    {
    case '&':
        out += "&amp;";
        return;
    case '<':
        out += "&lt;";
        return;
    case '>':
        out += "&gt;";
        return;
    case '"':
        out += "&quot;";
        return;
    default:
        break;
    }
    if (NeedsReference(c))
    {
        char text[16];
        std::snprintf(text, sizeof text, "&#x%X;", static_cast<unsigned>(c));
        out += text;
        return;
    }
    AppendUtf8(out, c);
}

void AppendEscapedWide(std::string& out, std::wstring_view text)
{
    for (wchar_t c : text)
    {
        AppendEscapedChar(out, static_cast<std::uint32_t>(c));
    }
}

std::size_t DecodeUtf8Char(const char* p, const char* end, char32_t& c)
{
    auto b = static_cast<unsigned char>(*p);
    if (b < 0x80)
    {
        c = b;
        return 1;
    }
    std::size_t extra;
    char32_t min;
    if ((b & 0xE0) == 0xC0)
    {
        extra = 1, c = b & 0x1F, min = 0x80;
    }
    else if ((b & 0xF0) == 0xE0)
    {
        extra = 2, c = b & 0x0F, min = 0x800;
    }
    else if ((b & 0xF8) == 0xF0)
    {
        extra = 3, c = b & 0x07, min = 0x10000;
    }
    else
    {
        return 0;
    }
    if (static_cast<std::size_t>(end - p) <= extra)
    {
        return 0;
    }
    for (std::size_t i = 1; i <= extra; ++i)
    {
        auto next = static_cast<unsigned char>(p[i]);
        if ((next & 0xC0) != 0x80)
        {
            return 0;
        }
        c = (c << 6) | (next & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
    {
        return 0;
    }
    return extra + 1;
}

bool DecodeUtf8(std::string_view text, std::u32string& out)
{
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end)
    {
        char32_t c;
        std::size_t used = DecodeUtf8Char(p, end, c);
        if (used == 0)
        {
            return false;
        }
        out += c;
        p += used;
    }
    return true;
}

void AppendGuid(std::string& out, const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    out += text;
}

bool ParseGuidText(std::string_view text, GUID& guid)
{
    // Braces are optional; the dashes are not.
    if (text.size() == 38 && text.front() == '{' && text.back() == '}')
    {
        text = text.substr(1, 36);
    }
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
    {
        return false;
    }
    std::uint8_t bytes[16];
    std::size_t pos = 0;
    for (std::uint8_t& byte : bytes)
    {
        if (text[pos] == '-')
        {
            ++pos;
        }
        int hi = HexValue(text[pos]);
        int lo = HexValue(text[pos + 1]);
        if (hi < 0 || lo < 0)
        {
            return false;
        }
        byte = static_cast<std::uint8_t>(hi * 16 + lo);
        pos += 2;
    }
    guid.Data1 = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
                 (std::uint32_t(bytes[2]) << 8) | bytes[3];
    guid.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i)
    {
        guid.Data4[i] = bytes[8 + i];
    }
    return true;
}
} // namespace Tessel
