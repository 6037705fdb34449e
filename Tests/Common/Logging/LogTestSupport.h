// Helpers for log tests: configuring the "Logger" section through the environment, capturing
// the debug output (standard error), reading log files back as UTF-16LE, an in-memory logger.
#pragma once

#include "Common/Logging/LogManager.h"
#include "Common/Settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace TestSupport
{
// The "Logger" settings as environment variables; the log manager re-reads them at once.
class LoggerEnv
{
public:
    LoggerEnv(const std::string& path, std::optional<std::string> keepOpen = "0")
        : m_path("GS_Logger_Path", path), m_keepOpen("GS_Logger_KeepOpenInterval", keepOpen),
          m_threshold("GS_Logger_LogFileSizeThresholdMB", std::nullopt),
          m_severity("GS_Logger_MaxSeverity", "DBG3")
    {
        Refresh();
    }
    ~LoggerEnv() { Refresh(); }
    void Set(const std::string& key, std::optional<std::string> value)
    {
        ScopedEnv::Apply("GS_Logger_" + key, value);
        Refresh();
    }
    static void Refresh() { Logging::LogManager::Instance().Config().Refresh(false); }

private:
    ScopedEnv m_path, m_keepOpen, m_threshold, m_severity;
};

// Standard error between the two calls, through GoogleTest's stream redirection.
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

inline std::size_t CountOf(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
    {
        ++n;
    }
    return n;
}

// The file must hold whole code units.
inline std::wstring ReadUtf16File(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(0u, bytes.size() % 2) << path;
    return Platform::FromUtf16Le(bytes.data(), bytes.size());
}

// The lines of a text, without their "\r\n" ends.
inline std::vector<std::wstring> SplitLines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    for (std::size_t start = 0, end = 0; start < text.size(); start = end + 2)
    {
        end = std::min(text.find(L"\r\n", start), text.size());
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// Keeps the lines it is given; for tests that log from one thread.
struct MemoryLogger : Logging::ILogger
{
    std::vector<std::wstring> lines;
    void Write(const wchar_t* text, int length) override
    {
        lines.emplace_back(text, length < 0 ? std::wcslen(text) : static_cast<std::size_t>(length));
    }
};

// The text after the columns ("| " + indent + message), without the line end.
inline std::wstring MessageColumn(const std::wstring& line)
{
    std::size_t p = line.find(L"| ", 72);
    std::wstring rest = p == std::wstring::npos ? line : line.substr(p + 2);
    if (rest.size() >= 2 && rest.compare(rest.size() - 2, 2, L"\r\n") == 0)
    {
        rest.resize(rest.size() - 2);
    }
    return rest;
}
} // namespace TestSupport
