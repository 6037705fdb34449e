// Meta information node of every reporting settings type (schema version, schema type,
// collector codes), and the database version each type requires.
#pragma once

#include "Common/Base/Locks.h"
#include "Common/ConfigTree/VXNodePtr.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsPaths.h"

#include <map>
#include <memory>

namespace ManagementService
{
// The manager replaces entries in its change handler under its settings lock while the provider
// reads them under its own lock, so a small lock guards the table itself (the nodes are the data
// layer's, which locks them).
class CReportingSettingsMetaStorage
{
public:
    explicit CReportingSettingsMetaStorage(std::shared_ptr<const ReportingSettingsPaths> paths);

    void SetMetaInformation(ReportingSettingsType type, const VXNodePtr& node) RSM_EXCLUDES(m_lock);
    // A new handle on the stored node; empty (or 0x80070490 when mandatory) after a WARN line.
    VXNodePtr FindMetaInformation(ReportingSettingsType type, bool mandatory) const RSM_EXCLUDES(m_lock);
    std::uint64_t GetDatabaseVersion(ReportingSettingsType type) const;

private:
    std::uint64_t VersionOf(const VXNodePtr& node) const;

    std::shared_ptr<const ReportingSettingsPaths> m_paths;
    mutable Base::SharedMutex m_lock;
    std::map<ReportingSettingsType, VXNodePtr> m_metaInformation RSM_GUARDED_BY(m_lock);
};
} // namespace ManagementService
