// The module's single logging pattern: ask IsLogEnabled first, compose only when it answers
// true, then Log with the statement's source position.
//
//   RSM_LOG(Logging::Dbg, L"Config path updated: " << path);
//   RSM_LOG_AT(Logging::Warn, 554, L"...");          // a fixed source line
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace Logging
{
class ILogger;

enum Severity : std::int32_t
{
    None = 0,
    Crit = 1,
    Err = 2,
    Warn = 3,
    Info = 4,
    Dbg = 5,
    Dbg2 = 6,
    Dbg3 = 7,
};

bool IsLogEnabled(std::int32_t severity);
void Log(std::int32_t severity, const std::wstring& message, const char* sourceFile, std::uint32_t sourceLine,
         ILogger* logger = nullptr);

// Wide message stream; null text pointers print "(null)", narrow text is widened.
class LogMessage
{
public:
    template <typename T> LogMessage& operator<<(const T& value)
    {
        m_stream << value;
        return *this;
    }
    LogMessage& operator<<(const wchar_t* text)
    {
        m_stream << (text == nullptr ? L"(null)" : text);
        return *this;
    }
    LogMessage& operator<<(wchar_t* text) { return *this << static_cast<const wchar_t*>(text); }
    LogMessage& operator<<(const char* text)
    {
        return *this << std::string_view(text == nullptr ? "(null)" : text);
    }
    LogMessage& operator<<(char* text) { return *this << static_cast<const char*>(text); }
    LogMessage& operator<<(const std::string& text) { return *this << std::string_view(text); }
    LogMessage& operator<<(std::string_view text)
    {
        for (char c : text)
        {
            m_stream.put(static_cast<wchar_t>(static_cast<unsigned char>(c)));
        }
        return *this;
    }
    LogMessage& operator<<(std::wostream& (*manip)(std::wostream&))
    {
        m_stream << manip;
        return *this;
    }
    std::wostringstream& Stream() { return m_stream; }
    std::wstring Text() const { return m_stream.str(); }
    void MarkException() { m_stream << L"... (***EXCEPTION***)"; }

private:
    std::wostringstream m_stream;
};
} // namespace Logging

#define RSM_LOG_FL(severity, file, line, expr)                                                               \
    do                                                                                                       \
    {                                                                                                        \
        if (::Logging::IsLogEnabled(severity))                                                               \
        {                                                                                                    \
            ::Logging::LogMessage rsmLogMessage_;                                                            \
            try                                                                                              \
            {                                                                                                \
                rsmLogMessage_ << expr;                                                                      \
            }                                                                                                \
            catch (...)                                                                                      \
            {                                                                                                \
                rsmLogMessage_.MarkException();                                                              \
            }                                                                                                \
            ::Logging::Log(severity, rsmLogMessage_.Text(), file, line, nullptr);                            \
        }                                                                                                    \
    } while (false)

#define RSM_LOG_AT(severity, line, expr) RSM_LOG_FL(severity, __FILE__, line, expr)
#define RSM_LOG(severity, expr) RSM_LOG_FL(severity, __FILE__, __LINE__, expr)
