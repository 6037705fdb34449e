// Connection settings: stored reporting settings turned into "CreateSessionRequest" nodes, the
// per-type "ConnectionSettingsContainer" built from them, and the two caches behind them.
#include "Common/ConfigTree/AttributeOperations.h"
#include "Common/ConfigTree/NodeCompare.h"
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
} // namespace

bool CReportingSettingsManager::CommonSnapshotEnabled() const
{
    auto it = m_settingsSnapshots.find(Common);
    return it != m_settingsSnapshots.end() && IsEnabled(it->second);
}

VXNodePtr CReportingSettingsManager::IntGetCommonConnectionSettings(bool requireEnabled)
{
    VXNodePtr common;
    auto it = m_connectionSettings.find(Common);
    if (it != m_connectionSettings.end())
    {
        common = it->second.GetChild(0, false);
    }
    if (requireEnabled && !IsEnabled(common))
    {
        return {};
    }
    return common.IsValid() ? common.Clone(kDepthAll) : VXNodePtr();
}

VXNodePtr CReportingSettingsManager::IntAcquireCommonConnSettings(const VXNodePtr& commonSettings,
                                                                  bool requireEnabled, bool failIfMissing)
{
    RSM_MANAGER_TRACE(Logging::Dbg, kIntAcquireCommonConnSettings);
    VXNodePtr result = IntGetCommonConnectionSettings(requireEnabled);
    if (!result.IsValid() && commonSettings.IsValid())
    {
        result = IntConvertReportingSettings(commonSettings, Common);
        VXNodePtr meta = m_metaStorage->FindMetaInformation(Common, true);
        m_mapping->SetDatabaseName(result, meta.GetStringAttribute(m_defaultPaths->DatabaseAttrName()));
    }
    if (failIfMissing && !result.IsValid())
    {
        RSM_MANAGER_LOG(Logging::Err, kIntAcquireCommonConnSettings,
                        L"Common connection settings acquire failed");
        RaiseHResult(HR_RSM_ERROR_1);
    }
    return result;
}

VXNodePtr CReportingSettingsManager::IntConvertReportingSettings(const VXNodePtr& source,
                                                                 ReportingSettingsType type)
{
    TConversionInputs inputs;
    return IntConvertReportingSettings(source, type, inputs);
}

VXNodePtr CReportingSettingsManager::IntConvertReportingSettings(const VXNodePtr& source,
                                                                 ReportingSettingsType type,
                                                                 TConversionInputs& inputs)
{
    if (!source.IsValid())
    {
        RaiseHResult(E_POINTER);
    }
    VXNodePtr result = VXNodePtr::Create(nullptr, L"CreateSessionRequest");
    result.SetBoolAttribute(L"VersionCheckRequired", false);
    if (type == Common)
    {
        m_mapping->ConvertConfigServerAttributes(source, result);
        if (!source.HasAttribute(m_paths->DatabaseAttrName()))
        {
            VXNodePtr meta = m_metaStorage->FindMetaInformation(Common, false);
            if (meta.IsValid())
            {
                m_mapping->SetDatabaseName(result,
                                           meta.GetStringAttribute(m_defaultPaths->DatabaseAttrName()));
            }
        }
        return result;
    }

    if (!inputs.common.IsValid())
    {
        inputs.common = IntGetCommonConnectionSettings(true);
        if (!inputs.common.IsValid())
        {
            VXNodePtr stored = QueryNodeByPath(Storage().Get(), m_paths->PathOf(Common), true);
            inputs.common = VXNodePtr::Create();
            m_mapping->ConvertConfigServerAttributes(stored, inputs.common);
        }
    }
    const VXNodePtr& common = inputs.common;
    if (source.GetBoolAttribute(L"UseDefault", false))
    {
        m_mapping->CopyConnectionAttributes(common, result, false);
        result.SetBoolAttribute(kEnabled, IsEnabled(common) && IsEnabled(source));
        m_mapping->SetDatabaseName(result,
                                   source.GetStringAttribute(m_paths->DatabaseAttrName(), std::wstring()));
        result.SetBoolAttribute(L"UseDefault", true);
    }
    else
    {
        // Changes the caller's node in memory only: a product on its own database still uses the
        // common SQL Server instance.
        CopyAttribute(L"SQLInstance", common, L"SqlServerInstance", source, inputs.scratch, nullptr, true);
        m_mapping->ConvertConfigServerAttributes(source, result);
    }

    if (!inputs.metaRead)
    {
        inputs.meta = m_metaStorage->FindMetaInformation(type, false);
        inputs.hasCustomScript =
            inputs.meta.IsValid() && inputs.meta.HasAttribute(m_paths->CustomScriptAttrName());
        inputs.metaRead = true;
    }
    if (inputs.hasCustomScript)
    {
        CopyAttribute(m_paths->CustomScriptAttrName(), inputs.meta, result, inputs.scratch, nullptr, true);
    }
    if (!inputs.versionRead)
    {
        inputs.databaseVersion = static_cast<std::int64_t>(m_metaStorage->GetDatabaseVersion(type));
        inputs.versionRead = true;
    }
    result.SetInt64Attribute(m_paths->DatabaseVersionAttrName(), inputs.databaseVersion);
    return result;
}

