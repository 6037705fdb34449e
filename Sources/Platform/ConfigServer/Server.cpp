#include "Platform/ConfigServer/Server.h"

#include "Platform/ConfigServer/Objects.h"
#include "Platform/ConfigServer/VxConvert.h"
#include "Platform/Core/Text.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <unordered_set>

namespace ConfigServer
{

void DeliveryQueue::Push(Subscription* subscription)
{
    SubscriptionPtr held(subscription, false);
    {
        Base::LockGuard<Base::Mutex> lock(m_mutex);
        if (m_stopping)
        {
            return;
        }
        m_items.push_back(std::move(held));
    }
    m_wake.NotifyOne();
}

SubscriptionPtr DeliveryQueue::Pop()
{
    Base::UniqueLock lock(m_mutex);
    m_wake.Wait(lock, [&]() RSM_NO_THREAD_SAFETY_ANALYSIS { return m_stopping || !m_items.empty(); });
    if (m_stopping)
    {
        return {};
    }
    SubscriptionPtr subscription = std::move(m_items.front());
    m_items.pop_front();
    return subscription;
}

void DeliveryQueue::Stop()
{
    std::deque<SubscriptionPtr> dropped; // released outside the lock
    {
        Base::LockGuard<Base::Mutex> lock(m_mutex);
        m_stopping = true;
        dropped.swap(m_items);
    }
    m_wake.NotifyAll();
}

Subscription::Subscription(const GUID& id, SubscriptionRequest request, IConfigModifyCallback* callback,
                           std::weak_ptr<ServerCore> core, std::shared_ptr<DeliveryQueue> queue,
                           std::shared_ptr<FaultInjector> faults)
    : m_id(id), m_request(std::move(request)), m_core(std::move(core)), m_queue(std::move(queue)),
      m_faults(std::move(faults)), m_callback(callback, false)
{
}

Subscription::~Subscription() = default;

HRESULT Subscription::QueryOther(const GUID& iid, void** object)
{
    if (iid == IID_SubscriptionImpl)
    {
        *object = this;
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT Subscription::Start()
{
    if (HRESULT hr = m_faults->Check(L"Start"); FAILED(hr))
    {
        return hr;
    }
    {
        Base::LockGuard<Base::Mutex> lock(m_mutex);
        if (m_closed)
        {
            return CFG_E_CLOSED;
        }
        if (m_started)
        {
            return S_FALSE;
        }
        m_started = true;
        if (m_pending.empty() || m_scheduled)
        {
            return S_OK;
        }
        m_scheduled = true;
    }
    m_queue->Push(this);
    return S_OK;
}

HRESULT Subscription::Stop()
{
    if (HRESULT hr = m_faults->Check(L"Stop"); FAILED(hr))
    {
        return hr;
    }
    if (auto core = m_core.lock())
    {
        return SUCCEEDED(core->RemoveSubscription(this)) ? S_OK : S_FALSE;
    }
    return Close() ? S_OK : S_FALSE;
}

HRESULT Subscription::GetId(GUID* id)
{
    if (HRESULT hr = m_faults->Check(L"GetId"); FAILED(hr))
    {
        return hr;
    }
    if (id == nullptr)
    {
        return E_POINTER;
    }
    *id = m_id;
    return S_OK;
}

void Subscription::Enqueue(std::uint64_t sequence, std::uint64_t mask, ConstNodeP node)
{
    {
        Base::LockGuard<Base::Mutex> lock(m_mutex);
        if (m_closed)
        {
            return;
        }
        m_pending.push_back({sequence, mask, std::move(node)});
        if (!m_started || m_scheduled)
        {
            return;
        }
        m_scheduled = true;
    }
    m_queue->Push(this);
}

IVXNode* Subscription::MakeModificationNode(const Pending& pending) const
{
    IVXNode* modification = nullptr;
    if (FAILED(VxnCreateNode(nullptr, L"NodeModification", &modification)))
    {
        return nullptr;
    }
    auto fail = [&]
    {
        VxnCloseNodeHandle(modification);
        return nullptr;
    };
    std::string path = Platform::ToUtf16Le(m_request.path);
    path.append(2, '\0');
    auto mask = static_cast<std::int64_t>(pending.mask);
    auto sequence = static_cast<std::int64_t>(pending.sequence);
    if (FAILED(
            VxnSetAttribute(modification, L"ModifiedNodePath", VXN_ATTR_STRING, path.data(), path.size())) ||
        FAILED(VxnSetAttribute(modification, L"ChangesMask", VXN_ATTR_INT64, &mask, sizeof(mask))) ||
        FAILED(VxnSetAttribute(modification, L"CommitSequence", VXN_ATTR_INT64, &sequence, sizeof(sequence))))
    {
        return fail();
    }
    if (pending.node && (m_request.options & CFG_SUBSCRIBE_INCLUDE_NODE) != 0)
    {
        // The modification node stands for the parent, so that child 0 reports its real full path.
        const auto& components = m_request.components;
        std::wstring parentPath = L"\\";
        for (std::size_t i = 0; i + 1 < components.size(); ++i)
        {
            parentPath = ChildPath(parentPath, components[i]);
        }
        std::uint64_t depth = (m_request.options & CFG_SUBSCRIBE_SUBTREE) != 0 ? m_request.maxDepth : 0;
        IVXNode* content = nullptr;
        std::wstring name = components.empty() ? std::wstring() : components.back();
        if (FAILED(VxnSetNodeName(modification, VXN_NAME_FULL_PATH, parentPath.c_str())) ||
            FAILED(MakeDataNode(*pending.node, name, depth, &content)))
        {
            return fail();
        }
        HRESULT hr = VxnAddChild(modification, content);
        VxnCloseNodeHandle(content);
        if (FAILED(hr))
        {
            return fail();
        }
    }
    return modification;
}

void Subscription::Deliver()
{
    std::vector<Pending> items;
    Components::InterfacePtr<IConfigModifyCallback> callback;
    {
        Base::LockGuard<Base::Mutex> lock(m_mutex);
        if (m_closed || !m_started || m_pending.empty())
        {
            m_scheduled = false;
            return;
        }
        if ((m_request.options & CFG_SUBSCRIBE_BATCH) != 0)
        {
            items.assign(std::make_move_iterator(m_pending.begin()),
                         std::make_move_iterator(m_pending.end()));
            m_pending.clear();
        }
        else
        {
            items.push_back(std::move(m_pending.front()));
            m_pending.pop_front();
        }
        m_delivering = true;
        m_deliveringThread = std::this_thread::get_id();
        callback = m_callback;
    }

    std::vector<IVXNode*> nodes;
    for (const auto& item : items)
    {
        if (IVXNode* node = MakeModificationNode(item))
        {
            nodes.push_back(node);
        }
    }
    if (!nodes.empty())
    {
        Components::InterfacePtr<ModifyEnum> modifications(new ModifyEnum(std::move(nodes), m_faults), true);
        std::int32_t kind =
            (m_request.options & CFG_SUBSCRIBE_BATCH) != 0 ? CFG_TRIGGER_BATCH : CFG_TRIGGER_NODE;
        callback->OnTriggered(this, kind, modifications.Get());
    }
    callback.Reset();

    bool again = false;
    {
        Base::LockGuard<Base::Mutex> lock(m_mutex);
        m_delivering = false;
        m_deliveringThread = std::thread::id();
        again = !m_closed && !m_pending.empty();
        m_scheduled = again;
    }
    m_idle.NotifyAll();
    if (again)
    {
        m_queue->Push(this);
    }
}

bool Subscription::Close()
{
    Components::InterfacePtr<IConfigModifyCallback> callback; // released outside the lock
    {
        Base::UniqueLock lock(m_mutex);
        if (m_closed)
        {
            return false;
        }
        m_closed = true;
        m_pending.clear();
        // From inside our own callback there is nothing to wait for: the delivery ends when we return.
        if (m_deliveringThread != std::this_thread::get_id())
        {
            m_idle.Wait(lock, [&]() RSM_NO_THREAD_SAFETY_ANALYSIS { return !m_delivering; });
        }
        callback = std::move(m_callback);
    }
    return true;
}

ServerCore::ServerCore(std::unique_ptr<IStore> store, std::shared_ptr<FaultInjector> faults)
    : m_faults(std::move(faults)), m_store(std::move(store))
{
}

HRESULT ServerCore::Create(std::unique_ptr<IStore> store, std::shared_ptr<FaultInjector> faults,
                           unsigned deliveryThreads, std::shared_ptr<ServerCore>& core)
{
    NodeP root;
    StoreState state;
    HRESULT hr = store->Load(root, state);
    if (FAILED(hr))
    {
        return hr;
    }
    if (!faults)
    {
        faults = std::make_shared<FaultInjector>();
    }
    std::shared_ptr<ServerCore> created(new ServerCore(std::move(store), std::move(faults)));
    {
        Base::LockGuard<Base::Mutex> lock(created->m_rootMutex);
        created->m_root = std::move(root);
    }
    {
        Base::LockGuard<Base::Mutex> lock(created->m_progressMutex);
        created->m_appliedRevision = state.revision;
    }
    for (unsigned i = 0; i < std::max(deliveryThreads, 1u); ++i)
    {
        created->m_threads.emplace_back(
            [queue = created->m_queue]
            {
                while (SubscriptionPtr subscription = queue->Pop())
                {
                    subscription->Deliver();
                }
            });
    }
    {
        Base::LockGuard<Base::Mutex> lock(created->m_writeMutex);
        created->m_state = state;
        created->m_store->Watch(created.get());
    }
    core = std::move(created);
    return S_OK;
}

ServerCore::~ServerCore()
{
    Shutdown();
}

bool ServerCore::Stopped() const
{
    return m_stopped.load();
}

void ServerCore::Shutdown()
{
    {
        Base::LockGuard<Base::Mutex> lock(m_writeMutex);
        if (m_stopped.exchange(true))
        {
            return;
        }
    }
    {
        Base::LockGuard<Base::Mutex> lock(m_progressMutex);
    }
    m_progress.NotifyAll();
    std::vector<SubscriptionPtr> subscriptions;
    {
        Base::LockGuard<Base::Mutex> lock(m_subscriptionsMutex);
        subscriptions.swap(m_subscriptions);
    }
    for (const SubscriptionPtr& subscription : subscriptions)
    {
        subscription->Close();
    }
    m_queue->Stop();
    for (auto& thread : m_threads)
    {
        // Shut down from inside a callback: that thread ends by itself once the callback returns.
        if (thread.get_id() == std::this_thread::get_id())
        {
            thread.detach();
        }
        else if (thread.joinable())
        {
            thread.join();
        }
    }
    // Closed outside the write lock: a store thread may be waiting for it to report a commit.
    std::unique_ptr<IStore> store;
    {
        Base::LockGuard<Base::Mutex> lock(m_writeMutex);
        store.swap(m_store);
    }
    store.reset();
}

ConstNodeP ServerCore::Root() const
{
    Base::LockGuard<Base::Mutex> lock(m_rootMutex);
    return m_root;
}

HRESULT ServerCore::AddSubscription(SubscriptionPtr subscription)
{
    Base::LockGuard<Base::Mutex> lock(m_subscriptionsMutex);
    if (m_stopped)
    {
        return CFG_E_SERVER_STOPPED;
    }
    m_subscriptions.push_back(std::move(subscription));
    return S_OK;
}

HRESULT ServerCore::RemoveSubscription(Subscription* subscription)
{
    SubscriptionPtr removed;
    {
        Base::LockGuard<Base::Mutex> lock(m_subscriptionsMutex);
        auto it = std::find_if(m_subscriptions.begin(), m_subscriptions.end(),
                               [&](const SubscriptionPtr& held) { return held.Get() == subscription; });
        if (it == m_subscriptions.end())
        {
            return HR_NOT_FOUND;
        }
        removed = std::move(*it);
        m_subscriptions.erase(it);
    }
    // Outside the list lock: the wait for a running callback must not block commits it may make.
    removed->Close();
    return S_OK;
}

namespace
{
// Tries of one commit while other writers keep committing first, and how long one try waits for
// the server to catch up with them.
constexpr unsigned kCommitAttempts = 10;
constexpr auto kCatchUpWait = std::chrono::seconds(4);
} // namespace

HRESULT ServerCore::Commit(const Operations& operations)
{
    for (unsigned attempt = 1;; ++attempt)
    {
        std::uint64_t waitFor = 0;
        {
            Base::LockGuard<Base::Mutex> lock(m_writeMutex);
            if (m_stopped)
            {
                return CFG_E_SERVER_STOPPED;
            }
            HRESULT hr = S_OK;
            try
            {
                hr = TryCommit(operations, waitFor);
            }
            catch (const std::bad_alloc&)
            {
                return E_OUTOFMEMORY;
            }
            if (hr != STORE_E_BEHIND)
            {
                return hr;
            }
        }
        if (attempt == kCommitAttempts)
        {
            return CFG_E_CONFLICT;
        }
        Base::UniqueLock lock(m_progressMutex);
        m_progress.WaitFor(lock, kCatchUpWait,
                           [&]() RSM_NO_THREAD_SAFETY_ANALYSIS
                           { return m_appliedRevision >= waitFor || m_stopped; });
    }
}

HRESULT ServerCore::TryCommit(const Operations& operations, std::uint64_t& waitFor)
{
    TreeUpdate update(Root(), ++m_epoch);
    for (const auto& operation : operations)
    {
        update.Apply(operation);
    }
    if (!update.Changed())
    {
        return S_OK;
    }
    StoreState committed;
    HRESULT hr = m_store->Persist(update.MakeChangeSet(), m_state, committed);
    if (hr == STORE_E_BEHIND)
    {
        waitFor = committed.revision;
        return hr;
    }
    if (FAILED(hr))
    {
        return hr;
    }
    Publish(update, committed);
    return S_OK;
}

void ServerCore::Publish(const TreeUpdate& update, const StoreState& state)
{
    m_state = state;
    {
        Base::LockGuard<Base::Mutex> lock(m_progressMutex);
        m_appliedRevision = state.revision;
    }
    m_progress.NotifyAll();
    if (!update.Changed())
    {
        return;
    }
    {
        Base::LockGuard<Base::Mutex> rootLock(m_rootMutex);
        m_root = update.NewRoot();
    }
    Notify(update, state.sequence);
}

void ServerCore::OnStoreCommit(StoreCommit& commit)
{
    Base::LockGuard<Base::Mutex> lock(m_writeMutex);
    if (m_stopped || commit.state.revision <= m_state.revision)
    {
        return; // our own, or one we have
    }
    try
    {
        TreeUpdate update(Root(), ++m_epoch);
        if (commit.whole)
        {
            // Whatever the new tree lacks goes, highest nodes first.
            std::unordered_set<std::wstring> kept;
            for (const StoredNode& node : commit.written)
            {
                kept.insert(node.path);
            }
            std::vector<std::pair<std::wstring, ConstNodeP>> pending{{L"\\", update.OldRoot()}};
            while (!pending.empty())
            {
                const std::wstring path = std::move(pending.back().first);
                const ConstNodeP node = std::move(pending.back().second);
                pending.pop_back();
                ForEachChild(*node,
                             [&](const Node& child)
                             {
                                 std::wstring childPath = ChildPath(path, child.name);
                                 if (kept.count(childPath) == 0)
                                 {
                                     commit.removed.push_back(std::move(childPath));
                                 }
                                 else
                                 {
                                     pending.emplace_back(std::move(childPath), node->FindChild(child.name));
                                 }
                             });
            }
            if (kept.count(L"\\") == 0)
            {
                update.ApplyRecord(L"\\", 0, std::wstring(), {});
            }
        }
        for (const std::wstring& path : commit.removed)
        {
            RemoveOperation remove;
            if (SplitPath(path, remove.path) && !remove.path.empty())
            {
                update.Apply(remove);
            }
        }
        // Parents before children, siblings in their order.
        std::vector<std::pair<std::size_t, const StoredNode*>> written;
        written.reserve(commit.written.size());
        for (const StoredNode& node : commit.written)
        {
            const std::size_t depth =
                node.path == L"\\"
                    ? 0
                    : static_cast<std::size_t>(std::count(node.path.begin(), node.path.end(), L'\\'));
            written.emplace_back(depth, &node);
        }
        std::sort(written.begin(), written.end(),
                  [](const auto& a, const auto& b)
                  { return a.first != b.first ? a.first < b.first : a.second->order < b.second->order; });
        for (const auto& [depth, node] : written)
        {
            update.ApplyRecord(node->path, node->order, node->type, node->attributes);
        }
        Publish(update, commit.state);
    }
    catch (const std::bad_alloc&)
    {
        // The tree stays as it was; the store's next whole load repairs it.
    }
}

namespace
{
// Where a path lies relative to a base path: the same node, strictly below it, strictly above
// it, or unrelated.
enum class Relation
{
    Same,
    Below,
    Above,
    Unrelated,
};

Relation RelationOf(const std::vector<std::wstring_view>& path, const std::vector<std::wstring>& base)
{
    const std::size_t common = std::min(path.size(), base.size());
    for (std::size_t i = 0; i < common; ++i)
    {
        if (path[i] != base[i])
        {
            return Relation::Unrelated;
        }
    }
    if (path.size() == base.size())
    {
        return Relation::Same;
    }
    return path.size() > base.size() ? Relation::Below : Relation::Above;
}

std::uint64_t EventBits(Relation relation, std::uint32_t events, std::size_t levelsBelow,
                        const SubscriptionRequest& request, bool before, bool after)
{
    std::uint64_t bits = 0;
    switch (relation)
    {
    case Relation::Same:
        if ((events & kEventRemoved) != 0 && before && after)
        {
            bits |= CFG_CHANGE_NODE_REMOVED | CFG_CHANGE_NODE_ADDED; // removed and made anew
        }
        if ((events & kEventAttributes) != 0)
        {
            bits |= CFG_CHANGE_ATTRIBUTES;
        }
        if ((events & kEventType) != 0)
        {
            bits |= CFG_CHANGE_NODE_TYPE;
        }
        break;
    case Relation::Below:
        if (levelsBelow > request.maxDepth)
        {
            break;
        }
        if ((events & (kEventAdded | kEventRemoved)) != 0)
        {
            bits |= CFG_CHANGE_CHILDREN;
        }
        if ((events & kEventAttributes) != 0)
        {
            bits |= CFG_CHANGE_ATTRIBUTES;
        }
        if ((events & kEventType) != 0)
        {
            bits |= CFG_CHANGE_NODE_TYPE;
        }
        break;
    case Relation::Above:
        if ((events & kEventRemoved) != 0 && before && after)
        {
            bits |= CFG_CHANGE_NODE_REMOVED | CFG_CHANGE_NODE_ADDED;
        }
        break;
    case Relation::Unrelated:
        break;
    }
    return bits;
}
} // namespace

std::vector<std::uint64_t> ChangesFor(const std::vector<const SubscriptionRequest*>& requests,
                                      const TreeUpdate& update)
{
    std::vector<std::uint64_t> bits(requests.size(), 0);
    std::vector<std::pair<bool, bool>> presence; // before and after the commit
    presence.reserve(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i)
    {
        const bool before = Lookup(update.OldRoot(), requests[i]->components) != nullptr;
        const bool after = Lookup(update.NewRoot(), requests[i]->components) != nullptr;
        presence.emplace_back(before, after);
        if (!before && after)
        {
            bits[i] |= CFG_CHANGE_NODE_ADDED;
        }
        if (before && !after)
        {
            bits[i] |= CFG_CHANGE_NODE_REMOVED;
        }
    }
    if (requests.empty())
    {
        return bits;
    }
    // One pass over the commit's events serves every subscription.
    update.ForEachEvent(
        [&](const std::vector<std::wstring_view>& path, std::uint32_t events)
        {
            for (std::size_t i = 0; i < requests.size(); ++i)
            {
                const SubscriptionRequest& request = *requests[i];
                const Relation relation = RelationOf(path, request.components);
                const std::size_t levelsBelow =
                    relation == Relation::Below ? path.size() - request.components.size() : 0;
                bits[i] |=
                    EventBits(relation, events, levelsBelow, request, presence[i].first, presence[i].second);
            }
        });
    return bits;
}

void ServerCore::Notify(const TreeUpdate& update, std::uint64_t sequence)
{
    Base::LockGuard<Base::Mutex> lock(m_subscriptionsMutex);
    std::vector<const SubscriptionRequest*> requests;
    requests.reserve(m_subscriptions.size());
    for (const SubscriptionPtr& subscription : m_subscriptions)
    {
        requests.push_back(&subscription->Request());
    }
    const std::vector<std::uint64_t> changes = ChangesFor(requests, update);
    for (std::size_t i = 0; i < m_subscriptions.size(); ++i)
    {
        const std::uint64_t bits = changes[i] & requests[i]->mask;
        if (bits != 0)
        {
            m_subscriptions[i]->Enqueue(sequence, bits, Lookup(update.NewRoot(), requests[i]->components));
        }
    }
}

} // namespace ConfigServer
