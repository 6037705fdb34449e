// The server proper: the current tree, commits through the store, and the delivery of
// subscription notifications on the server's own threads.
#pragma once

#include "ConfigServer.h"
#include "Platform/ConfigServer/ComObject.h"
#include "Platform/ConfigServer/Faults.h"
#include "Platform/ConfigServer/Store.h"
#include "Platform/ConfigServer/Tree.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ConfigServer
{

class ServerCore;
class Subscription;

// Subscriptions with something to deliver, served by the delivery threads. Shared with the
// threads so that a thread never needs the server object itself.
class DeliveryQueue
{
public:
    void Push(Subscription* subscription);
    // Null once stopped.
    Subscription* Pop();
    void Stop();

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Subscription*> m_items; // each holds a reference
    bool m_stopping = false;
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

    HRESULT Start() override;
    HRESULT Stop() override;
    HRESULT GetId(GUID* id) override;

    const SubscriptionRequest& Request() const { return m_request; }
    const std::weak_ptr<ServerCore>& Core() const { return m_core; }

    // Queues one commit's modification (called by the committing thread, in commit order).
    void Enqueue(std::uint64_t sequence, std::uint64_t mask, ConstNodeP node);
    // Runs one delivery on a delivery thread.
    void Deliver();
    // No callback after this returns; waits for a delivery under way on another thread.
    // False when it was closed already.
    bool Close();

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

    std::mutex m_mutex;
    std::condition_variable m_idle;
    IConfigModifyCallback* m_callback; // released on close
    std::deque<Pending> m_pending;
    bool m_started = false;
    bool m_closed = false;
    bool m_scheduled = false;
    bool m_delivering = false;
    std::thread::id m_deliveringThread;
};

class ServerCore : public std::enable_shared_from_this<ServerCore>
{
public:
    static HRESULT Create(std::unique_ptr<IStore> store, unsigned deliveryThreads,
                          std::shared_ptr<ServerCore>& core);
    ~ServerCore();

    void Shutdown();
    bool Stopped() const;
    const std::shared_ptr<FaultInjector>& Faults() const { return m_faults; }
    const std::shared_ptr<DeliveryQueue>& Queue() const { return m_queue; }

    // Applies the operations all or none, then tells the subscribers.
    HRESULT Commit(const Operations& operations);
    ConstNodeP Root() const;

    HRESULT AddSubscription(Subscription* subscription);
    // HR_NOT_FOUND when it is not (or no longer) subscribed here.
    HRESULT RemoveSubscription(Subscription* subscription);

private:
    explicit ServerCore(std::unique_ptr<IStore> store);
    void Notify(const TreeUpdate& update, std::uint64_t sequence);

    const std::shared_ptr<FaultInjector> m_faults = std::make_shared<FaultInjector>();
    const std::shared_ptr<DeliveryQueue> m_queue = std::make_shared<DeliveryQueue>();

    std::mutex m_writeMutex; // one commit at a time; guards the store
    std::unique_ptr<IStore> m_store;
    std::uint64_t m_epoch = 0;
    std::uint64_t m_sequence = 0;
    std::atomic<bool> m_stopped{false};

    mutable std::mutex m_rootMutex;
    ConstNodeP m_root;

    std::mutex m_subscriptionsMutex;
    std::vector<Subscription*> m_subscriptions; // each holds a reference

    std::vector<std::thread> m_threads;
};

// Change bits of one commit for each subscription, before its mask is applied.
std::vector<std::uint64_t> ChangesFor(const std::vector<const SubscriptionRequest*>& requests,
                                      const TreeUpdate& update);

} // namespace ConfigServer
