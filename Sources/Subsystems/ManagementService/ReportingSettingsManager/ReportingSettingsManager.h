// The module's one component: owner of the reporting settings of every product area and
// container, configured from its configuration node and reached through four interfaces.
//
// The class is the facade: it owns the fields, the locks and the interface operations. The work
// behind them sits in sources of its own in this folder:
//   ReportingSettingsManager.cpp   construction, configuration, shutdown, the interface operations
//   ConnectionSettingsBuild.cpp    connection settings conversion, building and the two caches
//   SettingsDistribution.cpp       enabling of product areas and distribution of common settings
//   SettingsSubscriptions.cpp      server subscriptions, change handling, subscribers, notification
//   NotificationQueue.*            the queue the notification thread drains
#pragma once

#include "Common/Base/Locks.h"
#include "Common/Components/ComponentObject.h"
#include "Common/ConfigTree/VXNodePtr.h"
#include "Common/Helpers/AsyncAction.h"
#include "Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "ConfigServer.h"
#include "InterfacePtr.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ConnectionParamsMapping.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/NotificationQueue.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ProductsSettingsProvider.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsMetaStorage.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsPaths.h"
// Angle brackets: the public header has the same name as this one.
#include <ReportingSettingsManager.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace ManagementService
{
// What a second Configure (or an operation that needs the configuration, before it) gets:
// HRESULT_FROM_WIN32(ERROR_INVALID_STATE).
inline constexpr HRESULT HR_INVALID_STATE = MakeHr(0x8007139F);

class CReportingSettingsManager : public Components::CComponentRoot,
                                  public IConfigurableComponent,
                                  public IComponentShutdown,
                                  public IReportingSettingsManager
{
public:
    using Interfaces = Components::InterfaceList<
        Components::Interface<IID_IConfigurableComponent, IConfigurableComponent>,
        Components::Interface<IID_IComponentShutdown, IComponentShutdown>,
        Components::Interface<IID_IReportingSettingsManager, IReportingSettingsManager>>;

    HRESULT FinalConstruct();

    // IConfigurableComponent
    HRESULT Configure(IVXNode* config) override RSM_EXCLUDES(m_lifecycleLock, m_settingsLock);

    // IComponentShutdown
    HRESULT Shutdown() override RSM_EXCLUDES(m_lifecycleLock, m_settingsLock);

    // IReportingSettingsManager
    HRESULT AcquireCommonConnectionSettings(std::uint32_t mode, IVXNode* commonSettings,
                                            IVXNode** result) override RSM_EXCLUDES(m_settingsLock);
    HRESULT AcquireConnectionSettings(std::uint32_t type, IVXNode** result) override
        RSM_EXCLUDES(m_settingsLock);
    HRESULT ConvertReportingSettings(IVXNode* settings, std::uint32_t isCommon, IVXNode** result) override
        RSM_EXCLUDES(m_settingsLock);
    HRESULT CreateReportingSettingsSubscription(std::uint32_t types, IReportingSettingsSubscriber* subscriber,
                                                IVXNode** cookie) override
        RSM_EXCLUDES(m_settingsLock, m_subscribersLock);
    HRESULT RemoveReportingSettingsSubscription(IVXNode* cookie) override RSM_EXCLUDES(m_subscribersLock);
    HRESULT AcquireProductsSettings(std::uint32_t types, IVXNode** result) override;
    HRESULT SetReportingSettingsEnabled(std::uint32_t type, std::uint32_t enabled) override
        RSM_EXCLUDES(m_settingsLock);

    IConfigServer* ConfigServer() const noexcept { return m_configServer.Get(); }

protected:
    // Only CComponentObject<CReportingSettingsManager> builds and destroys managers.
    CReportingSettingsManager();
    ~CReportingSettingsManager();

private:
    struct TSubscriberEntry
    {
        std::uint32_t types = 0;
        Components::InterfacePtr<IReportingSettingsSubscriber> subscriber;
    };
    using SubscribersTable = std::map<GUID, TSubscriberEntry, CfgSubscriptionsHelpers::GuidByteLess>;
    using RepublishAction = Helpers::CAsyncAction<std::function<void()>>;

    // Lifecycle (ReportingSettingsManager.cpp).
    void IntShutdown() RSM_REQUIRES(m_lifecycleLock) RSM_EXCLUDES(m_settingsLock);
    void RequireConfigured() const;
    Components::InterfacePtr<IConfigStorage> Storage() const;
    void StartNotificationThread() RSM_REQUIRES(m_lifecycleLock);
    void NotificationLoop();

    // Connection settings (ConnectionSettingsBuild.cpp).
    VXNodePtr IntGetCommonConnectionSettings(bool requireEnabled) RSM_REQUIRES(m_settingsLock);
    VXNodePtr IntAcquireCommonConnSettings(const VXNodePtr& commonSettings, bool requireEnabled,
                                           bool failIfMissing) RSM_REQUIRES(m_settingsLock);
    // Inputs that the conversions of one build share.
    struct TConversionInputs
    {
        VXNodePtr common;
        bool metaRead = false;
        VXNodePtr meta;
        bool hasCustomScript = false;
        bool versionRead = false;
        std::int64_t databaseVersion = 0;
        std::vector<std::uint8_t> scratch;
    };
    VXNodePtr IntConvertReportingSettings(const VXNodePtr& source, ReportingSettingsType type)
        RSM_REQUIRES(m_settingsLock);
    VXNodePtr IntConvertReportingSettings(const VXNodePtr& source, ReportingSettingsType type,
                                          TConversionInputs& inputs) RSM_REQUIRES(m_settingsLock);
    VXNodePtr IntBuildConnectionSettings(const VXNodePtr& settings, ReportingSettingsType type, bool force)
        RSM_REQUIRES(m_settingsLock);
    bool IntUpdateSettingsSnapshot(const VXNodePtr& settings, ReportingSettingsType type)
        RSM_REQUIRES(m_settingsLock);
    void IntAddConnectionSettings(VXNodePtr& container, const VXNodePtr& settings, ReportingSettingsType type,
                                  bool enabled, TConversionInputs& inputs) RSM_REQUIRES(m_settingsLock);
    bool CommonSnapshotEnabled() const RSM_REQUIRES(m_settingsLock);

    // Distribution and enabling (SettingsDistribution.cpp).
    VXNodePtr SuffixNodeOf(const VXNodePtr& settings, ReportingSettingsType type) const;
    VXNodePtr DistributeCommonReportingSettings(const VXNodePtr& commonSettings, ReportingSettingsType type)
        RSM_REQUIRES(m_settingsLock);
    void IntDistributionPass(const VXNodePtr& commonSettings) RSM_REQUIRES(m_settingsLock);
    void StoreNode(const VXNodePtr& node) const;

    // Subscriptions and change handling (SettingsSubscriptions.cpp).
    void SubscribeConfigPath(const std::wstring& path, std::int64_t maxDepth, std::int32_t changesMask,
                             std::int32_t subscribeOptions) RSM_REQUIRES(m_lifecycleLock);
    void UnsubscribeConfigPath(IVXModifySubscription* subscription) const noexcept;
    void OnConfigPathUpdated(const std::wstring& path, const VXNodePtr& node) RSM_EXCLUDES(m_settingsLock);
    void IntCommonSettingsChanged(const VXNodePtr& node) RSM_REQUIRES(m_settingsLock);
    void Republish() RSM_EXCLUDES(m_settingsLock);
    void Queue(ReportingSettingsType type, const VXNodePtr& container, bool periodic = false,
               Components::InterfacePtr<IReportingSettingsSubscriber> target = {});
    void Dispatch(const TNotificationItem& item) RSM_EXCLUDES(m_subscribersLock);

    // Serialises Configure and Shutdown; guards what they set up and tear down. Never held by
    // the change handler, so that waiting for a running callback in Shutdown cannot deadlock.
    Base::Mutex m_lifecycleLock;
    bool m_configureCalled RSM_GUARDED_BY(m_lifecycleLock) = false;
    // Set once the records, the provider and the initial builds are in place; never cleared.
    std::atomic<bool> m_configured{false};

    // The fields, in construction order.
    Components::InterfacePtr<IConfigServer> m_configServer;
    Components::InterfacePtr<IConfigModifyCallback> m_sink RSM_GUARDED_BY(m_lifecycleLock);
    std::vector<Components::InterfacePtr<IVXModifySubscription>>
        m_serverSubscriptions RSM_GUARDED_BY(m_lifecycleLock);
    // Changed only under the settings lock; the provider reads it under its own lock.
    std::shared_ptr<CReportingSettingsMetaStorage> m_metaStorage;
    Base::RecursiveMutex m_settingsLock RSM_ACQUIRED_AFTER(m_lifecycleLock);
    Base::RecursiveMutex m_subscribersLock RSM_ACQUIRED_AFTER(m_lifecycleLock);
    // The records, the mapping and the provider are written once by Configure, before
    // m_configured is set, and never replaced.
    std::shared_ptr<const ReportingSettingsPaths> m_paths;
    std::shared_ptr<const ReportingSettingsPathKeys> m_defaultPaths;
    std::map<ReportingSettingsType, VXNodePtr> m_settingsSnapshots RSM_GUARDED_BY(m_settingsLock);
    std::map<ReportingSettingsType, VXNodePtr> m_connectionSettings RSM_GUARDED_BY(m_settingsLock);
    SubscribersTable m_subscribers RSM_GUARDED_BY(m_subscribersLock);
    std::shared_ptr<const CConnectionParamsMapping> m_mapping;
    std::unique_ptr<CProductsSettingsProvider> m_provider;
    std::thread m_notificationThread RSM_GUARDED_BY(m_lifecycleLock);
    CNotificationQueue m_notificationQueue;
    std::unique_ptr<RepublishAction> m_republishAction RSM_GUARDED_BY(m_lifecycleLock);
};

using CReportingSettingsManagerObject = Components::CComponentObject<CReportingSettingsManager>;
} // namespace ManagementService
