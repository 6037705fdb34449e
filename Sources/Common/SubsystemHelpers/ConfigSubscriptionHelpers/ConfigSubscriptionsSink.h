// The component the configuration server calls back when a subscribed part of the tree changes.
// One sink serves all subscriptions of its owner, told apart by subscription id. A single updated
// node goes to the node callback at once, on the server's thread; batches are collected and
// handed to the modifications callback per subscription by a periodic publisher.
#pragma once

#include "Common/Base/Locks.h"
#include "Common/Components/ComponentObject.h"
#include "InterfacePtr.h"
#include "Common/ConfigTree/NodeModifyUtils.h"
#include "Common/Helpers/AsyncAction.h"
#include "ConfigServer.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace CfgSubscriptionsHelpers
{
// Orders ids by their 16 bytes as stored, first byte most significant.
struct GuidByteLess
{
    bool operator()(const GUID& a, const GUID& b) const noexcept
    {
        return std::memcmp(&a, &b, sizeof(GUID)) < 0;
    }
};

class CConfigSubscriptionsSink : public Components::CComponentRoot, public IConfigModifyCallback
{
public:
    using Interfaces =
        Components::InterfaceList<Components::Interface<IID_IConfigModifyCallback, IConfigModifyCallback>>;
    using ModificationsCallback = std::function<void(const GUID&, std::vector<TNodeModification>&&)>;
    using NodeCallback = std::function<void(const GUID&, const std::wstring&, const VXNodePtr&)>;

    // The modifications callback is required (E_INVALIDARG otherwise); the node callback is not.
    // The publisher runs every `seconds`, the first time one period after construction.
    CConfigSubscriptionsSink(std::uint64_t seconds, ModificationsCallback modificationsCallback,
                             NodeCallback nodeCallback);
    // The same with a finer period, for owners and tests that need one.
    CConfigSubscriptionsSink(std::chrono::milliseconds period, ModificationsCallback modificationsCallback,
                             NodeCallback nodeCallback);

    // Creates the component and keeps only its callback interface; failures are raised.
    template <typename Period>
    static Components::InterfacePtr<IConfigModifyCallback>
    Create(Period period, ModificationsCallback modifications, NodeCallback node = {})
    {
        Components::CComponentObject<CConfigSubscriptionsSink>* object = nullptr;
        HRX hr;
        hr = Components::CComponentObject<CConfigSubscriptionsSink>::CreateObject(
            &object, period, std::move(modifications), std::move(node));
        Components::InterfacePtr<Components::CComponentObject<CConfigSubscriptionsSink>> owner(object, true);
        Components::InterfacePtr<IConfigModifyCallback> callback;
        hr = object->QueryInterface(&IID_IConfigModifyCallback, callback.OutVoid());
        return callback;
    }

    HRESULT OnTriggered(IVXModifySubscription* subscription, std::int32_t kind,
                        IVXNodeModifyEnum* modifications) override;

protected:
    ~CConfigSubscriptionsSink() = default;

private:
    // Benchmarks time a publication without waiting for the period.
    friend class CConfigSubscriptionsSinkProbe;

    using Pending = std::multimap<GUID, TNodeModification, GuidByteLess>;

    void AddPending(const GUID& id, IVXNodeModifyEnum* modifications) RSM_REQUIRES(m_lock);
    void IntPublishModifications() RSM_EXCLUDES(m_lock);

    Pending m_pending RSM_GUARDED_BY(m_lock);
    ModificationsCallback m_modificationsCallback;
    NodeCallback m_nodeCallback;
    Base::RecursiveMutex m_lock;
    // Last, so that its worker is stopped and joined before everything it uses goes.
    std::unique_ptr<Helpers::CAsyncAction<std::function<void()>>> m_publisher;
};
} // namespace CfgSubscriptionsHelpers
