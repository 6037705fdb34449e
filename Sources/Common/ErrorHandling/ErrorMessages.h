// Message texts of HRESULTs: from a process-wide cache, the message files of the "ErrorHandling"
// settings "MessageFile" (primary, interface-range codes) and "FallbackMessageFile", and the
// system message table.
//
// Message file format (UTF-8, one entry per line):
//   # comment                      lines starting with '#' and blank lines are skipped
//   0x80047F01 Text of the message  code (hexadecimal with 0x, or decimal), blanks, the text
// The text runs to the end of the line; "\n", "\r", "\t" and "\\" stand for those characters.
// Any other line makes the whole file unloadable. A name ending in ".dll" stands for the file
// of the same base name with the extension ".msg".
#pragma once

#include "Common/Base/Locks.h"
#include "RsmTypes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace ErrorHandling
{
// One loaded message file: the stand-in for a resource-only library.
class CMessageModule
{
public:
    // Nullptr with the last error set when the file cannot be read or is not a message file.
    static std::unique_ptr<CMessageModule> Load(const std::wstring& name);
    // Parses message file content; false for malformed content.
    static bool Parse(const std::string& content, std::map<std::uint32_t, std::wstring>& texts);

    const std::wstring* Find(std::uint32_t code) const;
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
    std::map<std::uint32_t, std::wstring> m_texts;
};

constexpr std::size_t kMessageModuleSlots = 5;
using MessageModuleTable = std::array<CMessageModule*, kMessageModuleSlots>;

// The primary and fallback message files, each table filled from slot 0; empty slots are null.
class ErrorMessageModules
{
public:
    // Reads the lists from the "ErrorHandling" settings.
    ErrorMessageModules();
    ErrorMessageModules(const std::wstring& primaryList, const std::wstring& fallbackList);
    ErrorMessageModules(const ErrorMessageModules&) = delete;
    ErrorMessageModules& operator=(const ErrorMessageModules&) = delete;
    ~ErrorMessageModules();

    // The process-wide tables, built on first use. Null on the thread that is building them, so a
    // message lookup made while loading sees no files instead of waiting for itself.
    static const ErrorMessageModules* Instance();

    MessageModuleTable primary{};
    MessageModuleTable fallback{};

private:
    void Load(const std::wstring& primaryList, const std::wstring& fallbackList);
};

void LoadMessageModules(const std::wstring& list, bool relativeToModule, MessageModuleTable& table);
void LoadMessageModule(const std::wstring& name, bool relativeToModule, MessageModuleTable& table,
                       std::size_t& count);

// The raw text of code from module, or from the system message table when module is null.
bool TryFormatMessage(std::wstring& text, std::uint32_t code, const CMessageModule* module);

// Texts looked up so far; entries are never removed or replaced.
class MessageTextCache
{
public:
    static MessageTextCache& Instance();

    bool Find(std::uint32_t code, std::wstring& text) const RSM_EXCLUDES(m_lock);
    // Keeps the first text inserted for a code.
    void Insert(std::uint32_t code, const std::wstring& text) RSM_EXCLUDES(m_lock);

private:
    mutable Base::SharedMutex m_lock;
    bool m_enabled RSM_GUARDED_BY(m_lock) = true;
    std::map<std::uint32_t, std::wstring> m_texts RSM_GUARDED_BY(m_lock);
};

// The text of code, never empty: "<no description>" when nobody knows it. Cached.
std::wstring MessageText(HRESULT code);
// The same lookup against the given tables, without the cache.
std::wstring MessageTextFrom(HRESULT code, const ErrorMessageModules* tables);

// The folder of the file that holds this code, with backslashes and a trailing backslash.
std::wstring OwnModuleFolder();
} // namespace ErrorHandling
