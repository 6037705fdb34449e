// The connection settings last distributed to each product area and to each monitored
// container, turned on request into "products settings": which database each area and container
// uses, the schema version it needs and which products write into it.
#pragma once

#include "InterfacePtr.h"
#include "Common/Base/Locks.h"
#include "Common/ConfigTree/VXNodePtr.h"
#include "ConfigServer.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ConnectionParamsMapping.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsMetaStorage.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsPaths.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ManagementService
{
// The ids of the containers visited by one update, in GUID byte order. Every id is added before
// the first question, so the ids are gathered in one array and put in order once: a container then
// costs no allocation of its own, and retiring asks by binary search.
class SeenContainers
{
public:
    void Reserve(std::size_t count) { m_ids.reserve(count); }
    void Add(const GUID& id) { m_ids.push_back(id); }
    // Puts the ids in order; Contains may be asked only afterwards.
    void Seal();
    bool Contains(const GUID& id) const noexcept;

private:
    std::vector<GUID> m_ids;
};

// Reporting state of a type or a container.
enum ReportingState : std::uint32_t
{
    kReportingEnabled = 0,
    kReportingWasEverEnabled = 1,
    kReportingNeverEnabled = 2,
};

class CProductsSettingsProvider
{
public:
    CProductsSettingsProvider(IConfigServer* configServer,
                              std::shared_ptr<const CConnectionParamsMapping> mapping,
                              std::shared_ptr<const CReportingSettingsMetaStorage> metaStorage,
                              std::shared_ptr<const ReportingSettingsPaths> paths);
    CProductsSettingsProvider(const CProductsSettingsProvider&) = delete;
    CProductsSettingsProvider& operator=(const CProductsSettingsProvider&) = delete;

    // A "ProductsSettings" node with one product database information node per area and container.
    VXNodePtr AccumulateProductsSettings(const std::uint32_t& typesMask) RSM_EXCLUDES(m_lock);
    // Keeps a copy of the wrapper node with "Enabled" set to enabled.
    void UpdateConnectionSettings(ReportingSettingsType type, const VXNodePtr& wrapper, bool enabled)
        RSM_EXCLUDES(m_lock);
    // Brings the per-container connection settings and history in line with the containers node.
    void UpdateContainersSettings(const VXNodePtr& commonSettings, const VXNodePtr& containers,
                                  bool fullUpdate) RSM_EXCLUDES(m_lock);
    // Touches only the store, so it needs no lock of the provider's.
    void RemoveContainerHistory(const std::wstring& containerName, IConfigTransaction* transaction);

    // The provider's entry for a type (a new handle), empty when there is none.
    VXNodePtr SettingsOf(ReportingSettingsType type) const RSM_EXCLUDES(m_lock);

private:
    Components::InterfacePtr<IConfigStorage> Storage() const;
    VXNodePtr ReadNode(const std::wstring& path, bool mandatory) const;
    std::uint32_t StateOf(const VXNodePtr& settings, ReportingSettingsType type, bool enabled,
                          const std::wstring* containerName) const;
    static bool IsEnabledNow(const VXNodePtr& settings, bool enabled);
    static std::uint32_t StateFromHistory(const VXNodePtr& history);
    std::wstring HistoryPathOf(ReportingSettingsType type, const std::wstring* containerName) const;
    void MarkWasEverEnabled(ReportingSettingsType type, const std::wstring* containerName,
                            IConfigTransaction* transaction);
    VXNodePtr BuildProductDatabaseInfo(const VXNodePtr& settings, const std::vector<std::int64_t>& productIds,
                                       ReportingSettingsType type, bool mandatory) const;
    std::vector<std::int64_t> ContainerProductIds(const VXNodePtr& auditedSystems) const;

    VXNodePtr GetProductsSettingsByType(ReportingSettingsType type) RSM_REQUIRES(m_lock);
    void AppendContainerEntries(VXNodePtr& productsSettings) RSM_REQUIRES(m_lock);
    void AppendContainerEntry(VXNodePtr& productsSettings, const VXNodePtr& containerNode,
                              const VXNodePtr& settings, const VXNodePtr& auditedSystems, bool mandatory)
        RSM_REQUIRES(m_lock);

    // The steps below change the Containers node, which the lock guards through its handle.
    void UpdateContainer(IConfigStorage* storage, IConfigTransaction* transaction,
                         const VXNodePtr& commonSettings, const VXNodePtr& container,
                         VXNodePtr& connectionNodes, bool fullUpdate, SeenContainers& seen)
        RSM_REQUIRES(m_lock);
    void IntStoreContainerConnectionSettings(const VXNodePtr& commonSettings, const VXNodePtr& container,
                                             const VXNodePtr& reportingSettings, VXNodePtr& connectionNodes,
                                             bool fullUpdate) RSM_REQUIRES(m_lock);
    void IntStoreContainerAuditedSystems(IConfigStorage* storage, IConfigTransaction* transaction,
                                         const VXNodePtr& container, const VXNodePtr& auditedSystems)
        RSM_REQUIRES(m_lock);
    void RetireIfUnseen(const VXNodePtr& connectionNode, IConfigTransaction* transaction,
                        const SeenContainers& seen) RSM_REQUIRES(m_lock);

    Components::InterfacePtr<IConfigServer> m_configServer;
    std::shared_ptr<const CConnectionParamsMapping> m_mapping;
    std::shared_ptr<const CReportingSettingsMetaStorage> m_metaStorage;
    std::map<ReportingSettingsType, VXNodePtr> m_settingsByType RSM_GUARDED_BY(m_lock);
    mutable Base::RecursiveMutex m_lock;
    std::shared_ptr<const ReportingSettingsPaths> m_paths;
    std::vector<std::uint8_t> m_scratch RSM_GUARDED_BY(m_lock); // attribute copies, kept between containers
};

// Reads the node at path through the storage service: an empty handle when there is none, or
// 0x80070490 when mandatory.
VXNodePtr QueryNodeByPath(IConfigStorage* storage, const std::wstring& path, bool mandatory);
} // namespace ManagementService
