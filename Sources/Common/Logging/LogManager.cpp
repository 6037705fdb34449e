#include "Common/Logging/LogManager.h"

#include "Common/Base/Text.h"
#include "Common/Settings/DataDirectory.h"
#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"

#include <algorithm>
#include <cstdarg>
#include <cwchar>
#include <pthread.h>
#include <vector>

namespace Logging
{
namespace
{
const wchar_t* const kSeverityNames[] = {L"NONE", L"CRIT", L"ERR",  L"WARN",
                                         L"INFO", L"DBG",  L"DBG2", L"DBG3"};

// Set once the manager is destroyed at unload; logging after that is silently skipped.
std::atomic<bool> g_managerGone{false};

thread_local std::uint32_t t_traceDepth = 0;
// Process and thread ids are system calls; they are asked once and forgotten in a forked child.
thread_local std::uint32_t t_threadId = 0;
std::atomic<std::uint32_t> g_processId{0};

void ForgetIdsInChild()
{
    g_processId.store(0, std::memory_order_relaxed);
    t_threadId = 0;
}

std::uint32_t CachedProcessId()
{
    std::uint32_t pid = g_processId.load(std::memory_order_relaxed);
    if (pid == 0)
    {
        static const int registered = ::pthread_atfork(nullptr, nullptr, ForgetIdsInChild);
        (void)registered;
        pid = Platform::GetCurrentProcessId();
        g_processId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

std::uint32_t CachedThreadId()
{
    if (t_threadId == 0)
    {
        CachedProcessId(); // makes sure the fork handler is in place
        t_threadId = Platform::GetCurrentThreadId();
    }
    return t_threadId;
}

void AppendNumber(std::wstring& out, std::uint64_t value, int width, wchar_t pad)
{
    wchar_t digits[24];
    int n = 0;
    do
    {
        digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = n; i < width; ++i)
    {
        out.push_back(pad);
    }
    while (n > 0)
    {
        out.push_back(digits[--n]);
    }
}

// Windows wide printf reads "%s" as a wide string; glibc wants "%ls".
std::wstring ToGlibcFormat(const wchar_t* format)
{
    std::wstring out;
    for (const wchar_t* p = format; *p != L'\0'; ++p)
    {
        out.push_back(*p);
        if (*p != L'%')
        {
            continue;
        }
        ++p;
        if (*p == L'%')
        {
            out.push_back(*p);
            continue;
        }
        while (*p != L'\0' && std::wcschr(L"-+ #0123456789.*", *p) != nullptr)
        {
            out.push_back(*p++);
        }
        if (*p == L's')
        {
            out.push_back(L'l');
        }
        if (*p == L'\0')
        {
            break;
        }
        out.push_back(*p);
    }
    return out;
}
} // namespace

const wchar_t* SeverityName(std::int32_t severity)
{
    return severity >= 0 && severity <= Dbg3 ? kSeverityNames[severity] : L"";
}

void DebugTrace(const wchar_t* format, ...)
{
    if (format == nullptr)
    {
        return;
    }
    try
    {
        std::wstring fmt = ToGlibcFormat(format);
        std::vector<wchar_t> buffer(512);
        for (;;)
        {
            va_list args;
            va_start(args, format);
            int n = std::vswprintf(buffer.data(), buffer.size(), fmt.c_str(), args);
            va_end(args);
            if (n >= 0)
            {
                Platform::OutputDebugString(std::wstring(buffer.data(), static_cast<std::size_t>(n)));
                return;
            }
            if (buffer.size() >= 65536)
            {
                Platform::OutputDebugString(fmt);
                return;
            }
            buffer.resize(buffer.size() * 4);
        }
    }
    catch (...)
    {
        // Nowhere left to report to.
    }
}

std::uint32_t& TraceDepth()
{
    return t_traceDepth;
}

void DefaultLogFormatter::Format(std::wstring& text, std::int32_t severity, const char* sourceFile,
                                 std::uint32_t sourceLine, const std::wstring& message, std::uint32_t indent,
                                 const std::uint64_t* time)
{
    std::uint64_t stamp = time != nullptr ? *time : Platform::GetSystemTimeAsFileTime();
    Platform::LocalTime lt = Platform::ToLocalTime(stamp);

    std::string_view file = sourceFile == nullptr ? std::string_view() : std::string_view(sourceFile);
    std::size_t sep = file.find_last_of("\\/");
    if (sep != std::string_view::npos)
    {
        file.remove_prefix(sep + 1);
    }
    std::size_t fileLength = file.size();
    file = file.substr(0, 26);
    indent = std::min<std::uint32_t>(indent, 30);

    text.clear();
    text.reserve(96 + message.size() + 2 * indent);
    AppendNumber(text, lt.year, 4, L'0');
    text.push_back(L'-');
    AppendNumber(text, lt.month, 2, L'0');
    text.push_back(L'-');
    AppendNumber(text, lt.day, 2, L'0');
    text.push_back(L' ');
    AppendNumber(text, lt.hour, 2, L'0');
    text.push_back(L':');
    AppendNumber(text, lt.minute, 2, L'0');
    text.push_back(L':');
    AppendNumber(text, lt.second, 2, L'0');
    text.push_back(L'.');
    AppendNumber(text, lt.millisecond, 3, L'0');
    AppendNumber(text, lt.localFileTime % 10000, 4, L'0');
    text += L" | ";
    const wchar_t* name = SeverityName(severity);
    std::size_t nameLength = std::min<std::size_t>(std::wcslen(name), 4);
    text.append(name, nameLength);
    text.append(4 - nameLength, L' ');
    text += L" |";
    AppendNumber(text, CachedProcessId() & 0xFFFF, 5, L' ');
    text.push_back(L' ');
    AppendNumber(text, CachedThreadId() & 0xFFFF, 5, L' ');
    text += L" | ";
    for (char c : file)
    {
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    text.push_back(L':');
    std::size_t lineStart = text.size();
    AppendNumber(text, sourceLine, 0, L' ');
    std::size_t lineWidth = (fileLength >= 26 ? 0 : 26 - fileLength) + 4;
    std::size_t written = text.size() - lineStart;
    if (written < lineWidth)
    {
        text.append(lineWidth - written, L' ');
    }
    text += L"| ";
    text.append(2 * indent, L' ');
    text += message;
    text += L"\r\n";
}

LogConfig::LogConfig() : m_section(L"Logger", 0) {}

void LogConfig::Refresh(bool onlyWhenDue)
{
    std::uint32_t now = Platform::GetTickCount();
    std::uint32_t last = m_lastRefreshTick.load(std::memory_order_relaxed);
    if (onlyWhenDue && last != 0 && now - last <= LogDefaults::RefreshPeriodMs)
    {
        return;
    }
    m_section.ClearCaches();
    std::int32_t severity = LogDefaults::MaxSeverity;
    std::wstring name;
    if (m_section.TryGetString(L"MaxSeverity", name))
    {
        name = Settings::Trim(name);
        for (std::int32_t i = None; i <= Dbg3; ++i)
        {
            if (Base::EqualsNoCase(name, kSeverityNames[i]))
            {
                severity = i;
                break;
            }
        }
    }
    m_maxSeverity.store(severity, std::memory_order_relaxed);
    m_directoryDirty.store(true, std::memory_order_release);
    m_lastRefreshTick.store(Platform::GetTickCount(), std::memory_order_relaxed);
}

std::wstring LogConfig::GetDirectory()
{
    Refresh(true);
    Base::LockGuard<Base::Mutex> lock(m_directoryLock);
    if (m_directoryDirty.load(std::memory_order_acquire))
    {
        std::wstring path = m_section.GetString(L"Path", LogDefaults::Path);
        path = Settings::DataDirectory::Instance().ResolvePath(path);
        std::replace(path.begin(), path.end(), L'/', L'\\');
        if (path.empty() || path.back() != L'\\')
        {
            path.push_back(L'\\');
        }
        if (path != m_directory)
        {
            m_directory = path;
            Platform::CreateFolderChain(m_directory);
        }
        m_directoryDirty.store(false, std::memory_order_relaxed);
    }
    return m_directory;
}

std::uint32_t LogConfig::GetNumber(const std::wstring& key, std::uint32_t defaultValue)
{
    Refresh(true);
    return m_section.GetNumber(key, defaultValue);
}

LogManager::LogManager()
{
    for (auto& slot : m_loggers)
    {
        slot.store(nullptr);
    }
}

LogManager::~LogManager()
{
    g_managerGone.store(true);
}

LogManager& LogManager::Instance()
{
    static LogManager manager;
    return manager;
}

bool LogManager::IsEnabled(std::int32_t severity)
{
    if (severity < 1)
    {
        return false;
    }
    m_config.Refresh(true);
    return severity <= m_config.MaxSeverity();
}

void LogManager::Log(std::int32_t severity, const std::wstring& message, const char* sourceFile,
                     std::uint32_t sourceLine, ILogger* logger)
{
    std::uint64_t now = Platform::GetSystemTimeAsFileTime();
    std::uint32_t indent = m_indentEnabled ? t_traceDepth : 0;
    ILogFormatter* formatter = m_customFormatter.load(std::memory_order_acquire);
    if (formatter == nullptr)
    {
        formatter = &m_defaultFormatter;
    }
    std::wstring text;
    formatter->Format(text, severity, sourceFile, sourceLine, message, indent, &now);
    int length = static_cast<int>(std::min<std::size_t>(text.size(), 0x7FFFFFFF));
    if (logger != nullptr)
    {
        logger->Write(text.c_str(), length);
        return;
    }
    for (auto& slot : m_loggers)
    {
        ILogger* target = slot.load(std::memory_order_acquire);
        if (target != nullptr)
        {
            target->Write(text.c_str(), length);
        }
    }
}

bool LogManager::AddLogger(ILogger* logger)
{
    if (logger == nullptr)
    {
        return false;
    }
    RemoveLogger(logger);
    for (auto& slot : m_loggers)
    {
        ILogger* expected = nullptr;
        if (slot.compare_exchange_strong(expected, logger, std::memory_order_acq_rel))
        {
            return true;
        }
    }
    DebugTrace(L"LogManager: Too many loggers");
    return false;
}

void LogManager::RemoveLogger(ILogger* logger)
{
    if (logger == nullptr)
    {
        return;
    }
    for (auto& slot : m_loggers)
    {
        ILogger* expected = logger;
        slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    }
}

void LogManager::SetCustomFormatter(ILogFormatter* formatter)
{
    m_customFormatter.store(formatter, std::memory_order_release);
}

LoggerRegistration::LoggerRegistration(ILogger* logger)
    : m_logger(logger), m_registered(!g_managerGone.load() && LogManager::Instance().AddLogger(logger))
{
}

LoggerRegistration::~LoggerRegistration()
{
    if (m_registered && !g_managerGone.load())
    {
        LogManager::Instance().RemoveLogger(m_logger);
    }
}

bool IsLogEnabled(std::int32_t severity)
{
    if (severity < 1 || g_managerGone.load(std::memory_order_relaxed))
    {
        return false;
    }
    return LogManager::Instance().IsEnabled(severity);
}

void Log(std::int32_t severity, const std::wstring& message, const char* sourceFile, std::uint32_t sourceLine,
         ILogger* logger)
{
    if (g_managerGone.load(std::memory_order_relaxed))
    {
        return;
    }
    try
    {
        LogManager::Instance().Log(severity, message, sourceFile, sourceLine, logger);
    }
    catch (...)
    {
        // Logging never throws into the code that logs; the line is lost.
    }
}
} // namespace Logging
