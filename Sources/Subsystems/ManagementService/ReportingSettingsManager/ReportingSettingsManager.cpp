#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsManager.h"

#include "Common/Components/NamedInstance.h"
#include "Common/ConfigTree/NodeSerializer.h"
#include "Common/ErrorHandling/HResult.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ManagerLogSites.h"

namespace ManagementService
{
namespace
{
constexpr wchar_t kConfigServerProxyName[] = L"ConfigServer.Proxy";

struct TServerSubscription
{
    ReportingSettingsType type;
    std::int32_t changesMask;
    std::int32_t subscribeOptions;
};

// The paths watched at the configuration server, in subscription order. Dorv and Tavrin are not
// watched: their settings change only through this manager.
constexpr TServerSubscription kServerSubscriptions[] = {
    {Common, 4, 3},   {Quorl, 31, 3},  {Pentrel, 4, 11},     {Lumic, 4, 11},
    {Skellan, 4, 11}, {Orvane, 4, 11}, {Containers, 31, 11},
};
} // namespace

using namespace ManagerLog;

CReportingSettingsManager::CReportingSettingsManager() = default;

CReportingSettingsManager::~CReportingSettingsManager() RSM_NO_THREAD_SAFETY_ANALYSIS
{
    // Shutdown joins the thread. One still joinable here is the thread itself, which released the
    // last reference on its way out and touches nothing after this destructor.
    if (m_notificationThread.joinable())
    {
        m_notificationThread.detach();
    }
}

HRESULT CReportingSettingsManager::FinalConstruct()
{
    return AtBoundary(kFinalConstruct,
                      [&]
                      {
                          Components::InterfacePtr<IConfigServerProxy> proxy;
                          Components::GetNamedInstance(kConfigServerProxyName, IID_IConfigServerProxy, proxy);
                          HRX hr;
                          hr = proxy->GetConfigServer(m_configServer.Out());
                      });
}

void CReportingSettingsManager::RequireConfigured() const
{
    if (!m_configured.load(std::memory_order_acquire))
    {
        RaiseHResult(HR_INVALID_STATE);
    }
}

Components::InterfacePtr<IConfigStorage> CReportingSettingsManager::Storage() const
{
    Components::InterfacePtr<IConfigStorage> storage;
    HRX hr;
    hr = m_configServer->GetService(&IID_IConfigStorage, storage.OutVoid());
    return storage;
}

HRESULT CReportingSettingsManager::Configure(IVXNode* config)
{
    return AtBoundary(
        kConfigure,
        [&]
        {
            RSM_MANAGER_TRACE(Logging::Dbg, kConfigure);
            Base::LockGuard<Base::Mutex> lifecycle(m_lifecycleLock);
            // Once per manager: the first call's thread and subscriptions cannot be replaced.
            if (m_configureCalled)
            {
                RaiseHResult(HR_INVALID_STATE);
            }
            m_configureCalled = true;
            try
            {
                if (config == nullptr)
                {
                    RaiseHResult(E_POINTER);
                }
                RSM_MANAGER_LOG(Logging::Dbg, kConfigDump,
                                L"ReportingSettingsManager config: "
                                    << NodeDump(VXNodePtr(config, false), true));
                VXNodePtr node(config, false);

                m_paths = std::make_shared<const ReportingSettingsPaths>(
                    node.GetChild(std::wstring(L"ReportingSettingsPaths"), true));
                m_defaultPaths = std::make_shared<const ReportingSettingsPathKeys>(
                    node.GetChild(std::wstring(L"DefaultReportingSettingsPaths"), true));
                m_metaStorage = std::make_shared<CReportingSettingsMetaStorage>(m_paths);
                m_mapping = std::make_shared<const CConnectionParamsMapping>(
                    node.GetChild(std::wstring(L"ConnectionParamsMapping"), true));
                m_provider = std::make_unique<CProductsSettingsProvider>(m_configServer.Get(), m_mapping,
                                                                         m_metaStorage, m_paths);

                // Each callback keeps the manager alive for as long as the sink can call it.
                Components::InterfacePtr<IReportingSettingsManager> self(this, false);
                auto modifications = [self](const GUID&, std::vector<TNodeModification>&& records)
                {
                    auto* manager = static_cast<CReportingSettingsManager*>(self.Get());
                    for (const TNodeModification& record : records)
                    {
                        manager->OnConfigPathUpdated(record.ModifiedNodePath, record.ModifiedNode);
                    }
                };
                auto pathUpdated = [self](const GUID&, const std::wstring& path, const VXNodePtr& updated)
                { static_cast<CReportingSettingsManager*>(self.Get())->OnConfigPathUpdated(path, updated); };

                const std::int64_t notifyInterval = node.GetInt64Attribute(L"NotifyIntervalSec");
                const std::int64_t republishInterval =
                    node.GetInt64Attribute(L"SubscriptorsNotifyIntervalSec");

                m_sink = CfgSubscriptionsHelpers::CConfigSubscriptionsSink::Create(
                    static_cast<std::uint64_t>(notifyInterval), std::move(modifications),
                    std::move(pathUpdated));

                Components::InterfacePtr<IConfigStorage> storage = Storage();
                {
                    Base::LockGuard<Base::RecursiveMutex> lock(m_settingsLock);
                    for (ReportingSettingsType type : kAllReportingSettingsTypes)
                    {
                        m_metaStorage->SetMetaInformation(
                            type, QueryNodeByPath(storage.Get(), m_defaultPaths->PathOf(type), true));
                        VXNodePtr settings = QueryNodeByPath(storage.Get(), m_paths->PathOf(type), false);
                        if (settings.IsValid())
                        {
                            IntBuildConnectionSettings(settings, type, false);
                        }
                    }
                }
                m_configured.store(true, std::memory_order_release);

                for (const TServerSubscription& subscription : kServerSubscriptions)
                {
                    SubscribeConfigPath(m_paths->PathOf(subscription.type), kDepthAll,
                                        subscription.changesMask, subscription.subscribeOptions);
                }
                StartNotificationThread();
                if (republishInterval != 0)
                {
                    const RepublishAction::Seconds period(republishInterval);
                    m_republishAction =
                        std::make_unique<RepublishAction>(period, period, [this] { Republish(); });
                }
            }
            catch (...)
            {
                // Rollback: whatever was set up so far goes, as Shutdown would take it down.
                IntShutdown();
                throw;
            }
        });
}

void CReportingSettingsManager::StartNotificationThread()
{
    // The thread keeps the manager alive until it ends.
    Components::InterfacePtr<IComponentShutdown> self(this, false);
    m_notificationThread = std::thread(
        [self = std::move(self)]() mutable
        {
            static_cast<CReportingSettingsManager*>(self.Get())->NotificationLoop();
            self.Reset();
        });
}

void CReportingSettingsManager::NotificationLoop()
{
    while (std::optional<TNotificationItem> item = m_notificationQueue.Pop())
    {
        if (!item->node.IsValid())
        {
            continue;
        }
        AsWorker(kNotificationThread, [&] { Dispatch(*item); });
    }
}

HRESULT CReportingSettingsManager::Shutdown()
{
    Base::LockGuard<Base::Mutex> lifecycle(m_lifecycleLock);
    IntShutdown();
    return S_OK;
}

void CReportingSettingsManager::IntShutdown()
{
    // The settings lock must not be held here: removing a server subscription waits for a change
    // callback in progress, and that callback takes the settings lock.
    std::vector<Components::InterfacePtr<IVXModifySubscription>> subscriptions;
    subscriptions.swap(m_serverSubscriptions);
    for (const auto& subscription : subscriptions)
    {
        UnsubscribeConfigPath(subscription.Get());
    }
    subscriptions.clear();
    m_sink.Reset();
    m_republishAction.reset();
    m_notificationQueue.Stop();
    if (m_notificationThread.joinable())
    {
        // Called (against the rules) from a subscriber's callback the thread cannot wait for
        // itself: it ends on its own once the queue is drained.
        if (m_notificationThread.get_id() == std::this_thread::get_id())
        {
            m_notificationThread.detach();
        }
        else
        {
            m_notificationThread.join();
        }
    }
}

HRESULT CReportingSettingsManager::AcquireCommonConnectionSettings(std::uint32_t mode,
                                                                   IVXNode* commonSettings, IVXNode** result)
{
    return AtBoundary(kAcquireCommonConnectionSettings,
                      [&]
                      {
                          RSM_MANAGER_TRACE(Logging::Dbg2, kAcquireCommonConnectionSettings);
                          if (result == nullptr)
                          {
                              RaiseHResult(E_POINTER);
                          }
                          *result = nullptr;
                          RequireConfigured();
                          VXNodePtr common(commonSettings, false);
                          Base::LockGuard<Base::RecursiveMutex> lock(m_settingsLock);
                          *result = IntAcquireCommonConnSettings(common, mode == 1, true).Detach();
                      });
}

HRESULT CReportingSettingsManager::AcquireConnectionSettings(std::uint32_t type, IVXNode** result)
{
    return AtBoundary(kAcquireConnectionSettings,
                      [&]
                      {
                          // A null out pointer is refused rather than written through.
                          if (result == nullptr)
                          {
                              RaiseHResult(E_POINTER);
                          }
                          VXNodePtr copy;
                          {
                              Base::LockGuard<Base::RecursiveMutex> lock(m_settingsLock);
                              auto it = m_connectionSettings.find(type);
                              if (it != m_connectionSettings.end())
                              {
                                  copy = it->second.Clone(kDepthAll);
                              }
                          }
                          if (!copy.IsValid())
                          {
                              copy = VXNodePtr::Create(L"ConnectionSettingsContainer");
                          }
                          *result = copy.Detach();
                      });
}

HRESULT CReportingSettingsManager::ConvertReportingSettings(IVXNode* settings, std::uint32_t isCommon,
                                                            IVXNode** result)
{
    return AtBoundary(
        kConvertReportingSettings,
        [&]
        {
            if (settings == nullptr || result == nullptr)
            {
                RaiseHResult(E_POINTER);
            }
            *result = nullptr;
            RequireConfigured();
            VXNodePtr source(settings, false);
            Base::LockGuard<Base::RecursiveMutex> lock(m_settingsLock);
            *result = IntConvertReportingSettings(source, isCommon != 0 ? Common : Containers).Detach();
        });
}

HRESULT CReportingSettingsManager::AcquireProductsSettings(std::uint32_t types, IVXNode** result)
{
    return AtBoundary(kAcquireProductsSettings,
                      [&]
                      {
                          RSM_MANAGER_TRACE(Logging::Dbg2, kAcquireProductsSettings);
                          if (result == nullptr)
                          {
                              RaiseHResult(E_POINTER);
                          }
                          *result = nullptr;
                          RequireConfigured();
                          *result = m_provider->AccumulateProductsSettings(types).Detach();
                      });
}
} // namespace ManagementService