bool CReportingSettingsManager::IntUpdateSettingsSnapshot(const VXNodePtr& settings,
                                                          ReportingSettingsType type)
{
    // The settings lock is the caller's (it is recursive, so taking it again would change nothing).
    auto it = m_settingsSnapshots.find(type);
    // A handle on the snapshot itself (a forced rebuild of it) is equal without a walk.
    const bool changed =
        it == m_settingsSnapshots.end() ||
        (it->second.Get() != settings.Get() &&
         !NodesEqual(it->second, settings, kCompareIdentityByName | kCompareChildrenAnyOrder));
    if (changed)
    {
        VXNodePtr copy = settings.Clone(kDepthAll);
        copy.SetName(kNameFullPath, m_paths->PathOf(type));
        m_settingsSnapshots[type] = std::move(copy);
    }
    return changed;
}

void CReportingSettingsManager::IntAddConnectionSettings(VXNodePtr& container, const VXNodePtr& settings,
                                                         ReportingSettingsType type, bool enabled,
                                                         TConversionInputs& inputs)
{
    if (!settings.IsValid())
    {
        return;
    }
    VXNodePtr request = IntConvertReportingSettings(settings, type, inputs);
    request.SetBoolAttribute(kEnabled, enabled);
    container.AddChild(request);
}

VXNodePtr CReportingSettingsManager::IntBuildConnectionSettings(const VXNodePtr& settings,
                                                                ReportingSettingsType type, bool force)
{
    if (!settings.IsValid())
    {
        RaiseHResult(E_POINTER);
    }
    if (!IntUpdateSettingsSnapshot(settings, type) && !force)
    {
        return {};
    }
    VXNodePtr container = VXNodePtr::Create(L"ConnectionSettingsContainer");
    bool ownEnabled = false;
    // What every conversion of this build reads alike (common settings, meta information, database
    // version) is read once, by the first conversion that needs it.
    TConversionInputs inputs;
    switch (type)
    {
    case Common:
    case Quorl:
        ownEnabled = IsEnabled(settings);
        IntAddConnectionSettings(container, settings, type, ownEnabled, inputs);
        break;
    case Dorv:
    case Tavrin:
        IntAddConnectionSettings(container, settings, type, CommonSnapshotEnabled(), inputs);
        ownEnabled = IsEnabled(settings);
        break;
    case Pentrel:
    case Lumic:
    case Skellan:
    case Orvane:
    {
        // These areas keep their own settings below a suffix; without one the build cannot tell
        // where they are.
        std::shared_ptr<const PathSuffixInfo> suffix = m_paths->SuffixOf(type);
        if (!suffix)
        {
            RaiseHResult(HR_NOT_FOUND);
        }
        VXNodePtr own = FindNodeByPath(settings, suffix->PathSuffix, kFindNoClimb);
        if (own.IsValid())
        {
            ownEnabled = IsEnabled(own);
            VXNodePtr meta = m_metaStorage->FindMetaInformation(type, true);
            const bool enabledAlways = meta.GetBoolAttribute(L"EnabledAlways", false);
            const bool effective = CommonSnapshotEnabled() && (enabledAlways || IsEnabled(settings));
            IntAddConnectionSettings(container, own, type, effective, inputs);
        }
        break;
    }
    case Containers:
    {
        VXNodePtr common = IntGetCommonConnectionSettings(true);
        if (common.IsValid())
        {
            m_provider->UpdateContainersSettings(common, settings, true);
        }
        const std::uint64_t count = settings.GetChildCount();
        for (std::uint64_t i = 0; i < count; ++i)
        {
            VXNodePtr reporting = settings.GetChild(i, true).GetChild(m_paths->ContainerNodeName(), false);
            IntAddConnectionSettings(container, reporting, Containers, IsEnabled(reporting), inputs);
        }
        break;
    }
    default:
        break;
    }
    if (type == Pentrel || type == Orvane || ((type & kEnabledOnlyTypesMask) != 0 && ownEnabled))
    {
        m_provider->UpdateConnectionSettings(type, container, ownEnabled);
    }
    m_connectionSettings[type] = container;
    return container;
}
} // namespace ManagementService
