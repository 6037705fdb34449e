// Entry and exit lines of a method, with its duration; lines logged inside are indented one
// level deeper. At the top of a method body:
//
//   RSM_TRACE_SCOPE(Logging::Dbg, L"ManagementService::CReportingSettingsManager::Configure");
//   RSM_TRACE_SCOPE_AT(Logging::Dbg2, 412, L"Executing AsyncAction");   // a fixed source line
//
// When the severity is off at entry nothing is composed and nothing is logged at exit.
#pragma once

#include "Common/Logging/Log.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Logging
{
// " [1 234.567 ms]": milliseconds with three decimals, digit groups separated by one blank.
std::wstring FormatElapsed(std::int64_t microseconds);
std::int64_t ToMicroseconds(std::int64_t performanceTicks);

class TraceScope
{
public:
    TraceScope(std::int32_t severity, std::int32_t exceptionSeverity, std::wstring name,
               const char* sourceFile, std::uint32_t sourceLine, ILogger* logger = nullptr);
    ~TraceScope();

    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    std::int32_t m_severity;
    std::int32_t m_exceptionSeverity;
    std::wstring m_name;
    const char* m_sourceFile;
    std::uint32_t m_sourceLine;
    ILogger* m_logger;
    std::int64_t m_startTicks = 0;
    std::uint32_t m_indentGuard = 0;
    int m_uncaughtAtEntry;
};

// The trace point: composes the name and creates the scope only when the severity is on.
template <typename Compose>
std::unique_ptr<TraceScope> MakeTraceScope(std::int32_t severity, const char* sourceFile,
                                           std::uint32_t sourceLine, Compose&& compose)
{
    if (!IsLogEnabled(severity))
    {
        return nullptr;
    }
    LogMessage name;
    try
    {
        compose(name);
    }
    catch (...)
    {
        name.MarkException();
    }
    return std::make_unique<TraceScope>(severity, severity, name.Text(), sourceFile, sourceLine, nullptr);
}
} // namespace Logging

#define RSM_TRACE_CONCAT_INNER(a, b) a##b
#define RSM_TRACE_CONCAT(a, b) RSM_TRACE_CONCAT_INNER(a, b)
#define RSM_TRACE_SCOPE_FL(severity, file, line, nameExpr)                                                   \
    auto RSM_TRACE_CONCAT(rsmTraceScope_, __LINE__) = ::Logging::MakeTraceScope(                             \
        severity, file, line, [&](::Logging::LogMessage& rsmTraceName_) { rsmTraceName_ << nameExpr; })
#define RSM_TRACE_SCOPE_AT(severity, line, nameExpr) RSM_TRACE_SCOPE_FL(severity, __FILE__, line, nameExpr)
#define RSM_TRACE_SCOPE(severity, nameExpr) RSM_TRACE_SCOPE_FL(severity, __FILE__, __LINE__, nameExpr)
