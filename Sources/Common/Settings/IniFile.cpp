#include "Common/Settings/IniFile.h"

#include "Common/Base/Text.h"

#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace Settings
{
namespace
{
bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

std::wstring TrimBlanks(std::wstring_view text)
{
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && IsBlank(text[b]))
    {
        ++b;
    }
    while (e > b && IsBlank(text[e - 1]))
    {
        --e;
    }
    return std::wstring(text.substr(b, e - b));
}

bool FindValue(const std::wstring& text, std::wstring_view section, std::wstring_view key,
               std::wstring& value)
{
    bool inSection = false;
    std::size_t pos = 0;
    while (pos < text.size())
    {
        std::size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos)
        {
            end = text.size();
        }
        std::wstring line = TrimBlanks(std::wstring_view(text).substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == L';')
        {
            continue;
        }
        if (line[0] == L'[')
        {
            std::size_t close = line.find(L']');
            std::wstring name = TrimBlanks(std::wstring_view(line).substr(
                1, close == std::wstring::npos ? std::wstring::npos : close - 1));
            inSection = Base::EqualsNoCase(name, section);
            continue;
        }
        if (!inSection)
        {
            continue;
        }
        std::size_t eq = line.find(L'=');
        if (eq == std::wstring::npos ||
            !Base::EqualsNoCase(TrimBlanks(std::wstring_view(line).substr(0, eq)), key))
        {
            continue;
        }
        value = TrimBlanks(std::wstring_view(line).substr(eq + 1));
        if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
            value.back() == value.front())
        {
            value = value.substr(1, value.size() - 2);
        }
        return true;
    }
    return false;
}
} // namespace

bool ReadTextFile(const std::wstring& file, std::wstring& text)
{
    int fd = ::open(Platform::ToFileSystemPath(file).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return false;
    }
    std::string raw;
    char chunk[8192];
    bool ok = true;
    for (;;)
    {
        ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            ok = n == 0;
            break;
        }
        raw.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok)
    {
        return false;
    }
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE)
    {
        text = Platform::FromUtf16Le(raw.data() + 2, raw.size() - 2);
    }
    else if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
    {
        text = Platform::FromUtf8(std::string_view(raw).substr(3));
    }
    else
    {
        text = Platform::FromUtf8(raw);
    }
    return true;
}

std::uint32_t GetPrivateProfileString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue,
                                      wchar_t* buffer, std::uint32_t size, const std::wstring& file)
{
    if (buffer == nullptr || size == 0)
    {
        return 0;
    }
    std::wstring value;
    std::wstring text;
    bool found = section != nullptr && key != nullptr && ReadTextFile(file, text) &&
                 FindValue(text, section, key, value);
    if (!found)
    {
        value = defaultValue == nullptr ? L"" : TrimBlanks(defaultValue);
    }
    std::size_t n = std::min<std::size_t>(value.size(), size - 1);
    std::copy_n(value.data(), n, buffer);
    buffer[n] = L'\0';
    return static_cast<std::uint32_t>(n);
}

bool ReadIniString(const std::wstring& file, const wchar_t* section, const wchar_t* key, std::wstring& value)
{
    std::vector<wchar_t> buffer(260);
    for (;;)
    {
        std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
        std::uint32_t got = GetPrivateProfileString(section, key, L"", buffer.data(), size, file);
        if (got == size - 1 && size < (1u << 24))
        {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (got == 0)
        {
            return false;
        }
        value.assign(buffer.data(), got);
        return true;
    }
}
} // namespace Settings
