// The module's data directory: relative paths (the log folder first of all) are placed under it,
// and a registry key may redirect it or individual sub-folders.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace Settings
{
// Compares two component lists component by component, case-insensitively.
struct ComponentListLess
{
    bool operator()(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b) const;
};

// Splits at "\" and "/", dropping empty components.
std::vector<std::wstring> SplitPathComponents(const std::wstring& path);

// True when the path starts with "\" or "/" or has ":" as its second character.
bool IsAbsolutePath(const std::wstring& path);

class DataDirectory
{
public:
    // Reads "General"/"DataDirectoryPath" and the override key now. Throws HRX when the override
    // key cannot be enumerated or read.
    DataDirectory();

    // The process-wide instance, built on first use; a failed construction throws HRX and is
    // attempted again at the next call.
    static DataDirectory& Instance();
    // Drops the process-wide instance so that the next use reads the settings again.
    static void ResetInstance();

    // Expands %NAME% references; a relative path goes through the overrides, and what is still
    // relative is placed under the base folder. Absolute paths come back unchanged.
    std::wstring ResolvePath(const std::wstring& path) const;

    const std::wstring& Base() const { return m_base; }
    const std::map<std::vector<std::wstring>, std::wstring, ComponentListLess>& Overrides() const
    {
        return m_overrides;
    }

private:
    bool ApplyOverride(std::wstring& path) const;

    std::wstring m_base;
    std::map<std::vector<std::wstring>, std::wstring, ComponentListLess> m_overrides;
};
} // namespace Settings
