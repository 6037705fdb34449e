// A file-based stand-in for the registry reads the data directory needs.
//
// The store is a folder (environment variable RSM_REGISTRY_DIR, default: the "Registry" folder
// beside the module) holding one text file per root key, "HKEY_LOCAL_MACHINE.reg" and
// "HKEY_CURRENT_USER.reg", in UTF-8 and in the layout of a registry export:
//
//   [Software\Vendor\Product\Overrides]
//   @="D:\\Data"                      ; the key's unnamed default value
//   "Logs"="\\var\\log\\product"      ; REG_SZ
//   "Cache"=expand:"%TEMP%\\cache"   ; REG_EXPAND_SZ
//   "Level"=dword:00000010            ; REG_DWORD
//
// Key paths and value names compare case-insensitively; inside quotes "\\" and "\"" are escapes.
#pragma once

#include "Common/Base/Text.h"
#include "RsmTypes.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Settings
{
enum class RegistryRoot
{
    LocalMachine,
    CurrentUser,
};

constexpr std::uint32_t REG_SZ_TYPE = 1;
constexpr std::uint32_t REG_EXPAND_SZ_TYPE = 2;
constexpr std::uint32_t REG_DWORD_TYPE = 4;

// The folder that holds the root key files, ending with "/".
std::string RegistryStoreFolder();

class RegistryKey
{
public:
    // 0 on success; ERROR_FILE_NOT_FOUND when the root file or the key does not exist.
    static std::uint32_t Open(RegistryRoot root, const std::wstring& subKey,
                              std::unique_ptr<RegistryKey>& key);

    // Value name at index into a buffer of *nameChars characters (terminator included):
    // ERROR_MORE_DATA when it does not fit (*nameChars then holds the size needed),
    // ERROR_NO_MORE_ITEMS past the end, ERROR_INVALID_DATA for a malformed line.
    std::uint32_t EnumValue(std::uint32_t index, wchar_t* name, std::uint32_t* nameChars,
                            std::uint32_t* type) const;
    // The data of a string value (expanded or not).
    std::uint32_t QueryString(const std::wstring& name, std::wstring& data) const;

private:
    struct Value
    {
        bool valid = false;
        std::wstring name;
        std::uint32_t type = 0;
        std::wstring data;
    };
    std::vector<Value> m_values;
};

// Splits the root component off keyPath ("HKLM", "HKEY_LOCAL_MACHINE", "HKCU",
// "HKEY_CURRENT_USER", exact case); anything else reads HKEY_LOCAL_MACHINE with the whole path.
RegistryRoot ParseRootKey(std::wstring& keyPath);

// The REG_SZ and REG_EXPAND_SZ values of the key, environment references expanded; empty when
// the key cannot be opened. Throws HRX on enumeration or read errors.
std::map<std::wstring, std::wstring, Base::NoCaseLess> ReadRegistryStringValues(const std::wstring& keyPath);
} // namespace Settings
