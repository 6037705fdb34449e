#include "Platform/Core/Text.h"

namespace Platform
{
namespace
{
void AppendUtf16Unit(std::string& out, char16_t unit)
{
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
}

char32_t Sanitize(wchar_t w)
{
    auto c = static_cast<char32_t>(w);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
    {
        return 0xFFFD;
    }
    return c;
}
} // namespace

void AppendUtf8(std::string& out, char32_t c)
{
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
    {
        c = 0xFFFD;
    }
    if (c < 0x80)
    {
        out.push_back(static_cast<char>(c));
    }
    else if (c < 0x800)
    {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    else if (c < 0x10000)
    {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    else
    {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string ToUtf16Le(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (wchar_t w : text)
    {
        char32_t c = Sanitize(w);
        if (c >= 0x10000)
        {
            c -= 0x10000;
            AppendUtf16Unit(out, static_cast<char16_t>(0xD800 + (c >> 10)));
            AppendUtf16Unit(out, static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        }
        else
        {
            AppendUtf16Unit(out, static_cast<char16_t>(c));
        }
    }
    return out;
}

std::wstring FromUtf16Le(const void* bytes, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(bytes);
    std::size_t units = size / 2;
    std::wstring out;
    out.reserve(units);
    for (std::size_t i = 0; i < units; ++i)
    {
        char32_t u = p[2 * i] | (p[2 * i + 1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units)
        {
            char32_t lo = p[2 * i + 2] | (p[2 * i + 3] << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF)
            {
                out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF)
        {
            u = 0xFFFD;
        }
        out.push_back(static_cast<wchar_t>(u));
    }
    return out;
}

std::string ToUtf8(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text)
    {
        AppendUtf8(out, static_cast<char32_t>(w));
    }
    return out;
}

std::wstring FromUtf8(std::string_view text)
{
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n)
    {
        auto b = static_cast<unsigned char>(text[i]);
        int extra = 0;
        char32_t c = 0;
        if (b < 0x80)
        {
            c = b;
        }
        else if ((b & 0xE0) == 0xC0)
        {
            extra = 1;
            c = b & 0x1F;
        }
        else if ((b & 0xF0) == 0xE0)
        {
            extra = 2;
            c = b & 0x0F;
        }
        else if ((b & 0xF8) == 0xF0)
        {
            extra = 3;
            c = b & 0x07;
        }
        else
        {
            out.push_back(static_cast<wchar_t>(0xFFFD));
            ++i;
            continue;
        }
        bool ok = true;
        for (int k = 1; k <= extra; ++k)
        {
            if (i + k >= n || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            {
                ok = false;
                break;
            }
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (!ok)
        {
            out.push_back(static_cast<wchar_t>(0xFFFD));
            ++i;
            continue;
        }
        static constexpr char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (c < minimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        {
            c = 0xFFFD;
        }
        out.push_back(static_cast<wchar_t>(c));
        i += extra + 1;
    }
    return out;
}

int HexDigitValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
    {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f')
    {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F')
    {
        return c - L'A' + 10;
    }
    return -1;
}

std::wstring Widen(std::string_view text)
{
    std::wstring out;
    out.reserve(text.size());
    for (char c : text)
    {
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return out;
}
} // namespace Platform
