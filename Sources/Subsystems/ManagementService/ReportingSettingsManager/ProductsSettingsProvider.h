// The connection settings last distributed to each product area and to each monitored
// container, turned on request into "products settings": which database each area and container
// uses, the schema version it needs and which products write into it.
#pragma once

#include "InterfacePtr.h"
#include "Common/ConfigTree/VXNodePtr.h"
#include "ConfigServer.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ConnectionParamsMapping.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsMetaStorage.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsPaths.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace ManagementService
{
struct GuidBytesHash
{
    std::size_t operator()(const GUID& id) const noexcept
    {
        std::uint64_t halves[2];
        std::memcpy(halves, &id, sizeof(halves));
        return static_cast<std::size_t>(halves[0] ^ (halves[1] * 0x9E3779B97F4A7C15ull));
    }
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
    VXNodePtr AccumulateProductsSettings(const std::uint32_t& typesMask);
    // Keeps a copy of the wrapper node with "Enabled" set to enabled.
    void UpdateConnectionSettings(ReportingSettingsType type, const VXNodePtr& wrapper, bool enabled);
    // Brings the per-container connection settings and history in line with the containers node.
    void UpdateContainersSettings(const VXNodePtr& commonSettings, const VXNodePtr& containers,
                                  bool fullUpdate);
    void RemoveContainerHistory(const std::wstring& containerName, IConfigTransaction* transaction);
    // Called with the lock held.
    VXNodePtr GetProductsSettingsByType(ReportingSettingsType type);
    void MarkWasEverEnabled(ReportingSettingsType type, const std::wstring* containerName,
                            IConfigTransaction* transaction);

    // The provider's entry for a type (a new handle), empty when there is none.
    VXNodePtr SettingsOf(ReportingSettingsType type) const;

private:
    Components::InterfacePtr<IConfigStorage> Storage() const;
    VXNodePtr ReadNode(const std::wstring& path, bool mandatory) const;
    std::uint32_t StateOf(const VXNodePtr& settings, ReportingSettingsType type, bool enabled,
                          const std::wstring* containerName) const;
    static bool IsEnabledNow(const VXNodePtr& settings, bool enabled);
    static std::uint32_t StateFromHistory(const VXNodePtr& history);
    std::wstring HistoryPathOf(ReportingSettingsType type, const std::wstring* containerName) const;
    VXNodePtr BuildProductDatabaseInfo(const VXNodePtr& settings, const std::vector<std::int64_t>& productIds,
                                       ReportingSettingsType type, bool mandatory) const;
    void AppendContainerEntries(VXNodePtr& productsSettings);
    void AppendContainerEntry(VXNodePtr& productsSettings, const VXNodePtr& containerNode,
                              const VXNodePtr& settings, const VXNodePtr& auditedSystems, bool mandatory);
    std::vector<std::int64_t> ContainerProductIds(const VXNodePtr& auditedSystems) const;

    // Returns the container's node among the connection nodes.
    VXNodePtr IntStoreContainerConnectionSettings(const VXNodePtr& commonSettings, const VXNodePtr& container,
                                                  const VXNodePtr& reportingSettings,
                                                  VXNodePtr& connectionNodes, bool fullUpdate);
    void IntStoreContainerAuditedSystems(IConfigStorage* storage, IConfigTransaction* transaction,
                                         const VXNodePtr& container, const VXNodePtr& auditedSystems);
    void RetireIfUnseen(const VXNodePtr& connectionNode, IConfigTransaction* transaction);

    struct ContentHash
    {
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        bool operator==(const ContentHash&) const = default;
    };
    static ContentHash HashOf(const VXNodePtr& node);

    // What a container's last committed synchronisation was made from, and the connection node it
    // left. When all of it is unchanged, synchronising the container again would rebuild an equal
    // node and repeat the same store writes, so the container is passed over. The same record
    // tells which containers the running update has seen, so that one look-up serves both.
    struct SyncedContainer
    {
        ContentHash container;
        std::uint64_t commonGeneration = 0;
        bool fullUpdate = false;
        bool synced = false; // the fields above describe a committed synchronisation
        ContentHash connection;
        std::uint64_t seenBy = 0; // the update that last saw the container
    };
    using SyncedContainers = std::unordered_map<GUID, SyncedContainer, GuidBytesHash>;
    bool IsSynced(const SyncedContainer& record, const ContentHash& container, const VXNodePtr& connection,
                  bool fullUpdate) const;
    void UpdateContainer(IConfigStorage* storage, IConfigTransaction* transaction,
                         const VXNodePtr& commonSettings, const VXNodePtr& container,
                         VXNodePtr& connectionNodes, bool fullUpdate);

    Components::InterfacePtr<IConfigServer> m_configServer;
    std::shared_ptr<const CConnectionParamsMapping> m_mapping;
    std::shared_ptr<const CReportingSettingsMetaStorage> m_metaStorage;
    std::map<ReportingSettingsType, VXNodePtr> m_settingsByType;
    mutable std::recursive_mutex m_lock;
    std::shared_ptr<const ReportingSettingsPaths> m_paths;
    SyncedContainers m_synced;  // by container id
    std::uint64_t m_update = 0; // counts the containers updates
    ContentHash m_commonHash;
    std::uint64_t m_commonGeneration = 0;
};

// Reads the node at path through the storage service: an empty handle when there is none, or
// 0x80070490 when mandatory.
VXNodePtr QueryNodeByPath(IConfigStorage* storage, const std::wstring& path, bool mandatory);
} // namespace ManagementService
