// The server proper: the current tree, commits through the store, and the delivery of
// subscription notifications on the server's own threads.
#pragma once

#include "Common/Base/Locks.h"
#include "ConfigServer.h"
#include "InterfacePtr.h"
#include "Platform/ConfigServer/ComObject.h"
#include "Platform/ConfigServer/Faults.h"
#include "Platform/ConfigServer/Store.h"
#include "Platform/ConfigServer/Tree.h"

#include <atomic>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

namespace ConfigServer
{

class ServerCore;
class Subscription;
using SubscriptionPtr = Components::InterfacePtr<Subscription>;

// Subscriptions with something to deliver, served by the delivery threads. Shared with the
// threads so that a thread never needs the server object itself.
class DeliveryQueue
{
public:
    void Push(Subscription* subscription) RSM_EXCLUDES(m_mutex);
    // Empty once stopped.
    SubscriptionPtr Pop() RSM_EXCLUDES(m_mutex);
    void Stop() RSM_EXCLUDES(m_mutex);

private:
    Base::Mutex m_mutex;
    Base::CondVar m_wake;
    std::deque<SubscriptionPtr> m_items RSM_GUARDED_BY(m_mutex);
    bool m_stopping RSM_GUARDED_BY(m_mutex) = false;
};

struct SubscriptionRequest
{
    std::wstring path; // as the subscriber wrote it
    std::vector<std::wstring> components;
    std::uint64_t maxDepth = VXN_DEPTH_ALL;
    std::uint64_t mask = 0;
    std::uint64_t options = 0;
};

// {6B1E8C5A-2F47-4C1D-9E3B-7A50D2C4F611}: answers the Subscription behind the interface.
inline constexpr GUID IID_SubscriptionImpl =
    RSM_GUID(0x6B1E8C5A, 0x2F47, 0x4C1D, 0x9E, 0x3B, 0x7A, 0x50, 0xD2, 0xC4, 0xF6, 0x11);

class Subscription final : public ComObject<IVXModifySubscription, IID_IVXModifySubscription>
{
public:
    Subscription(const GUID& id, SubscriptionRequest request, IConfigModifyCallback* callback,
                 std::weak_ptr<ServerCore> core, std::shared_ptr<DeliveryQueue> queue,
                 std::shared_ptr<FaultInjector> faults);

    HRESULT Start() override RSM_EXCLUDES(m_mutex);
    HRESULT Stop() override;
    HRESULT GetId(GUID* id) override;

    const SubscriptionRequest& Request() const { return m_request; }
    const std::weak_ptr<ServerCore>& Core() const { return m_core; }

    // Queues one commit's modification (called by the committing thread, in commit order).
    void Enqueue(std::uint64_t sequence, std::uint64_t mask, ConstNodeP node) RSM_EXCLUDES(m_mutex);
    // Runs one delivery on a delivery thread.
    void Deliver() RSM_EXCLUDES(m_mutex);
    // No callback after this returns; waits for a delivery under way on another thread.
    // False when it was closed already.
    bool Close() RSM_EXCLUDES(m_mutex);

private:
    struct Pending
    {
        std::uint64_t sequence;
        std::uint64_t mask;
        ConstNodeP node;
    };

    ~Subscription() override;
    HRESULT QueryOther(const GUID& iid, void** object) override;
    IVXNode* MakeModificationNode(const Pending& pending) const;

    const GUID m_id;
    const SubscriptionRequest m_request;
    const std::weak_ptr<ServerCore> m_core;
    const std::shared_ptr<DeliveryQueue> m_queue;
    const std::shared_ptr<FaultInjector> m_faults;

