#include "Common/Settings/GlobalSettings.h"
#include "Platform/Core/Text.h"

#include "Common/Settings/IniFile.h"
#include "Platform/Core/System.h"

#include <algorithm>
#include <atomic>

namespace Settings
{
namespace
{
const wchar_t* const kGeneral = L"General";

// Set when the store has been destroyed at unload; later queries find nothing.
std::atomic<bool> g_storeGone{false};

const wchar_t* SectionOrGeneral(const wchar_t* section)
{
    return section == nullptr ? kGeneral : section;
}

// Folder (up to and including the last separator) and name without extension of a full path.
void SplitModulePath(const std::wstring& path, std::wstring& folder, std::wstring& name)
{
    std::size_t sep = path.find_last_of(L"\\/");
    folder = sep == std::wstring::npos ? std::wstring() : path.substr(0, sep + 1);
    name = sep == std::wstring::npos ? path : path.substr(sep + 1);
    std::size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos)
    {
        name.resize(dot);
    }
}

const int kModuleAnchor = 0;
} // namespace

HRESULT ParseNumber(const std::wstring& text, std::uint32_t& value)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || text[i] == L'\t'))
    {
        ++i;
    }
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X'))
    {
        base = 16;
        i += 2;
    }
    else if (i < text.size() && text[i] == L'0')
    {
        base = 8;
    }
    std::uint64_t result = 0;
    std::size_t digits = 0;
    for (; i < text.size(); ++i, ++digits)
    {
        int d = Platform::HexDigitValue(text[i]);
        if (d < 0 || d >= static_cast<int>(base))
        {
            break;
        }
        result = result * base + static_cast<unsigned>(d);
        if (result > 0xFFFFFFFFull)
        {
            return E_INVALIDARG;
        }
    }
    if (digits == 0 || i != text.size())
    {
        return E_INVALIDARG;
    }
    value = static_cast<std::uint32_t>(result);
    return S_OK;
}

std::wstring Trim(const std::wstring& text)
{
    const wchar_t* blanks = L" \t\r\n";
    std::size_t b = text.find_first_not_of(blanks);
    if (b == std::wstring::npos)
    {
        return {};
    }
    std::size_t e = text.find_last_not_of(blanks);
    return text.substr(b, e - b + 1);
}

ISettingsProvider::~ISettingsProvider()
{
    if (m_autoUnregister)
    {
        SettingsStore::Instance().Unregister(this);
    }
}

HRESULT ISettingsProvider::GetNumber(const wchar_t* section, const wchar_t* key, std::uint32_t& value)
{
    std::wstring text;
    HRESULT hr = GetString(section, key, text);
    if (FAILED(hr))
    {
        return hr;
    }
    return ParseNumber(text, value);
}

HRESULT EnvironmentSettingsProvider::GetString(const wchar_t* section, const wchar_t* key,
                                               std::wstring& value)
{
    if (key == nullptr)
    {
        return E_INVALIDARG;
    }
    std::wstring name = L"GS_";
    name += SectionOrGeneral(section);
    name += L'_';
    name += key;
    std::wstring text;
    if (!Platform::GetEnvironmentVariable(name, text))
    {
        return HR_NOT_FOUND;
    }
    value = Trim(text);
    return S_OK;
}

IniFileSettingsProvider::IniFileSettingsProvider()
    : IniFileSettingsProvider(Platform::GetExecutablePath(), Platform::GetModulePathOf(&kModuleAnchor))
{
}

IniFileSettingsProvider::IniFileSettingsProvider(const std::wstring& executablePath,
                                                 const std::wstring& modulePath)
{
    std::wstring exeFolder, exeName, moduleFolder, moduleName;
    SplitModulePath(executablePath, exeFolder, exeName);
    SplitModulePath(modulePath, moduleFolder, moduleName);
    bool moduleIsExe = modulePath.empty() || modulePath == executablePath;
    m_candidates.push_back(exeFolder + exeName + L".ini");
    if (!moduleIsExe)
    {
        m_candidates.push_back(exeFolder + moduleName + L".ini");
    }
    m_candidates.push_back(exeFolder + L"GlobalSettings.ini");
    if (!moduleIsExe && moduleFolder != exeFolder)
    {
        m_candidates.push_back(moduleFolder + moduleName + L".ini");
        m_candidates.push_back(moduleFolder + L"GlobalSettings.ini");
    }
}

