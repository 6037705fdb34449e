// Subscriptions in both directions: the manager's own at the configuration server with the change
// handler behind them, and those of other components to the manager with their notification.
#include "Common/ConfigTree/AttributeOperations.h"
#include "Common/ErrorHandling/HResult.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ManagerLogSites.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsManager.h"

namespace ManagementService
{
using namespace ManagerLog;

namespace
{
Components::InterfacePtr<IConfigSubscriptionService> SubscriptionService(IConfigServer* server)
{
    Components::InterfacePtr<IConfigSubscriptionService> service;
    HRX hr;
    hr = server->GetService(&IID_IConfigSubscriptionService, service.OutVoid());
    return service;
}
} // namespace

void CReportingSettingsManager::SubscribeConfigPath(const std::wstring& path, std::int64_t maxDepth,
                                                    std::int32_t changesMask, std::int32_t subscribeOptions)
{
    VXNodePtr query = MakePathQuery(path, false, maxDepth);
    VXNodePtr request = VXNodePtr::Create(L"SubscribeConfig");
    request.SetInt64Attribute(L"ChangesMask", changesMask);
    request.SetInt64Attribute(L"SubscribeOptions", subscribeOptions);
    Components::InterfacePtr<IConfigSubscriptionService> service = SubscriptionService(m_configServer.Get());
    Components::InterfacePtr<IVXModifySubscription> subscription;
    HRX hr;
    hr = service->Subscribe(query.Get(), request.Get(), m_sink.Get(), subscription.Out());
    // Listed before it is started, so that a failing start still leaves it to Shutdown to remove
    // rather than to the server to keep.
    m_serverSubscriptions.push_back(subscription);
    hr = subscription->Start();
}

void CReportingSettingsManager::UnsubscribeConfigPath(IVXModifySubscription* subscription) const noexcept
{
    GUID id{};
    try
    {
        if (subscription == nullptr)
        {
            RaiseHResult(E_POINTER);
        }
        HRX hr;
        hr = subscription->GetId(&id);
        Components::InterfacePtr<IConfigSubscriptionService> service =
            SubscriptionService(m_configServer.Get());
        if (service)
        {
            hr = service->Unsubscribe(subscription);
        }
    }
    catch (const HRX& e)
    {
        RSM_MANAGER_LOG(Logging::Warn, kUnsubscribeFailed,
                        L"Config server subscription with id " << FormatGuid(id, kGuidBraced)
                                                               << L" remove failed due to " << e);
    }
}

void CReportingSettingsManager::OnConfigPathUpdated(const std::wstring& path, const VXNodePtr& node)
{
    Base::LockGuard<Base::RecursiveMutex> lock(m_settingsLock);
    RSM_MANAGER_LOG(Logging::Dbg, kConfigPathUpdated, L"Config path updated: " << path);
    // A removed node arrives without one: there is nothing to build from.
    if (!node.IsValid())
    {
        RaiseHResult(E_POINTER);
    }
    if (ReportingSettingsType metaType = m_defaultPaths->TypeOfPath(path); metaType != 0)
    {
        m_metaStorage->SetMetaInformation(metaType, node);
        return;
    }
    const ReportingSettingsType type = m_paths->TypeOfPath(path);
    if (type == 0)
    {
        return;
    }
    if (type == Common)
    {
        IntCommonSettingsChanged(node);
        return;
    }
    VXNodePtr container = IntBuildConnectionSettings(node, type, false);
    if (container.IsValid())
    {
        Queue(type, container);
    }
}

void CReportingSettingsManager::IntCommonSettingsChanged(const VXNodePtr& node)
{
    if (node.GetStringAttribute(m_paths->DatabaseAttrName(), std::wstring()).empty())
    {
        VXNodePtr meta = m_metaStorage->FindMetaInformation(Common, false);
        if (meta.IsValid())
        {
            std::vector<std::uint8_t> scratch;
            CopyAttribute(m_defaultPaths->DatabaseAttrName(), meta, m_paths->DatabaseAttrName(), node,
                          scratch, nullptr, true);
        }
    }
    VXNodePtr common = IntBuildConnectionSettings(node, Common, false);
    if (!common.IsValid())
    {
        return;
    }
    auto containers = m_settingsSnapshots.find(Containers);
    if (containers != m_settingsSnapshots.end())
    {
        VXNodePtr first = common.GetChild(0, false);
        if (first.IsValid() && first.GetBoolAttribute(L"Enabled", false))
        {
            VXNodePtr snapshot = containers->second;
            m_provider->UpdateContainersSettings(first, snapshot, true);
            Queue(Containers, IntBuildConnectionSettings(snapshot, Containers, true));
        }
    }
    Queue(Common, common);
    if (node.GetBoolAttribute(L"Enabled", false))
    {
        IntDistributionPass(node);
    }
}

void CReportingSettingsManager::Republish()
{
    Base::LockGuard<Base::RecursiveMutex> lock(m_settingsLock);
    for (const auto& [type, container] : m_connectionSettings)
    {
        Queue(type, container, true);
    }
}

void CReportingSettingsManager::Queue(ReportingSettingsType type, const VXNodePtr& container, bool periodic,
                                      Components::InterfacePtr<IReportingSettingsSubscriber> target)
{
    m_notificationQueue.Push(TNotificationItem{type, container, periodic, std::move(target)});
}

void CReportingSettingsManager::Dispatch(const TNotificationItem& item)
{
    Base::LockGuard<Base::RecursiveMutex> lock(m_subscribersLock);
    // A subscriber may add or remove subscriptions from its callback (the lock is recursive), so
    // the walk goes on from the last id served rather than from an iterator.
    auto it = m_subscribers.begin();
    while (it != m_subscribers.end())
    {
        const GUID id = it->first;
        if ((it->second.types & item.type) != 0 &&
            (!item.target || it->second.subscriber.Get() == item.target.Get()))
        {
            Components::InterfacePtr<IReportingSettingsSubscriber> subscriber = it->second.subscriber;
            subscriber->OnReportingSettingsChanged(item.type, item.periodic ? 1 : 0, item.node.Get());
        }
        it = m_subscribers.upper_bound(id);
    }
}

HRESULT CReportingSettingsManager::CreateReportingSettingsSubscription(
    std::uint32_t types, IReportingSettingsSubscriber* subscriber, IVXNode** cookie)
{
    return AtBoundary(kCreateReportingSettingsSubscription,
                      [&]
                      {
                          if (subscriber == nullptr || cookie == nullptr)
                          {
                              RaiseHResult(E_POINTER);
                          }
                          *cookie = nullptr;
                          Components::InterfacePtr<IReportingSettingsSubscriber> held(subscriber, false);
                          const GUID id = NewGuid();
                          {
                              Base::LockGuard<Base::RecursiveMutex> lock(m_subscribersLock);
                              m_subscribers[id] = TSubscriberEntry{types, held};
                          }
                          {
                              Base::LockGuard<Base::RecursiveMutex> lock(m_settingsLock);
                              for (const auto& [type, container] : m_connectionSettings)
                              {
                                  if ((type & types) != 0)
                                  {
                                      Queue(type, container, false, held);
                                  }
                              }
                          }
                          VXNodePtr created = VXNodePtr::Create(nullptr, L"SubscriptionCookie");
                          created.SetGuidAttribute(L"SubscriptionId", id);
                          *cookie = created.Detach();
                      });
}

HRESULT CReportingSettingsManager::RemoveReportingSettingsSubscription(IVXNode* cookie)
{
    return AtBoundary(kRemoveReportingSettingsSubscription,
                      [&]
                      {
                          if (cookie == nullptr)
                          {
                              RaiseHResult(E_POINTER);
                          }
                          VXNodePtr node(cookie, false);
                          Base::LockGuard<Base::RecursiveMutex> lock(m_subscribersLock);
                          const GUID id = node.GetGuidAttribute(L"SubscriptionId");
                          auto it = m_subscribers.find(id);
                          if (it == m_subscribers.end())
                          {
                              RaiseHResult(HR_NOT_FOUND);
                          }
                          m_subscribers.erase(it);
                      });
}
} // namespace ManagementService
