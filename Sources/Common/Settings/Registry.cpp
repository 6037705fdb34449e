#include "Common/Settings/Registry.h"

#include "Common/ErrorHandling/HResult.h"
#include "Common/Settings/DataDirectory.h"
#include "Common/Settings/IniFile.h"
#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"

#include <algorithm>

namespace Settings
{
namespace
{
const int kModuleAnchor = 0;

bool SameKeyPath(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), Base::EqualsNoCase);
}

std::wstring TrimLine(const std::wstring& line)
{
    std::size_t b = line.find_first_not_of(L" \t\r\n");
    if (b == std::wstring::npos)
    {
        return {};
    }
    return line.substr(b, line.find_last_not_of(L" \t\r\n") - b + 1);
}

// Reads a quoted text starting at pos (which must hold '"'); pos ends after the closing quote.
bool ReadQuoted(const std::wstring& line, std::size_t& pos, std::wstring& out)
{
    if (pos >= line.size() || line[pos] != L'"')
    {
        return false;
    }
    out.clear();
    for (++pos; pos < line.size(); ++pos)
    {
        wchar_t c = line[pos];
        if (c == L'"')
        {
            ++pos;
            return true;
        }
        if (c == L'\\')
        {
            if (++pos >= line.size())
            {
                return false;
            }
            c = line[pos];
        }
        out.push_back(c);
    }
    return false;
}

bool ParseValueLine(const std::wstring& line, std::wstring& name, std::uint32_t& type, std::wstring& data)
{
    std::size_t pos = 0;
    if (!line.empty() && line[0] == L'@')
    {
        name.clear();
        pos = 1;
    }
    else if (!ReadQuoted(line, pos, name))
    {
        return false;
    }
    if (pos >= line.size() || line[pos] != L'=')
    {
        return false;
    }
    ++pos;
    std::wstring rest = line.substr(pos);
    std::size_t end = 0;
    if (rest.rfind(L"expand:", 0) == 0)
    {
        end = 7;
        type = REG_EXPAND_SZ_TYPE;
    }
    else if (rest.rfind(L"dword:", 0) == 0)
    {
        std::wstring hex = rest.substr(6);
        if (hex.empty() || hex.size() > 8 ||
            hex.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos)
        {
            return false;
        }
        type = REG_DWORD_TYPE;
        data = hex;
        return true;
    }
    else
    {
        type = REG_SZ_TYPE;
    }
    if (!ReadQuoted(rest, end, data))
    {
        return false;
    }
    return TrimLine(rest.substr(end)).empty();
}

} // namespace

std::string RegistryStoreFolder()
{
    std::wstring folder;
    if (!Platform::GetEnvironmentVariable(L"RSM_REGISTRY_DIR", folder) || folder.empty())
    {
        std::wstring module = Platform::GetModulePathOf(&kModuleAnchor);
        folder = module.substr(0, module.find_last_of(L"\\/") + 1) + L"Registry";
    }
    std::string path = Platform::ToFileSystemPath(folder);
    if (path.empty() || path.back() != '/')
    {
        path.push_back('/');
    }
    return path;
}

std::uint32_t RegistryKey::Open(RegistryRoot root, const std::wstring& subKey,
                                std::unique_ptr<RegistryKey>& key)
{
    key.reset();
    std::string file = RegistryStoreFolder() + (root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE.reg"
                                                                                   : "HKEY_CURRENT_USER.reg");
    std::wstring text;
    if (!ReadTextFile(Platform::FromUtf8(file), text))
    {
        return ERROR_FILE_NOT_FOUND_CODE;
    }
    std::vector<std::wstring> wanted = SplitPathComponents(subKey);
    auto result = std::make_unique<RegistryKey>();
    bool found = false;
    bool inKey = false;
    std::size_t pos = 0;
    while (pos < text.size())
    {
        std::size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos)
        {
            end = text.size();
        }
        std::wstring line = TrimLine(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == L';')
        {
            continue;
        }
        if (line[0] == L'[')
        {
            inKey = line.back() == L']' &&
                    SameKeyPath(SplitPathComponents(line.substr(1, line.size() - 2)), wanted);
            found = found || inKey;
            continue;
        }
        if (inKey)
        {
            Value v;
            v.valid = ParseValueLine(line, v.name, v.type, v.data);
            result->m_values.push_back(std::move(v));
        }
    }
    if (!found)
    {
        return ERROR_FILE_NOT_FOUND_CODE;
    }
    key = std::move(result);
    return ERROR_SUCCESS_CODE;
}