HRESULT IniFileSettingsProvider::GetString(const wchar_t* section, const wchar_t* key, std::wstring& value)
{
    if (key == nullptr)
    {
        return E_INVALIDARG;
    }
    section = SectionOrGeneral(section);
    std::wstring text;
    bool found = false;
    std::wstring named;
    if (Platform::GetEnvironmentVariable(L"GLOBAL_SETTINGS_INI", named) && !named.empty())
    {
        found = ReadIniString(named, section, key, text);
    }
    for (std::size_t i = 0; !found && i < m_candidates.size(); ++i)
    {
        found = ReadIniString(m_candidates[i], section, key, text);
    }
    if (!found)
    {
        return HR_NOT_FOUND;
    }
    value = Trim(text);
    return S_OK;
}

SettingsStore::SettingsStore()
{
    Register(&m_ini);
    Register(&m_environment);
}

SettingsStore::~SettingsStore()
{
    g_storeGone.store(true);
}

SettingsStore& SettingsStore::Instance()
{
    static SettingsStore store;
    return store;
}

void SettingsStore::Register(ISettingsProvider* provider)
{
    if (provider == nullptr)
    {
        return;
    }
    Base::LockGuard<Base::RecursiveMutex> lock(m_lock);
    m_providers.push_back(provider);
}

void SettingsStore::Unregister(ISettingsProvider* provider)
{
    Base::LockGuard<Base::RecursiveMutex> lock(m_lock);
    m_providers.erase(std::remove(m_providers.begin(), m_providers.end(), provider), m_providers.end());
}

HRESULT SettingsStore::GetString(const wchar_t* section, const wchar_t* key, std::wstring& value)
{
    if (key == nullptr)
    {
        return E_INVALIDARG;
    }
    Base::LockGuard<Base::RecursiveMutex> lock(m_lock);
    for (auto it = m_providers.rbegin(); it != m_providers.rend(); ++it)
    {
        HRESULT hr = (*it)->GetString(section, key, value);
        if (SUCCEEDED(hr) || hr == E_ABORT)
        {
            return hr;
        }
    }
    return HR_NOT_FOUND;
}

HRESULT SettingsStore::GetNumber(const wchar_t* section, const wchar_t* key, std::uint32_t& value)
{
    if (key == nullptr)
    {
        return E_INVALIDARG;
    }
    Base::LockGuard<Base::RecursiveMutex> lock(m_lock);
    for (auto it = m_providers.rbegin(); it != m_providers.rend(); ++it)
    {
        HRESULT hr = (*it)->GetNumber(section, key, value);
        if (SUCCEEDED(hr) || hr == E_ABORT)
        {
            return hr;
        }
    }
    return HR_NOT_FOUND;
}

HRESULT GetGlobalSetting(const wchar_t* section, const wchar_t* key, std::wstring& value)
{
    if (g_storeGone.load(std::memory_order_relaxed))
    {
        return HR_NOT_FOUND;
    }
    return SettingsStore::Instance().GetString(section, key, value);
}

HRESULT GetGlobalSettingNumber(const wchar_t* section, const wchar_t* key, std::uint32_t& value)
{
    if (g_storeGone.load(std::memory_order_relaxed))
    {
        return HR_NOT_FOUND;
    }
    return SettingsStore::Instance().GetNumber(section, key, value);
}

std::wstring GetGlobalSettingOr(const wchar_t* section, const wchar_t* key, const std::wstring& defaultValue)
{
    std::wstring value;
    return SUCCEEDED(GetGlobalSetting(section, key, value)) ? value : defaultValue;
}

