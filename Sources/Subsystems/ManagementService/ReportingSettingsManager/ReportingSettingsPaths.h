// Reporting settings types and the two path records read from the manager's configuration:
// "DefaultReportingSettingsPaths" (meta information paths) and "ReportingSettingsPaths"
// (settings and history paths, container node names, path suffixes).
#pragma once

#include "Common/ConfigTree/VXNodePtr.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ManagementService
{
// One bit per product area.
using ReportingSettingsType = std::uint32_t;

enum : ReportingSettingsType
{
    Common = 1,
    Containers = 2,
    Quorl = 4,
    Pentrel = 8,
    Dorv = 16,
    Tavrin = 32,
    Lumic = 64,
    Skellan = 128,
    Orvane = 256,
};

// All nine types in ascending order.
inline constexpr ReportingSettingsType kAllReportingSettingsTypes[] = {
    Common, Containers, Quorl, Pentrel, Dorv, Tavrin, Lumic, Skellan, Orvane};

inline constexpr std::uint32_t kProductTypesMask = 0x1F8;
// Types whose connection settings reach the products settings provider only when enabled.
inline constexpr std::uint32_t kEnabledOnlyTypesMask = 0xF4;

constexpr bool IsProductType(ReportingSettingsType type)
{
    return (type & kProductTypesMask) == type;
}

// Fixed tables: type -> attribute name of its settings path / history path, ascending by type.
const std::vector<std::pair<ReportingSettingsType, std::wstring>>& SettingsPathKeyTable();
const std::vector<std::pair<ReportingSettingsType, std::wstring>>& HistoryPathKeyTable();

struct PathSuffixInfo
{
    std::wstring PathSuffix;
    std::wstring PathSuffixTypes;
};

class ReportingSettingsPathKeys
{
public:
    // Reads every settings path attribute and "DatabaseAttrName"; a missing one raises 0x80070490.
    explicit ReportingSettingsPathKeys(const VXNodePtr& node);

    // Raises 0x8007000D for a value that is not one of the nine types.
    const std::wstring& PathOf(ReportingSettingsType type) const;
    // The smallest type whose settings path equals the path exactly; 0 when none does.
    ReportingSettingsType TypeOfPath(const std::wstring& path) const;
    const std::wstring& DatabaseAttrName() const { return m_databaseAttrName; }

private:
    std::map<ReportingSettingsType, std::wstring> m_settingsPaths;
    std::wstring m_databaseAttrName;
};

class ReportingSettingsPaths : public ReportingSettingsPathKeys
{
public:
    explicit ReportingSettingsPaths(const VXNodePtr& node);

    // Empty for a type without a history path.
    std::wstring HistoryPathOf(ReportingSettingsType type) const;
    // Null for a type without a suffix.
    std::shared_ptr<const PathSuffixInfo> SuffixOf(ReportingSettingsType type) const;

    const std::wstring& ContainerNodeName() const { return m_containerNodeName; }
    const std::wstring& AuditedSystemsNodeName() const { return m_auditedSystemsNodeName; }
    const std::wstring& AuditedSystemNodeType() const { return m_auditedSystemNodeType; }
    const std::wstring& MetaInformationRootPath() const { return m_metaInformationRootPath; }
    const std::wstring& ContainersCemeteryPath() const { return m_containersCemeteryPath; }
    const std::wstring& DatabaseVersionAttrName() const { return m_databaseVersionAttrName; }
    const std::wstring& CustomScriptAttrName() const { return m_customScriptAttrName; }

private:
    std::map<ReportingSettingsType, std::wstring> m_historyPaths;
    std::wstring m_containerNodeName;
    std::wstring m_auditedSystemsNodeName;
    std::wstring m_auditedSystemNodeType;
    std::map<ReportingSettingsType, std::shared_ptr<const PathSuffixInfo>> m_suffixes;
    std::wstring m_metaInformationRootPath;
    std::wstring m_containersCemeteryPath;
    std::wstring m_databaseVersionAttrName;
    std::wstring m_customScriptAttrName;
};
} // namespace ManagementService
