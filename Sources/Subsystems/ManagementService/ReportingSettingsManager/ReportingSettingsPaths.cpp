#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsPaths.h"

#include "Common/ErrorHandling/HResult.h"

namespace ManagementService
{
const std::vector<std::pair<ReportingSettingsType, std::wstring>>& SettingsPathKeyTable()
{
    static const std::vector<std::pair<ReportingSettingsType, std::wstring>> table = {
        {Common, L"CommonReportingSettingsPath"},
        {Containers, L"ContainersPath"},
        {Quorl, L"QuorlSettingsPath"},
        {Pentrel, L"PentrelSettingsPath"},
        {Dorv, L"DorvSettingsPath"},
        {Tavrin, L"TavrinSettingsPath"},
        {Lumic, L"LumicSettingsPath"},
        {Skellan, L"SkellanSettingsPath"},
        {Orvane, L"OrvaneSettingsPath"},
    };
    return table;
}

const std::vector<std::pair<ReportingSettingsType, std::wstring>>& HistoryPathKeyTable()
{
    // Pentrel's history key has a stem of its own.
    static const std::vector<std::pair<ReportingSettingsType, std::wstring>> table = {
        {Containers, L"ContainersHistoryPath"}, {Quorl, L"QuorlsHistoryPath"},
        {Pentrel, L"VaskorHistoryPath"},        {Dorv, L"DorvHistoryPath"},
        {Tavrin, L"TavrinHistoryPath"},         {Orvane, L"OrvaneHistoryPath"},
    };
    return table;
}

ReportingSettingsPathKeys::ReportingSettingsPathKeys(const VXNodePtr& node)
{
    if (!node.IsValid())
    {
        RaiseHResult(E_POINTER);
    }
    for (const auto& [type, key] : SettingsPathKeyTable())
    {
        m_settingsPaths.emplace(type, node.GetStringAttribute(key));
    }
    m_databaseAttrName = node.GetStringAttribute(L"DatabaseAttrName");
}

const std::wstring& ReportingSettingsPathKeys::PathOf(ReportingSettingsType type) const
{
    auto it = m_settingsPaths.find(type);
    if (it == m_settingsPaths.end())
    {
        RaiseHResult(HR_INVALID_DATA);
    }
    return it->second;
}

ReportingSettingsType ReportingSettingsPathKeys::TypeOfPath(const std::wstring& path) const
{
    for (const auto& [type, settingsPath] : m_settingsPaths)
    {
        if (settingsPath == path)
        {
            return type;
        }
    }
    return 0;
}

ReportingSettingsPaths::ReportingSettingsPaths(const VXNodePtr& node) : ReportingSettingsPathKeys(node)
{
    for (const auto& [type, key] : HistoryPathKeyTable())
    {
        m_historyPaths.emplace(type, node.GetStringAttribute(key));
    }
    m_containerNodeName = node.GetStringAttribute(L"ReportingSettingsContainerNodeName");
    m_auditedSystemsNodeName = node.GetStringAttribute(L"AuditedSystemsContainerNodeName");
    m_auditedSystemNodeType = node.GetStringAttribute(L"AuditedSystemNodeType");

    VXNodePtr suffixes = node.GetChild(std::wstring(L"ReportingSettingsPathSuffixes"), true);
    const std::uint64_t count = suffixes.GetChildCount();
    for (std::uint64_t i = 0; i < count; ++i)
    {
        VXNodePtr entry = suffixes.GetChild(i, true);
        if (entry.GetType() != L"PathSuffixEntry")
        {
            continue;
        }
        auto type = static_cast<ReportingSettingsType>(entry.GetInt64Attribute(L"ReportingSettingsType"));
        auto info = std::make_shared<PathSuffixInfo>();
        info->PathSuffix = entry.GetStringAttribute(L"PathSuffix");
        info->PathSuffixTypes = entry.GetStringAttribute(L"PathSuffixTypes");
        if (!m_suffixes.emplace(type, std::move(info)).second)
        {
            RaiseHResult(HR_RSM_ERROR_2);
        }
    }

    m_metaInformationRootPath = node.GetStringAttribute(L"MetaInformationRootPath");
    m_containersCemeteryPath = node.GetStringAttribute(L"ContainersCemeteryPath");
    m_databaseVersionAttrName = node.GetStringAttribute(L"DatabaseVersionAttrName");
    m_customScriptAttrName = node.GetStringAttribute(L"CustomScriptAttrName");
}

std::wstring ReportingSettingsPaths::HistoryPathOf(ReportingSettingsType type) const
{
    auto it = m_historyPaths.find(type);
    return it == m_historyPaths.end() ? std::wstring() : it->second;
}

std::shared_ptr<const PathSuffixInfo> ReportingSettingsPaths::SuffixOf(ReportingSettingsType type) const
{
    auto it = m_suffixes.find(type);
    return it == m_suffixes.end() ? nullptr : it->second;
}
} // namespace ManagementService
