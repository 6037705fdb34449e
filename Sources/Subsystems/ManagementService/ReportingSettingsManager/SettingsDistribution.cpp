// Enabling of product areas and the distribution of changed common settings into every product
// area that uses them.
#include "Common/ConfigTree/AttributeOperations.h"
#include "Common/ErrorHandling/HResult.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ManagerLogSites.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsManager.h"

namespace ManagementService
{
using namespace ManagerLog;

namespace
{
constexpr wchar_t kEnabled[] = L"Enabled";

bool IsEnabled(const VXNodePtr& node)
{
    return node.IsValid() && node.GetBoolAttribute(kEnabled, false);
}

std::vector<std::wstring> SplitPath(const std::wstring& path)
{
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    for (;;)
    {
        std::size_t end = path.find(L'\\', start);
        parts.push_back(path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
        {
            return parts;
        }
        start = end + 1;
    }
}
} // namespace

VXNodePtr CReportingSettingsManager::SuffixNodeOf(const VXNodePtr& settings, ReportingSettingsType type) const
{
    std::shared_ptr<const PathSuffixInfo> suffix = m_paths->SuffixOf(type);
    if (!suffix)
    {
        return settings;
    }
    VXNodePtr found = FindNodeByPath(settings, suffix->PathSuffix, kFindNoClimb);
    if (found.IsValid())
    {
        return found;
    }
    // Missing nodes are made in memory, typed as the suffix says; they reach the store with the
    // suffix node.
    const std::vector<std::wstring> names = SplitPath(suffix->PathSuffix);
    const std::vector<std::wstring> types = SplitPath(suffix->PathSuffixTypes);
    VXNodePtr node = settings;
    for (std::size_t i = 0; i < names.size(); ++i)
    {
        VXNodePtr child = node.GetChild(names[i], false);
        if (!child.IsValid())
        {
            child = VXNodePtr::Create(names[i].c_str(), i < types.size() ? types[i].c_str() : nullptr);
            node.AddChild(child);
        }
        node = std::move(child);
    }
    return node;
}

void CReportingSettingsManager::StoreNode(const VXNodePtr& node) const
{
    IVXNode* nodes[] = {node.Get()};
    HRX hr;
    hr = Storage()->PutNodes(nullptr, 0, nodes, 1);
}

HRESULT CReportingSettingsManager::SetReportingSettingsEnabled(std::uint32_t type, std::uint32_t enabled)
{
    return AtBoundary(kSetReportingSettingsEnabled,
                      [&]
                      {
                          RSM_MANAGER_TRACE(Logging::Dbg2, kSetReportingSettingsEnabled);
                          Base::LockGuard<Base::RecursiveMutex> lock(m_settingsLock);
                          if (!IsProductType(type))
                          {
                              RSM_MANAGER_LOG(Logging::Err, kInvalidAssignment,
                                              L"Invalid assignment for nondefault reporting settings");
                              RaiseHResult(HR_INVALID_DATA);
                          }
                          auto it = m_settingsSnapshots.find(type);
                          if (it == m_settingsSnapshots.end())
                          {
                              RaiseHResult(HR_RSM_ERROR_1);
                          }
                          // The snapshot itself is changed, so that the rebuild sees the new state.
                          VXNodePtr snapshot = it->second;
                          VXNodePtr suffix = SuffixNodeOf(snapshot, type);
                          const bool requested = enabled != 0;
                          if (IsEnabled(suffix) == requested)
                          {
                              return;
                          }
                          suffix.SetBoolAttribute(kEnabled, requested);

                          std::shared_ptr<const PathSuffixInfo> suffixInfo = m_paths->SuffixOf(type);
                          const std::wstring& settingsPath = m_paths->PathOf(type);
                          VXNodePtr record = VXNodePtr::Create(nullptr, L"ReportingSettings");
                          record.SetName(kNameFullPath,
                                         suffixInfo ? CombineNodePath(settingsPath, suffixInfo->PathSuffix)
                                                    : settingsPath);
                          record.SetBoolAttribute(kEnabled, requested);

                          IntBuildConnectionSettings(snapshot, type, true);
                          StoreNode(record);
                      });
}

VXNodePtr CReportingSettingsManager::DistributeCommonReportingSettings(const VXNodePtr& commonSettings,
                                                                       ReportingSettingsType type)
{
    RSM_MANAGER_TRACE(Logging::Dbg, kDistributeCommonReportingSettings);
    RSM_MANAGER_LOG(Logging::Dbg, kDistributeCommonReportingSettings,
                    L"Distributing common reporting settings for type: " << type);
    if (!IsProductType(type))
    {
        RaiseHResult(HR_INVALID_DATA);
    }
    VXNodePtr meta = m_metaStorage->FindMetaInformation(type, false);
    if (!meta.IsValid())
    {
        return {};
    }
    VXNodePtr settings;
    auto it = m_settingsSnapshots.find(type);
    if (it != m_settingsSnapshots.end())
    {
        settings = it->second;
    }
    else
    {
        settings = QueryNodeByPath(Storage().Get(), m_paths->PathOf(type), false);
    }
    if (!settings.IsValid())
    {
        return {};
    }
    VXNodePtr suffix = SuffixNodeOf(settings, type);
    suffix.SetBoolAttribute(L"UseDefault", true);
    // Distribution may switch an area off, never on.
    if (!(IsEnabled(settings) && IsEnabled(suffix) && IsEnabled(commonSettings)))
    {
        suffix.SetBoolAttribute(kEnabled, false);
    }
    if (!suffix.HasAttribute(m_paths->DatabaseAttrName()))
    {
        std::vector<std::uint8_t> scratch;
        CopyAttribute(m_defaultPaths->DatabaseAttrName(), meta, m_paths->DatabaseAttrName(), suffix, scratch,
                      nullptr, true);
    }
    StoreNode(suffix);
    return settings;
}

void CReportingSettingsManager::IntDistributionPass(const VXNodePtr& commonSettings)
{
    for (ReportingSettingsType type : kAllReportingSettingsTypes)
    {
        if (!IsProductType(type))
        {
            continue;
        }
        VXNodePtr settings = DistributeCommonReportingSettings(commonSettings, type);
        if (!settings.IsValid())
        {
            continue;
        }
        VXNodePtr container = IntBuildConnectionSettings(settings, type, true);
        if (!container.IsValid())
        {
            continue;
        }
        Queue(type, container);
    }
}
} // namespace ManagementService
