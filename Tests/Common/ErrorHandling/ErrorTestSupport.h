// Collects the log lines written while it lives, as severity, source line and message.
#pragma once

#include "Common/Logging/LogManager.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport
{
struct LogLine
{
    std::int32_t severity;
    std::string file;
    std::uint32_t line;
    std::wstring message;
};

class LogCapture : private Logging::ILogger, private Logging::ILogFormatter
{
public:
    LogCapture()
    {
        Logging::LogManager::Instance().SetCustomFormatter(this);
        Logging::LogManager::Instance().AddLogger(this);
    }
    ~LogCapture()
    {
        Logging::LogManager::Instance().RemoveLogger(this);
        Logging::LogManager::Instance().SetCustomFormatter(nullptr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() const
    {
        std::lock_guard lock(m_lock);
        return m_lines;
    }
    // Lines of the severity whose message starts with prefix.
    std::vector<LogLine> Find(std::int32_t severity, const std::wstring& prefix) const
    {
        std::vector<LogLine> found;
        for (const LogLine& l : Lines())
        {
            if (l.severity == severity && l.message.rfind(prefix, 0) == 0)
            {
                found.push_back(l);
            }
        }
        return found;
    }
    void Clear()
    {
        std::lock_guard lock(m_lock);
        m_lines.clear();
    }

private:
    // The formatter hands the fields over in a side channel; the text itself is not used.
    void Format(std::wstring& text, std::int32_t severity, const char* sourceFile, std::uint32_t sourceLine,
                const std::wstring& message, std::uint32_t, const std::uint64_t*) override
    {
        std::lock_guard lock(m_lock);
        m_lines.push_back({severity, sourceFile == nullptr ? "" : sourceFile, sourceLine, message});
        text.clear();
    }
    void Write(const wchar_t*, int) override {}

    mutable std::mutex m_lock;
    std::vector<LogLine> m_lines;
};
} // namespace TestSupport
