// The process-wide log manager: decides whether a severity is enabled, formats one fixed-column
// line per message and hands it to up to four registered loggers without taking a lock.
#pragma once

#include "Common/Base/Locks.h"
#include "Common/Logging/Log.h"
#include "Common/Settings/GlobalSettings.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace Logging
{
// Printed name of a severity; empty outside 0..7.
const wchar_t* SeverityName(std::int32_t severity);

// printf-style wide formatting where "%s" takes a wide string (as on Windows); a line feed is
// appended and the text goes to the platform debug output (standard error).
void DebugTrace(const wchar_t* format, ...);

// The calling thread's trace nesting, read as the line indent.
std::uint32_t& TraceDepth();

class ILogger
{
public:
    // length in characters; negative means the text runs to its terminating zero.
    virtual void Write(const wchar_t* text, int length) = 0;

protected:
    ~ILogger() = default;
};

class ILogFormatter
{
public:
    // time: UTC in 100-ns units since 1601, or null for now.
    virtual void Format(std::wstring& text, std::int32_t severity, const char* sourceFile,
                        std::uint32_t sourceLine, const std::wstring& message, std::uint32_t indent,
                        const std::uint64_t* time) = 0;

protected:
    ~ILogFormatter() = default;
};

// "yyyy-mm-dd hh:mm:ss.fffffff | SEV  |  pid   tid | File.cpp:line    | message\r\n"
class DefaultLogFormatter : public ILogFormatter
{
public:
    void Format(std::wstring& text, std::int32_t severity, const char* sourceFile, std::uint32_t sourceLine,
                const std::wstring& message, std::uint32_t indent, const std::uint64_t* time) override;
};

// Built-in defaults of the "Logger" section.
struct LogDefaults
{
    static constexpr const wchar_t* Path = L"Logs\\";
    static constexpr std::int32_t MaxSeverity = Dbg;
    static constexpr std::uint32_t RefreshPeriodMs = 5000;
    static constexpr std::uint32_t KeepOpenIntervalMs = 5000;
    static constexpr std::uint32_t FileSizeThresholdMB = 1024;
    static constexpr bool RevertImpersonation = true;
};

// The "Logger" settings, re-read at most every 5 s when somebody asks.
class LogConfig
{
public:
    LogConfig();

    void Refresh(bool onlyWhenDue);
    // The resolved log folder, ending with "\"; the folder chain is created when it changes.
    // Throws HRX when the data directory cannot be built.
    std::wstring GetDirectory() RSM_EXCLUDES(m_directoryLock);
    std::uint32_t GetNumber(const std::wstring& key, std::uint32_t defaultValue);
    std::int32_t MaxSeverity() const { return m_maxSeverity.load(std::memory_order_relaxed); }
    Settings::SettingsSection& Section() { return m_section; }

private:
    Settings::SettingsSection m_section;
    std::atomic<std::uint32_t> m_lastRefreshTick{0};
    std::atomic<std::int32_t> m_maxSeverity{LogDefaults::MaxSeverity};
    Base::Mutex m_directoryLock;
    std::wstring m_directory RSM_GUARDED_BY(m_directoryLock);
    std::atomic<bool> m_directoryDirty{true};
};

class LogManager
{
public:
    static constexpr int LoggerSlots = 4;

    static LogManager& Instance();

    bool IsEnabled(std::int32_t severity);
    void Log(std::int32_t severity, const std::wstring& message, const char* sourceFile,
             std::uint32_t sourceLine, ILogger* logger);
    bool AddLogger(ILogger* logger);
    void RemoveLogger(ILogger* logger);
    // Null restores the default formatter. The formatter must outlive its use.
    void SetCustomFormatter(ILogFormatter* formatter);
    LogConfig& Config() { return m_config; }

    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

private:
    LogManager();
    ~LogManager();

    std::atomic<ILogger*> m_loggers[LoggerSlots];
    std::atomic<ILogFormatter*> m_customFormatter{nullptr};
    DefaultLogFormatter m_defaultFormatter;
    bool m_indentEnabled = true;
    LogConfig m_config;
};

// Registers a logger for its own lifetime.
class LoggerRegistration
{
public:
    explicit LoggerRegistration(ILogger* logger);
    ~LoggerRegistration();
    bool Registered() const { return m_registered; }

    LoggerRegistration(const LoggerRegistration&) = delete;
    LoggerRegistration& operator=(const LoggerRegistration&) = delete;

private:
    ILogger* m_logger;
    bool m_registered;
};
} // namespace Logging