    Base::Mutex m_mutex;
    Base::CondVar m_idle;
    Components::InterfacePtr<IConfigModifyCallback> m_callback RSM_GUARDED_BY(m_mutex); // reset on close
    std::deque<Pending> m_pending RSM_GUARDED_BY(m_mutex);
    bool m_started RSM_GUARDED_BY(m_mutex) = false;
    bool m_closed RSM_GUARDED_BY(m_mutex) = false;
    bool m_scheduled RSM_GUARDED_BY(m_mutex) = false;
    bool m_delivering RSM_GUARDED_BY(m_mutex) = false;
    std::thread::id m_deliveringThread RSM_GUARDED_BY(m_mutex);
};

class ServerCore final : public std::enable_shared_from_this<ServerCore>, private IStoreObserver
{
public:
    // faults: the injector that the API objects check (the store may be wrapped with it too).
    static HRESULT Create(std::unique_ptr<IStore> store, std::shared_ptr<FaultInjector> faults,
                          unsigned deliveryThreads, std::shared_ptr<ServerCore>& core);
    ~ServerCore();

    void Shutdown() RSM_EXCLUDES(m_writeMutex, m_subscriptionsMutex, m_progressMutex);
    bool Stopped() const;
    const std::shared_ptr<FaultInjector>& Faults() const { return m_faults; }
    const std::shared_ptr<DeliveryQueue>& Queue() const { return m_queue; }

    // Applies the operations all or none, then tells the subscribers. When the store moved on
    // meanwhile, catches up and applies them again on the newer tree, a bounded number of times.
    HRESULT Commit(const Operations& operations) RSM_EXCLUDES(m_writeMutex, m_subscriptionsMutex);
    ConstNodeP Root() const RSM_EXCLUDES(m_rootMutex);

    HRESULT AddSubscription(SubscriptionPtr subscription) RSM_EXCLUDES(m_subscriptionsMutex);
    // HR_NOT_FOUND when it is not (or no longer) subscribed here.
    HRESULT RemoveSubscription(Subscription* subscription) RSM_EXCLUDES(m_subscriptionsMutex);

private:
    ServerCore(std::unique_ptr<IStore> store, std::shared_ptr<FaultInjector> faults);
    // One try of a commit: S_OK, a failure, or STORE_E_BEHIND with the revision to wait for.
    HRESULT TryCommit(const Operations& operations, std::uint64_t& waitFor) RSM_REQUIRES(m_writeMutex);
    void Publish(const TreeUpdate& update, const StoreState& state) RSM_REQUIRES(m_writeMutex);
    void Notify(const TreeUpdate& update, std::uint64_t sequence) RSM_EXCLUDES(m_subscriptionsMutex);
    void OnStoreCommit(StoreCommit& commit) override RSM_EXCLUDES(m_writeMutex);

    const std::shared_ptr<FaultInjector> m_faults;
    const std::shared_ptr<DeliveryQueue> m_queue = std::make_shared<DeliveryQueue>();

    Base::Mutex m_writeMutex RSM_ACQUIRED_BEFORE(m_rootMutex, m_subscriptionsMutex, m_progressMutex);
    std::unique_ptr<IStore> m_store RSM_GUARDED_BY(m_writeMutex);
    std::uint64_t m_epoch RSM_GUARDED_BY(m_writeMutex) = 0;
    StoreState m_state RSM_GUARDED_BY(m_writeMutex);
    std::atomic<bool> m_stopped{false};

    // The store revision the tree reflects, for commits that wait to catch up.
    Base::Mutex m_progressMutex;
    Base::CondVar m_progress;
    std::uint64_t m_appliedRevision RSM_GUARDED_BY(m_progressMutex) = 0;

    mutable Base::Mutex m_rootMutex;
    ConstNodeP m_root RSM_GUARDED_BY(m_rootMutex);

    Base::Mutex m_subscriptionsMutex;
    std::vector<SubscriptionPtr> m_subscriptions RSM_GUARDED_BY(m_subscriptionsMutex);

    std::vector<std::thread> m_threads;
};

// Change bits of one commit for each subscription, before its mask is applied.
std::vector<std::uint64_t> ChangesFor(const std::vector<const SubscriptionRequest*>& requests,
                                      const TreeUpdate& update);

} // namespace ConfigServer
