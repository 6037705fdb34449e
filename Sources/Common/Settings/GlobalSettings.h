// Process-local settings (logging, error message files, debug switches) read through a chain of
// providers: environment variables "GS_<section>_<key>" first, then ini files. A null section
// means "General".
#pragma once

#include "Common/Base/Locks.h"
#include "RsmTypes.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace Settings
{
// Reads the whole text as an unsigned 32-bit number with automatic base ("0x" hexadecimal,
// leading "0" octal, otherwise decimal). E_INVALIDARG when no digit was read, characters are
// left over or the value does not fit.
HRESULT ParseNumber(const std::wstring& text, std::uint32_t& value);

// Removes blanks, tabs and line ends on both sides.
std::wstring Trim(const std::wstring& text);

class ISettingsProvider
{
public:
    virtual ~ISettingsProvider();
    // S_OK with the value, or HR_NOT_FOUND when this provider has no value.
    virtual HRESULT GetString(const wchar_t* section, const wchar_t* key, std::wstring& value) = 0;
    // GetString, then ParseNumber; GetString failures are passed on unchanged.
    virtual HRESULT GetNumber(const wchar_t* section, const wchar_t* key, std::uint32_t& value);

protected:
    ISettingsProvider() = default;
    // With autoUnregister the destructor removes the provider from the process store.
    explicit ISettingsProvider(bool autoUnregister) : m_autoUnregister(autoUnregister) {}

private:
    bool m_autoUnregister = false;
};

class EnvironmentSettingsProvider : public ISettingsProvider
{
public:
    HRESULT GetString(const wchar_t* section, const wchar_t* key, std::wstring& value) override;
};

class IniFileSettingsProvider : public ISettingsProvider
{
public:
    // Candidates built from the running executable and the module that holds this code.
    IniFileSettingsProvider();
    // Candidates built from the given full paths (either separator).
    IniFileSettingsProvider(const std::wstring& executablePath, const std::wstring& modulePath);

    HRESULT GetString(const wchar_t* section, const wchar_t* key, std::wstring& value) override;
    const std::vector<std::wstring>& Candidates() const { return m_candidates; }

private:
    std::vector<std::wstring> m_candidates;
};

// The process-wide ordered provider list; asked from the last registered to the first.
class SettingsStore
{
public:
    static SettingsStore& Instance();

    void Register(ISettingsProvider* provider) RSM_EXCLUDES(m_lock);
    void Unregister(ISettingsProvider* provider) RSM_EXCLUDES(m_lock);
    HRESULT GetString(const wchar_t* section, const wchar_t* key, std::wstring& value);
    HRESULT GetNumber(const wchar_t* section, const wchar_t* key, std::uint32_t& value);

    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

private:
    SettingsStore();
    ~SettingsStore();

    // Recursive: a provider may read settings itself while it is asked.
    Base::RecursiveMutex m_lock;
    std::vector<ISettingsProvider*> m_providers RSM_GUARDED_BY(m_lock);
    IniFileSettingsProvider m_ini;
    EnvironmentSettingsProvider m_environment;
};

HRESULT GetGlobalSetting(const wchar_t* section, const wchar_t* key, std::wstring& value);
HRESULT GetGlobalSettingNumber(const wchar_t* section, const wchar_t* key, std::uint32_t& value);
// Absent or failed gives the default.
std::wstring GetGlobalSettingOr(const wchar_t* section, const wchar_t* key, const std::wstring& defaultValue);
// Absent, failed or not a number gives the default.
std::uint32_t GetGlobalSettingNumberOr(const wchar_t* section, const wchar_t* key,
                                       std::uint32_t defaultValue);
// Found/absent forms; value is left unchanged when absent.
bool TryGetGlobalSetting(const wchar_t* section, const wchar_t* key, std::wstring& value);
bool TryGetGlobalSettingNumber(const wchar_t* section, const wchar_t* key, std::uint32_t& value);

// Cached reads of one section. Caches are dropped every refreshIntervalMs (0 = never by time)
// or by ClearCaches.
class SettingsSection
{
public:
    explicit SettingsSection(std::wstring name, std::uint32_t refreshIntervalMs = 0);

    bool TryGetString(const std::wstring& key, std::wstring& value, bool useCache = true);
    bool TryGetNumber(const std::wstring& key, std::uint32_t& value, bool useCache = true);
    std::wstring GetString(const std::wstring& key, const std::wstring& defaultValue, bool useCache = true);
    std::uint32_t GetNumber(const std::wstring& key, std::uint32_t defaultValue, bool useCache = true);
    void ClearCaches();

    const std::wstring& Name() const { return m_name; }
    std::uint32_t Generation() const;

private:
    void ClearIfDueLocked() RSM_REQUIRES(m_lock);
    void ClearLocked() RSM_REQUIRES(m_lock);

    std::wstring m_name;
    std::uint32_t m_refreshIntervalMs;
    mutable Base::Mutex m_lock;
    std::uint32_t m_generation RSM_GUARDED_BY(m_lock) = 0;
    std::uint32_t m_lastClearTick RSM_GUARDED_BY(m_lock) = 0;
    std::unordered_map<std::wstring, std::wstring> m_stringCache RSM_GUARDED_BY(m_lock);
    std::unordered_map<std::wstring, std::uint32_t> m_numberCache RSM_GUARDED_BY(m_lock);
    std::unordered_set<std::wstring> m_absentCache RSM_GUARDED_BY(m_lock);
};
} // namespace Settings
