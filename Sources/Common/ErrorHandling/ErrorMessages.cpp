#include "Common/ErrorHandling/ErrorMessages.h"
#include "Common/Base/Text.h"
#include "Common/ErrorHandling/ErrorDescription.h"
#include "Common/ErrorHandling/SystemMessages.h"
#include "Common/Logging/Log.h"
#include "Common/Settings/GlobalSettings.h"
#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"

#include <cerrno>
#include <cwctype>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ErrorHandling
{
namespace
{
constexpr std::uint32_t kErrorBadFormat = 11;
constexpr std::uint32_t kErrorFileTooLarge = 223;
// Message files are small; anything bigger is not one of ours.
constexpr off_t kMaxMessageFileSize = 4 * 1024 * 1024;

constexpr wchar_t kNoDescription[] = L"<no description>";

// Set while this thread builds the process-wide tables.
thread_local bool t_buildingTables = false;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool HasFolder(const std::wstring& name)
{
    return name.find_first_of(L"\\/") != std::wstring::npos;
}

// Reads a whole regular file; on failure sets the last error and returns false.
bool ReadMessageFile(const std::string& path, std::string& content, bool& exists)
{
    exists = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        Platform::SetLastErrorFromErrno();
        return false;
    }
    exists = true;
    struct stat info
    {
    };
    bool ok = false;
    if (::fstat(fd, &info) != 0)
    {
        Platform::SetLastErrorFromErrno();
    }
    else if (!S_ISREG(info.st_mode))
    {
        Platform::SetLastError(kErrorBadFormat);
    }
    else if (info.st_size > kMaxMessageFileSize)
    {
        Platform::SetLastError(kErrorFileTooLarge);
    }
    else
    {
        content.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        ok = true;
        while (done < content.size())
        {
            ssize_t n = ::read(fd, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR)
            {
                continue;
            }
            if (n <= 0)
            {
                if (n < 0)
                {
                    Platform::SetLastErrorFromErrno();
                }
                content.resize(done); // the file shrank meanwhile
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    return ok;
}

// Folders searched for a name without a folder of its own: the program's folder, the current
// folder, then those of PATH.
std::vector<std::wstring> SearchFolders()
{
    std::vector<std::wstring> folders;
    std::wstring exe = Platform::GetExecutablePath();
    std::size_t slash = exe.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
    {
        folders.push_back(exe.substr(0, slash + 1));
    }
    folders.emplace_back();
    std::wstring path;
    if (Platform::GetEnvironmentVariable(L"PATH", path))
    {
        std::size_t start = 0;
        while (start <= path.size())
        {
            std::size_t end = path.find(L':', start);
            if (end == std::wstring::npos)
            {
                end = path.size();
            }
            if (end > start)
            {
                folders.push_back(path.substr(start, end - start) + L"/");
            }
            start = end + 1;
        }
    }
    return folders;
}

template <typename Tables> std::wstring Lookup(std::uint32_t code, Tables&& tables)
{
    std::wstring text;
    bool found = false;
    if (code >= 0x80040200u && code <= 0x8004FFFFu)
    {
        if (const ErrorMessageModules* modules = tables())
        {
            for (CMessageModule* module : modules->primary)
            {
                if (module == nullptr || found)
                {
                    break;
                }
                found = TryFormatMessage(text, code, module);
            }
        }
    }
    std::uint32_t candidates[2] = {code, code & 0xFFFFu};
    std::size_t candidateCount = ((code >> 16) & 0x1FFFu) == 7 ? 2 : 1;
    for (std::size_t i = 0; i < candidateCount && !found; ++i)
    {
        found = TryFormatMessage(text, candidates[i], nullptr);
        if (!found)
        {
            if (const ErrorMessageModules* modules = tables())
            {
                for (CMessageModule* module : modules->fallback)
                {
                    if (module == nullptr || found)
                    {
                        break;
                    }
                    found = TryFormatMessage(text, candidates[i], module);
                }
            }
        }
    }
    if (!found)
    {
        text = kNoDescription;
    }
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t' || text.back() == L'.' ||
                             text.back() == L'\r' || text.back() == L'\n'))
    {
        text.pop_back();
    }
    return text;
}
} // namespace

bool CMessageModule::Parse(const std::string& content, std::map<std::uint32_t, std::wstring>& texts)
{
    std::size_t pos = 0;
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0)
    {
        pos = 3;
    }
    while (pos < content.size())
    {
        std::size_t end = content.find('\n', pos);
        if (end == std::string::npos)
        {
            end = content.size();
        }
        std::string_view line(content.data() + pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
        {
            line.remove_suffix(1);
        }
        while (!line.empty() && IsBlank(line.front()))
        {
            line.remove_prefix(1);
        }
        if (line.empty() || line.front() == '#')
        {
            continue;
        }

        int base = 10;
        if (line.size() > 2 && line[0] == '0' && (line[1] == 'x' || line[1] == 'X'))
        {
            base = 16;
            line.remove_prefix(2);
        }
        std::uint64_t code = 0;
        std::size_t digits = 0;
        for (; digits < line.size(); ++digits)
        {
            char c = line[digits];
            int value = c >= '0' && c <= '9'                 ? c - '0'
                        : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                             : -1;
            if (value < 0)
            {
                break;
            }
            code = code * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(value);
            if (code > 0xFFFFFFFFu)
            {
                return false;
            }
        }
        if (digits == 0 || digits == line.size() || !IsBlank(line[digits]))
        {
            return false;
        }
        line.remove_prefix(digits);
        while (!line.empty() && IsBlank(line.front()))
        {
            line.remove_prefix(1);
        }
        if (line.empty())
        {
            return false;
        }

        std::string raw;
        for (std::size_t i = 0; i < line.size(); ++i)
        {
            if (line[i] != '\\')
            {
                raw.push_back(line[i]);
                continue;
            }
            if (++i == line.size())
            {
                return false;
            }
            switch (line[i])
            {
            case 'n':
                raw.push_back('\n');
                break;
            case 'r':
                raw.push_back('\r');
                break;
            case 't':
                raw.push_back('\t');
                break;
            case '\\':
                raw.push_back('\\');
                break;
            default:
                return false;
            }
        }
        if (!texts.emplace(static_cast<std::uint32_t>(code), Platform::FromUtf8(raw)).second)
        {
            return false; // a code defined twice
        }
    }
    return true;
}

std::unique_ptr<CMessageModule> CMessageModule::Load(const std::wstring& name)
{
    if (name.empty())
    {
        Platform::SetLastError(ERROR_INVALID_PARAMETER_CODE);
        return nullptr;
    }
    std::wstring fileName = name;
    if (Base::EndsWithNoCase(fileName, L".dll"))
    {
        fileName.replace(fileName.size() - 4, 4, L".msg");
    }

    std::vector<std::wstring> candidates;
    if (HasFolder(fileName))
    {
        candidates.push_back(fileName);
    }
    else
    {
        for (const std::wstring& folder : SearchFolders())
        {
            candidates.push_back(folder + fileName);
        }
    }

    std::string content;
    bool loaded = false;
    std::wstring path;
    for (const std::wstring& candidate : candidates)
    {
        bool exists = false;
        loaded = ReadMessageFile(Platform::ToFileSystemPath(candidate), content, exists);
        if (exists)
        {
            // The first file found is the one taken, usable or not.
            path = candidate;
            break;
        }
    }
    if (!loaded)
    {
        return nullptr;
    }
    auto module = std::make_unique<CMessageModule>();
    if (!Parse(content, module->m_texts))
    {
        Platform::SetLastError(kErrorBadFormat);
        return nullptr;
    }
    module->m_path = path;
    return module;
}

const std::wstring* CMessageModule::Find(std::uint32_t code) const
{
    auto it = m_texts.find(code);
    return it == m_texts.end() ? nullptr : &it->second;
}

std::wstring OwnModuleFolder()
{
    return Platform::GetModuleFolderOf(reinterpret_cast<const void*>(&OwnModuleFolder));
}

void LoadMessageModule(const std::wstring& name, bool relativeToModule, MessageModuleTable& table,
                       std::size_t& count)
{
    std::wstring fullName = relativeToModule && !HasFolder(name) ? OwnModuleFolder() + name : name;
    std::unique_ptr<CMessageModule> module = CMessageModule::Load(fullName);
    if (module && count < table.size())
    {
        table[count++] = module.release();
    }
    else if (module)
    {
        RSM_LOG(Logging::Err,
                L"Loading errormsg module '" << fullName << L"'" << L" failed: " << L"No more slots");
    }
    else
    {
        HRES error;
        error.Set(Win32Bool{0});
        RSM_LOG(Logging::Err, L"Loading errormsg module '" << fullName << L"'" << L" failed: " << error);
    }
}

void LoadMessageModules(const std::wstring& list, bool relativeToModule, MessageModuleTable& table)
{
    std::size_t count = 0;
    std::size_t start = 0;
    while (start <= list.size())
    {
        std::size_t end = list.find_first_of(L",|;", start);
        if (end == std::wstring::npos)
        {
            end = list.size();
        }
        if (end > start)
        {
            LoadMessageModule(list.substr(start, end - start), relativeToModule, table, count);
        }
        start = end + 1;
    }
}

ErrorMessageModules::ErrorMessageModules()
{
    HRESULT failure = S_OK;
    try
    {
        // Settings are read one after the other so that the first list loads even when the
        // second cannot be read.
        LoadMessageModules(
            Settings::GetGlobalSettingOr(L"ErrorHandling", L"MessageFile", L"TalErrorMessages.dll"), true,
            primary);
        LoadMessageModules(Settings::GetGlobalSettingOr(L"ErrorHandling", L"FallbackMessageFile", L""), false,
                           fallback);
    }
    catch (const HRX& e)
    {
        failure = e.Code();
    }
    catch (const std::bad_alloc&)
    {
        failure = E_OUTOFMEMORY;
    }
    catch (...)
    {
        failure = E_UNEXPECTED;
    }
    if (failure != S_OK)
    {
        RSM_LOG(Logging::Err,
                L"Loading error message module(s)" << L" failed: " << static_cast<std::int32_t>(failure));
    }
}

ErrorMessageModules::ErrorMessageModules(const std::wstring& primaryList, const std::wstring& fallbackList)
{
    LoadMessageModules(primaryList, true, primary);
    LoadMessageModules(fallbackList, false, fallback);
}

ErrorMessageModules::~ErrorMessageModules()
{
    for (MessageModuleTable* table : {&primary, &fallback})
    {
        for (CMessageModule*& module : *table)
        {
            delete module;
            module = nullptr;
        }
    }
}

const ErrorMessageModules* ErrorMessageModules::Instance()
{
    if (t_buildingTables)
    {
        return nullptr;
    }
    struct BuildingGuard
    {
        BuildingGuard() { t_buildingTables = true; }
        ~BuildingGuard() { t_buildingTables = false; }
    };
    static const std::unique_ptr<ErrorMessageModules> tables = []
    {
        BuildingGuard building;
        return std::make_unique<ErrorMessageModules>();
    }();
    return tables.get();
}

bool TryFormatMessage(std::wstring& text, std::uint32_t code, const CMessageModule* module)
{
    // Message files and the system table carry one language each, so the user's language and
    // the neutral one give the same answer: a single attempt is enough.
    if (module == nullptr)
    {
        const wchar_t* system = FindSystemMessage(code);
        if (system == nullptr)
        {
            return false;
        }
        text = system;
        return true;
    }
    const std::wstring* found = module->Find(code);
    if (found == nullptr)
    {
        return false;
    }
    text = *found;
    return true;
}

MessageTextCache& MessageTextCache::Instance()
{
    static MessageTextCache cache;
    return cache;
}

bool MessageTextCache::Find(std::uint32_t code, std::wstring& text) const
{
    Base::SharedLockGuard lock(m_lock);
    if (!m_enabled)
    {
        return false;
    }
    auto it = m_texts.find(code);
    if (it == m_texts.end())
    {
        return false;
    }
    text = it->second;
    return true;
}

void MessageTextCache::Insert(std::uint32_t code, const std::wstring& text)
{
    Base::LockGuard<Base::SharedMutex> lock(m_lock);
    m_texts.emplace(code, text);
}

std::wstring MessageText(HRESULT code)
{
    std::uint32_t key = static_cast<std::uint32_t>(code);
    MessageTextCache& cache = MessageTextCache::Instance();
    std::wstring text;
    if (cache.Find(key, text))
    {
        return text;
    }
    // A lookup made while the tables are being loaded sees no files; its answer is not kept.
    bool nested = t_buildingTables;
    text = Lookup(key, [] { return ErrorMessageModules::Instance(); });
    if (!nested)
    {
        cache.Insert(key, text);
    }
    return text;
}

std::wstring MessageTextFrom(HRESULT code, const ErrorMessageModules* tables)
{
    return Lookup(static_cast<std::uint32_t>(code), [tables] { return tables; });
}
} // namespace ErrorHandling