std::uint32_t RegistryKey::EnumValue(std::uint32_t index, wchar_t* name, std::uint32_t* nameChars,
                                     std::uint32_t* type) const
{
    if (name == nullptr || nameChars == nullptr || type == nullptr)
    {
        return ERROR_INVALID_PARAMETER_CODE;
    }
    if (index >= m_values.size())
    {
        return ERROR_NO_MORE_ITEMS_CODE;
    }
    const Value& v = m_values[index];
    if (!v.valid)
    {
        return ERROR_INVALID_DATA_CODE;
    }
    if (v.name.size() + 1 > *nameChars)
    {
        *nameChars = static_cast<std::uint32_t>(v.name.size() + 1);
        return ERROR_MORE_DATA_CODE;
    }
    std::copy(v.name.begin(), v.name.end(), name);
    name[v.name.size()] = L'\0';
    *nameChars = static_cast<std::uint32_t>(v.name.size());
    *type = v.type;
    return ERROR_SUCCESS_CODE;
}

std::uint32_t RegistryKey::QueryString(const std::wstring& name, std::wstring& data) const
{
    for (const Value& v : m_values)
    {
        if (v.valid && Base::EqualsNoCase(v.name, name))
        {
            if (v.type != REG_SZ_TYPE && v.type != REG_EXPAND_SZ_TYPE)
            {
                return ERROR_INVALID_DATA_CODE;
            }
            data = v.data;
            return ERROR_SUCCESS_CODE;
        }
    }
    return ERROR_FILE_NOT_FOUND_CODE;
}

RegistryRoot ParseRootKey(std::wstring& keyPath)
{
    std::size_t sep = keyPath.find_first_of(L"\\/");
    std::wstring first = keyPath.substr(0, sep);
    struct Name
    {
        const wchar_t* text;
        RegistryRoot root;
    };
    static const Name names[] = {{L"HKLM", RegistryRoot::LocalMachine},
                                 {L"HKEY_LOCAL_MACHINE", RegistryRoot::LocalMachine},
                                 {L"HKCU", RegistryRoot::CurrentUser},
                                 {L"HKEY_CURRENT_USER", RegistryRoot::CurrentUser}};
    for (const Name& n : names)
    {
        if (first == n.text)
        {
            keyPath = sep == std::wstring::npos ? std::wstring() : keyPath.substr(sep + 1);
            return n.root;
        }
    }
    return RegistryRoot::LocalMachine;
}

std::map<std::wstring, std::wstring, Base::NoCaseLess> ReadRegistryStringValues(const std::wstring& keyPath)
{
    std::map<std::wstring, std::wstring, Base::NoCaseLess> values;
    std::wstring path = keyPath;
    RegistryRoot root = ParseRootKey(path);
    std::unique_ptr<RegistryKey> key;
    if (RegistryKey::Open(root, path, key) != ERROR_SUCCESS_CODE)
    {
        return values;
    }
    for (std::uint32_t index = 0;; ++index)
    {
        std::vector<wchar_t> name(260);
        std::uint32_t nameChars = static_cast<std::uint32_t>(name.size());
        std::uint32_t type = 0;
        std::uint32_t err = key->EnumValue(index, name.data(), &nameChars, &type);
        if (err == ERROR_MORE_DATA_CODE)
        {
            name.resize(nameChars);
            err = key->EnumValue(index, name.data(), &nameChars, &type);
        }
        if (err == ERROR_NO_MORE_ITEMS_CODE)
        {
            break;
        }
        HRX hrx(Win32Error{err});
        if (type != REG_SZ_TYPE && type != REG_EXPAND_SZ_TYPE)
        {
            continue;
        }
        std::wstring valueName(name.data(), nameChars);
        std::wstring data;
        hrx = Win32Error{key->QueryString(valueName, data)};
        values.emplace(valueName, Platform::ExpandEnvironmentStrings(data));
    }
    return values;
}
} // namespace Settings
