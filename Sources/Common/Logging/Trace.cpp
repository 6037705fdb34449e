#include "Common/Logging/Trace.h"

#include "Common/Logging/LogManager.h"
#include "Platform/Core/System.h"

#include <atomic>
#include <exception>

namespace Logging
{
namespace
{
std::atomic<std::int64_t> g_ticksPer10us{0};

std::int64_t TicksPer10us()
{
    std::int64_t value = g_ticksPer10us.load(std::memory_order_relaxed);
    if (value == 0)
    {
        value = Platform::QueryPerformanceFrequency() / 100000;
        if (value < 1)
        {
            value = 1;
        }
        g_ticksPer10us.store(value, std::memory_order_relaxed);
    }
    return value;
}

void Unwind(std::uint32_t& guard)
{
    if (guard != 0)
    {
        TraceDepth() -= guard;
        guard = 0;
    }
}
} // namespace

std::int64_t ToMicroseconds(std::int64_t performanceTicks)
{
    return performanceTicks * 10 / TicksPer10us();
}

std::wstring FormatElapsed(std::int64_t microseconds)
{
    bool negative = microseconds < 0;
    std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(microseconds) : static_cast<std::uint64_t>(microseconds);
    std::wstring whole = std::to_wstring(magnitude / 1000);
    std::wstring grouped;
    for (std::size_t i = 0; i < whole.size(); ++i)
    {
        if (i != 0 && (whole.size() - i) % 3 == 0)
        {
            grouped.push_back(L' ');
        }
        grouped.push_back(whole[i]);
    }
    std::wstring fraction = std::to_wstring(magnitude % 1000);
    fraction.insert(0, 3 - fraction.size(), L'0');
    return std::wstring(L" [") + (negative ? L"-" : L"") + grouped + L"." + fraction + L" ms]";
}

TraceScope::TraceScope(std::int32_t severity, std::int32_t exceptionSeverity, std::wstring name,
                       const char* sourceFile, std::uint32_t sourceLine, ILogger* logger)
    : m_severity(severity), m_exceptionSeverity(exceptionSeverity), m_name(std::move(name)),
      m_sourceFile(sourceFile), m_sourceLine(sourceLine), m_logger(logger),
      m_uncaughtAtEntry(std::uncaught_exceptions())
{
    if (IsLogEnabled(m_severity))
    {
        Log(m_severity, L"Entering: " + m_name, m_sourceFile, m_sourceLine, m_logger);
        ++TraceDepth();
        m_indentGuard = 1;
    }
    m_startTicks = Platform::QueryPerformanceCounter();
}

TraceScope::~TraceScope()
{
    std::int64_t now = Platform::QueryPerformanceCounter();
    bool exceptional = std::uncaught_exceptions() != m_uncaughtAtEntry;
    std::int32_t severity = exceptional ? m_exceptionSeverity : m_severity;
    try
    {
        if (IsLogEnabled(severity))
        {
            std::wstring text = (exceptional ? L"EXCEPTION at: " : L"Exiting: ") + m_name +
                                FormatElapsed(ToMicroseconds(now - m_startTicks));
            Unwind(m_indentGuard);
            Log(severity, text, m_sourceFile, m_sourceLine, m_logger);
        }
    }
    catch (...)
    {
        // The exit line is lost; the indentation is still restored below.
    }
    Unwind(m_indentGuard);
}
} // namespace Logging
