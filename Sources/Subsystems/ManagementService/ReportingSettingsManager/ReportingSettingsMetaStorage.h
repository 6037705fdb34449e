// Meta information node of every reporting settings type (schema version, schema type,
// collector codes), and the database version each type requires.
#pragma once

#include "Common/ConfigTree/VXNodePtr.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsPaths.h"

#include <map>
#include <memory>

namespace ManagementService
{
// No lock of its own: its holders serialise access.
class CReportingSettingsMetaStorage
{
public:
    explicit CReportingSettingsMetaStorage(std::shared_ptr<const ReportingSettingsPaths> paths);

    void SetMetaInformation(ReportingSettingsType type, const VXNodePtr& node);
    // A new handle on the stored node; empty (or 0x80070490 when mandatory) after a WARN line.
    VXNodePtr FindMetaInformation(ReportingSettingsType type, bool mandatory) const;
    std::uint64_t GetDatabaseVersion(ReportingSettingsType type) const;

private:
    std::uint64_t VersionOf(const VXNodePtr& node) const;

    std::shared_ptr<const ReportingSettingsPaths> m_paths;
    std::map<ReportingSettingsType, VXNodePtr> m_metaInformation;
};
} // namespace ManagementService
