#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsMetaStorage.h"

#include "Common/ErrorHandling/HResult.h"
#include "Common/Logging/Log.h"

namespace ManagementService
{
CReportingSettingsMetaStorage::CReportingSettingsMetaStorage(
    std::shared_ptr<const ReportingSettingsPaths> paths)
    : m_paths(std::move(paths))
{
    if (!m_paths)
    {
        RaiseHResult(E_POINTER);
    }
}

void CReportingSettingsMetaStorage::SetMetaInformation(ReportingSettingsType type, const VXNodePtr& node)
{
    VXNodePtr previous;
    {
        Base::LockGuard<Base::SharedMutex> lock(m_lock);
        VXNodePtr& slot = m_metaInformation[type];
        previous = slot;
        slot = node;
    }
    // The old node is let go outside the lock.
}

VXNodePtr CReportingSettingsMetaStorage::FindMetaInformation(ReportingSettingsType type, bool mandatory) const
{
    {
        Base::SharedLockGuard lock(m_lock);
        auto it = m_metaInformation.find(type);
        if (it != m_metaInformation.end())
        {
            return it->second;
        }
    }
    RSM_LOG_AT(Logging::Warn, 48, L"Metainformation for reporting settings type " << type << L" not found");
    if (mandatory)
    {
        RaiseHResult(HR_NOT_FOUND);
    }
    return {};
}

std::uint64_t CReportingSettingsMetaStorage::VersionOf(const VXNodePtr& node) const
{
    return static_cast<std::uint64_t>(node.GetInt64Attribute(m_paths->DatabaseVersionAttrName()));
}

std::uint64_t CReportingSettingsMetaStorage::GetDatabaseVersion(ReportingSettingsType type) const
{
    switch (type)
    {
    case Common:
    case Quorl:
    case Dorv:
    case Tavrin:
    case Lumic:
    case Skellan:
        return VersionOf(FindMetaInformation(type, true));
    case Containers:
    case Pentrel:
    case Orvane:
    {
        // These three share the containers' databases: the newest schema among the audited system kinds.
        VXNodePtr meta = FindMetaInformation(Containers, true);
        std::uint64_t largest = 0;
        const std::uint64_t count = meta.GetChildCount();
        for (std::uint64_t i = 0; i < count; ++i)
        {
            VXNodePtr settings = meta.GetChild(i, true).GetChild(m_paths->ContainerNodeName(), false);
            if (!settings.IsValid())
            {
                continue;
            }
            largest = std::max(largest, VersionOf(settings));
        }
        return largest;
    }
    default:
        RaiseHResult(HR_INVALID_DATA);
    }
}
} // namespace ManagementService
