// Where the manager's log lines and boundaries say they come from. The manager's code is spread
// over several sources, but every line it writes names the manager's one source file and a fixed
// line, so that log readers and tools keyed on file and line keep working whichever source holds
// the statement. All name and line pairs live here.
#pragma once

#include "Common/ErrorHandling/Boundary.h"
#include "Common/Logging/Log.h"
#include "Common/Logging/Trace.h"

#include <cstdint>
#include <utility>

namespace ManagementService::ManagerLog
{
inline constexpr char kSourceFile[] =
    "Sources/Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsManager";

struct Site
{
    const wchar_t* name; // fully qualified method name, or null for a plain log line
    std::uint32_t line;
};

#define RSM_MANAGER_NAME L"ManagementService::CReportingSettingsManager::"

// Boundaries of the interface operations (ERR "<name> failed: <error>").
inline constexpr Site kFinalConstruct{RSM_MANAGER_NAME L"FinalConstruct", 75};
inline constexpr Site kConfigure{RSM_MANAGER_NAME L"Configure", 182};
inline constexpr Site kAcquireCommonConnectionSettings{RSM_MANAGER_NAME L"AcquireCommonConnectionSettings",
                                                       230};
inline constexpr Site kAcquireConnectionSettings{RSM_MANAGER_NAME L"AcquireConnectionSettings", 256};
inline constexpr Site kConvertReportingSettings{RSM_MANAGER_NAME L"ConvertReportingSettings", 282};
inline constexpr Site kCreateReportingSettingsSubscription{
    RSM_MANAGER_NAME L"CreateReportingSettingsSubscription", 332};
inline constexpr Site kRemoveReportingSettingsSubscription{
    RSM_MANAGER_NAME L"RemoveReportingSettingsSubscription", 365};
inline constexpr Site kAcquireProductsSettings{RSM_MANAGER_NAME L"AcquireProductsSettings", 389};
inline constexpr Site kSetReportingSettingsEnabled{RSM_MANAGER_NAME L"SetReportingSettingsEnabled", 448};

// Other trace points and log lines.
inline constexpr Site kConfigDump{nullptr, 95};
inline constexpr Site kInvalidAssignment{nullptr, 411};
inline constexpr Site kDistributeCommonReportingSettings{
    RSM_MANAGER_NAME L"DistributeCommonReportingSettings", 461};
inline constexpr Site kUnsubscribeFailed{nullptr, 554};
inline constexpr Site kConfigPathUpdated{nullptr, 628};
inline constexpr Site kIntAcquireCommonConnSettings{RSM_MANAGER_NAME L"IntAcquireCommonConnSettings", 698};
// The notification thread has no caller: its failures are only logged.
inline constexpr Site kNotificationThread{RSM_MANAGER_NAME L"NotificationThread", 0};

template <typename Body> HRESULT AtBoundary(const Site& site, Body&& body) noexcept
{
    return ::ErrorHandling::InvokeAtBoundary(site.name, kSourceFile, site.line, std::forward<Body>(body));
}

template <typename Body> HRESULT AsWorker(const Site& site, Body&& body) noexcept
{
    return ::ErrorHandling::InvokeWorker(site.name, kSourceFile, site.line, std::forward<Body>(body));
}
} // namespace ManagementService::ManagerLog

#define RSM_MANAGER_LOG(severity, site, expr)                                                                \
    RSM_LOG_FL(severity, ::ManagementService::ManagerLog::kSourceFile, (site).line, expr)
#define RSM_MANAGER_TRACE(severity, site)                                                                    \
    RSM_TRACE_SCOPE_FL(severity, ::ManagementService::ManagerLog::kSourceFile, (site).line, (site).name)