std::uint32_t GetGlobalSettingNumberOr(const wchar_t* section, const wchar_t* key, std::uint32_t defaultValue)
{
    std::uint32_t value = 0;
    return SUCCEEDED(GetGlobalSettingNumber(section, key, value)) ? value : defaultValue;
}

bool TryGetGlobalSetting(const wchar_t* section, const wchar_t* key, std::wstring& value)
{
    std::wstring found;
    if (FAILED(GetGlobalSetting(section, key, found)))
    {
        return false;
    }
    value = std::move(found);
    return true;
}

bool TryGetGlobalSettingNumber(const wchar_t* section, const wchar_t* key, std::uint32_t& value)
{
    std::uint32_t found = 0;
    if (FAILED(GetGlobalSettingNumber(section, key, found)))
    {
        return false;
    }
    value = found;
    return true;
}

SettingsSection::SettingsSection(std::wstring name, std::uint32_t refreshIntervalMs)
    : m_name(std::move(name)), m_refreshIntervalMs(refreshIntervalMs)
{
    m_stringCache.reserve(17);
    m_numberCache.reserve(17);
    m_absentCache.reserve(17);
}

void SettingsSection::ClearLocked()
{
    m_stringCache.clear();
    m_numberCache.clear();
    m_absentCache.clear();
    m_lastClearTick = Platform::GetTickCount();
    ++m_generation;
}

void SettingsSection::ClearIfDueLocked()
{
    if (m_refreshIntervalMs != 0 &&
        (m_lastClearTick == 0 || Platform::GetTickCount() - m_lastClearTick > m_refreshIntervalMs))
    {
        ClearLocked();
    }
}

void SettingsSection::ClearCaches()
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    ClearLocked();
}

std::uint32_t SettingsSection::Generation() const
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    return m_generation;
}

bool SettingsSection::TryGetString(const std::wstring& key, std::wstring& value, bool useCache)
{
    if (useCache)
    {
        Base::LockGuard<Base::Mutex> lock(m_lock);
        ClearIfDueLocked();
        auto it = m_stringCache.find(key);
        if (it != m_stringCache.end())
        {
            value = it->second;
            return true;
        }
        if (m_absentCache.count(key) != 0)
        {
            return false;
        }
    }
    std::wstring found;
    bool present = SUCCEEDED(GetGlobalSetting(m_name.c_str(), key.c_str(), found));
    if (useCache)
    {
        Base::LockGuard<Base::Mutex> lock(m_lock);
        if (present)
        {
            m_stringCache[key] = found;
        }
        else
        {
            m_absentCache.insert(key);
        }
    }
    if (present)
    {
        value = std::move(found);
    }
    return present;
}

bool SettingsSection::TryGetNumber(const std::wstring& key, std::uint32_t& value, bool useCache)
{
    if (useCache)
    {
        Base::LockGuard<Base::Mutex> lock(m_lock);
        ClearIfDueLocked();
        auto it = m_numberCache.find(key);
        if (it != m_numberCache.end())
        {
            value = it->second;
            return true;
        }
        if (m_absentCache.count(key) != 0)
        {
            return false;
        }
    }
    std::uint32_t found = 0;
    bool present = SUCCEEDED(GetGlobalSettingNumber(m_name.c_str(), key.c_str(), found));
    if (useCache)
    {
        Base::LockGuard<Base::Mutex> lock(m_lock);
        if (present)
        {
            m_numberCache[key] = found;
        }
        else
        {
            m_absentCache.insert(key);
        }
    }
    if (present)
    {
        value = found;
    }
    return present;
}

std::wstring SettingsSection::GetString(const std::wstring& key, const std::wstring& defaultValue,
                                        bool useCache)
{
    std::wstring value;
    return TryGetString(key, value, useCache) ? value : defaultValue;
}

std::uint32_t SettingsSection::GetNumber(const std::wstring& key, std::uint32_t defaultValue, bool useCache)
{
    std::uint32_t value = 0;
    return TryGetNumber(key, value, useCache) ? value : defaultValue;
}
} // namespace Settings
