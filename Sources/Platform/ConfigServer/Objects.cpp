#include "Platform/ConfigServer/Objects.h"

#include "Common/Base/Path.h"
#include "Common/Base/Results.h"

#include "Platform/ConfigServer/VxConvert.h"
#include "Platform/Core/System.h"

#include <new>

namespace ConfigServer
{
namespace
{

// The opening every operation with an out pointer shares: its injected fault first, then a usable
// out pointer, cleared so that any later failure hands back null.
template <typename T> HRESULT BeginOut(FaultInjector& faults, const wchar_t* operation, T** out)
{
    if (HRESULT hr = faults.Check(operation); FAILED(hr))
    {
        return hr;
    }
    if (out == nullptr)
    {
        return E_POINTER;
    }
    *out = nullptr;
    return S_OK;
}

// Reads a "FilterByPath" query. An empty "NodePath" selects nothing (empty is set).
HRESULT ReadQuery(IVXNode* query, SubscriptionRequest& request, bool& empty)
{
    std::wstring type;
    HRESULT hr = ReadNodeType(query, type);
    if (FAILED(hr))
    {
        return hr;
    }
    if (type != L"FilterByPath")
    {
        return E_INVALIDARG;
    }
    hr = ReadStringAttribute(query, L"NodePath", request.path);
    if (FAILED(hr))
    {
        return hr == HR_NOT_FOUND ? E_INVALIDARG : hr;
    }
    bool isParent = false;
    hr = ReadBoolAttribute(query, L"IsParent", isParent);
    if (FAILED(hr) && hr != HR_NOT_FOUND)
    {
        return hr;
    }
    if (isParent)
    {
        return E_NOTIMPL; // selecting the children of a node is not offered
    }
    std::int64_t maxDepth = VXN_DEPTH_ALL;
    hr = ReadInt64Attribute(query, L"MaxDepth", maxDepth);
    if (FAILED(hr) && hr != HR_NOT_FOUND)
    {
        return hr;
    }
    if (maxDepth < 0)
    {
        return E_INVALIDARG;
    }
    request.maxDepth = static_cast<std::uint64_t>(maxDepth);
    empty = request.path.empty();
    if (empty)
    {
        return S_OK;
    }
    return SplitPath(request.path, request.components) && request.components.size() <= kMaxTreeDepth
               ? S_OK
               : E_INVALIDARG;
}

class Transaction final : public ComObject<IConfigTransaction, IID_IConfigTransaction>
{
public:
    explicit Transaction(std::shared_ptr<ServerCore> core) : m_core(std::move(core)) {}

    const std::shared_ptr<ServerCore>& Core() const { return m_core; }

    HRESULT Add(Operation operation) RSM_EXCLUDES(m_mutex)
    {
        Base::LockGuard<Base::Mutex> lock(m_mutex);
        if (m_committed)
        {
            return CFG_E_CLOSED;
        }
        m_operations.push_back(std::move(operation));
        return S_OK;
    }

    HRESULT Commit() RSM_EXCLUDES(m_mutex)
    {
        Base::LockGuard<Base::Mutex> lock(m_mutex);
        if (m_committed)
        {
            return CFG_E_CLOSED;
        }
        HRESULT hr = m_core->Commit(m_operations);
        if (SUCCEEDED(hr))
        {
            // A failed commit leaves the transaction open, so that it can be tried again.
            m_committed = true;
            m_operations.clear();
        }
        return hr;
    }

private:
    HRESULT QueryOther(const GUID& iid, void** object) override
    {
        if (iid == IID_TransactionImpl)
        {
            *object = this;
            return S_OK;
        }
        return E_NOINTERFACE;
    }

    std::shared_ptr<ServerCore> m_core;
    Base::Mutex m_mutex;
    Operations m_operations RSM_GUARDED_BY(m_mutex);
    bool m_committed RSM_GUARDED_BY(m_mutex) = false;
};

class Storage final : public ComObject<IConfigStorage, IID_IConfigStorage>
{
public:
    explicit Storage(std::shared_ptr<ServerCore> core) : m_core(std::move(core)) {}

    HRESULT CreateTransaction(IConfigTransaction** transaction) override
    {
        if (HRESULT hr = Enter(L"CreateTransaction"); FAILED(hr))
        {
            return hr;
        }
        if (transaction == nullptr)
        {
            return E_POINTER;
        }
        return Base::CallGuarded(
            [&]
            {
                *transaction = new Transaction(m_core);
                return S_OK;
            });
    }

    HRESULT CommitTransaction(IConfigTransaction* transaction) override
    {
        if (HRESULT hr = Enter(L"CommitTransaction"); FAILED(hr))
        {
            return hr;
        }
        if (transaction == nullptr)
        {
            return E_POINTER;
        }
        Transaction* impl = Ours(transaction);
        return impl ? Base::CallGuarded([&] { return impl->Commit(); }) : E_INVALIDARG;
    }

    HRESULT PutNodes(IConfigTransaction* transaction, std::uint32_t flags, IVXNode* const* nodes,
                     std::uint64_t count) override
    {
        if (HRESULT hr = Enter(L"PutNodes"); FAILED(hr))
        {
            return hr;
        }
        if (nodes == nullptr)
        {
            return E_POINTER;
        }
        if (count != 1 || flags != 0)
        {
            return E_INVALIDARG;
        }
        if (nodes[0] == nullptr)
        {
            return E_POINTER;
        }
        Transaction* impl = nullptr;
        if (transaction != nullptr && (impl = Ours(transaction)) == nullptr)
        {
            return E_INVALIDARG;
        }
        return Base::CallGuarded(
            [&]
            {
                PutOperation put;
                HRESULT hr = ReadNodeName(nodes[0], VXN_NAME_FULL_PATH, put.path);
                if (FAILED(hr))
                {
                    return hr;
                }
                // The root ("\") is what a node without a name or full path reports: refused.
                std::vector<std::wstring_view> components;
                if (!SplitPathViews(put.path, components) || components.empty())
                {
                    return E_INVALIDARG;
                }
                hr = ReadInputTree(nodes[0], put.node);
                if (FAILED(hr))
                {
                    return hr;
                }
                return impl ? impl->Add(std::move(put)) : m_core->Commit({std::move(put)});
            });
    }

    HRESULT RemoveNodes(IConfigTransaction* transaction, IVXNode* query) override
    {
        if (HRESULT hr = Enter(L"RemoveNodes"); FAILED(hr))
        {
            return hr;
        }
        if (query == nullptr)
        {
            return E_POINTER;
        }
        Transaction* impl = nullptr;
        if (transaction != nullptr && (impl = Ours(transaction)) == nullptr)
        {
            return E_INVALIDARG;
        }
        return Base::CallGuarded(
            [&]
            {
                SubscriptionRequest request;
                bool empty = false;
                HRESULT hr = ReadQuery(query, request, empty);
                if (FAILED(hr))
                {
                    return hr;
                }
                if (!empty && request.components.empty())
                {
                    return E_INVALIDARG; // the root stays
                }
                RemoveOperation remove{std::move(request.components)};
                if (impl)
                {
                    return impl->Add(std::move(remove)); // an empty path still marks the transaction used
                }
                return empty ? S_OK : m_core->Commit({std::move(remove)});
            });
    }

    HRESULT QueryNodes(IVXNode* query, std::uint32_t flags, IVXNode** nodes, std::uint64_t maxCount,
                       std::uint64_t* found) override
    {
        if (HRESULT hr = Enter(L"QueryNodes"); FAILED(hr))
        {
            return hr;
        }
        if (query == nullptr || nodes == nullptr || found == nullptr)
        {
            return E_POINTER;
        }
        if (maxCount != 1 || flags != 0)
        {
            return E_INVALIDARG;
        }
        *found = 0;
        nodes[0] = nullptr;
        return Base::CallGuarded(
            [&]
            {
                SubscriptionRequest request;
                bool empty = false;
                HRESULT hr = ReadQuery(query, request, empty);
                if (FAILED(hr) || empty)
                {
                    return hr;
                }
                ConstNodeP node = Lookup(m_core->Root(), request.components);
                if (!node)
                {
                    return S_OK;
                }
                IVXNode* copy = nullptr;
                hr = MakeDataNode(*node,
                                  request.components.empty() ? std::wstring() : request.components.back(),
                                  request.maxDepth, &copy);
                if (SUCCEEDED(hr) && !request.components.empty())
                {
                    hr = VxnSetNodeName(copy, VXN_NAME_FULL_PATH, Base::JoinPath(request.components).c_str());
                }
                if (FAILED(hr))
                {
                    if (copy)
                    {
                        VxnCloseNodeHandle(copy);
                    }
                    return hr;
                }
                nodes[0] = copy;
                *found = 1;
                return S_OK;
            });
    }

private:
    HRESULT Enter(const wchar_t* operation)
    {
        if (HRESULT hr = m_core->Faults()->Check(operation); FAILED(hr))
        {
            return hr;
        }
        return m_core->Stopped() ? CFG_E_SERVER_STOPPED : S_OK;
    }

    Transaction* Ours(IConfigTransaction* transaction)
    {
        auto* impl = ImplementationOf<Transaction>(transaction, IID_TransactionImpl);
        return impl && impl->Core() == m_core ? impl : nullptr;
    }

    std::shared_ptr<ServerCore> m_core;
};

class SubscriptionService final : public ComObject<IConfigSubscriptionService, IID_IConfigSubscriptionService>
{
public:
    explicit SubscriptionService(std::shared_ptr<ServerCore> core) : m_core(std::move(core)) {}

    HRESULT Subscribe(IVXNode* filter, IVXNode* request, IConfigModifyCallback* callback,
                      IVXModifySubscription** subscription) override
    {
        if (HRESULT hr = BeginOut(*m_core->Faults(), L"Subscribe", subscription); FAILED(hr))
        {
            return hr;
        }
        if (filter == nullptr || request == nullptr || callback == nullptr)
        {
            return E_POINTER;
        }
        return Base::CallGuarded(
            [&]
            {
                SubscriptionRequest parsed;
                bool empty = false;
                HRESULT hr = ReadQuery(filter, parsed, empty);
                if (FAILED(hr))
                {
                    return hr;
                }
                std::int64_t mask = 0;
                std::int64_t options = 0;
                if (empty || FAILED(ReadInt64Attribute(request, L"ChangesMask", mask)) ||
                    FAILED(ReadInt64Attribute(request, L"SubscribeOptions", options)) || mask <= 0 ||
                    (static_cast<std::uint64_t>(mask) & ~std::uint64_t{CFG_CHANGE_ALL}) != 0 || options < 0 ||
                    (static_cast<std::uint64_t>(options) & ~std::uint64_t{CFG_SUBSCRIBE_ALL}) != 0)
                {
                    return E_INVALIDARG;
                }
                parsed.mask = static_cast<std::uint64_t>(mask);
                parsed.options = static_cast<std::uint64_t>(options);
                GUID id{};
                if (std::uint32_t status = Platform::UuidCreate(&id); status != 0)
                {
                    return Base::HResultFromWin32(status);
                }
                SubscriptionPtr created(new Subscription(id, std::move(parsed), callback, m_core,
                                                         m_core->Queue(), m_core->Faults()),
                                        true);
                hr = m_core->AddSubscription(created);
                if (FAILED(hr))
                {
                    return hr;
                }
                *subscription = created.Detach();
                return S_OK;
            });
    }

    HRESULT Unsubscribe(IVXModifySubscription* subscription) override
    {
        if (HRESULT hr = m_core->Faults()->Check(L"Unsubscribe"); FAILED(hr))
        {
            return hr;
        }
        if (subscription == nullptr)
        {
            return E_POINTER;
        }
        auto* impl = ImplementationOf<Subscription>(subscription, IID_SubscriptionImpl);
        if (impl == nullptr || impl->Core().lock() != m_core)
        {
            return E_INVALIDARG;
        }
        return m_core->RemoveSubscription(impl);
    }

private:
    std::shared_ptr<ServerCore> m_core;
};

class Server final : public ComObject<IConfigServer, IID_IConfigServer>
{
public:
    explicit Server(std::shared_ptr<ServerCore> core) : m_core(std::move(core)) {}

    HRESULT GetService(const GUID* serviceId, void** service) override
    {
        if (HRESULT hr = BeginOut(*m_core->Faults(), L"GetService", service); FAILED(hr))
        {
            return hr;
        }
        if (serviceId == nullptr)
        {
            return E_POINTER;
        }
        if (m_core->Stopped())
        {
            return CFG_E_SERVER_STOPPED;
        }
        return Base::CallGuarded(
            [&]
            {
                if (*serviceId == IID_IConfigStorage)
                {
                    *service = static_cast<IConfigStorage*>(new Storage(m_core));
                    return S_OK;
                }
                if (*serviceId == IID_IConfigSubscriptionService)
                {
                    *service = static_cast<IConfigSubscriptionService*>(new SubscriptionService(m_core));
                    return S_OK;
                }
                return E_NOINTERFACE;
            });
    }

private:
    std::shared_ptr<ServerCore> m_core;
};

class NodeEnumerator final : public ComObject<IVXNodeEnumerator, IID_IVXNodeEnumerator>
{
public:
    NodeEnumerator(std::shared_ptr<NodeList> nodes, std::shared_ptr<FaultInjector> faults)
        : m_nodes(std::move(nodes)), m_faults(std::move(faults))
    {
    }

    HRESULT Reset() override
    {
        m_next = 0;
        return S_OK;
    }

    HRESULT Next(IVXNode** node) override
    {
        if (HRESULT hr = BeginOut(*m_faults, L"Next", node); FAILED(hr))
        {
            return hr;
        }
        if (m_next >= m_nodes->nodes.size())
        {
            return S_FALSE;
        }
        return VxnDuplicateNodeHandle(m_nodes->nodes[m_next++], node);
    }

private:
    std::shared_ptr<NodeList> m_nodes;
    std::shared_ptr<FaultInjector> m_faults;
    std::size_t m_next = 0;
};

} // namespace

HRESULT Proxy::GetConfigServer(IConfigServer** server)
{
    if (HRESULT hr = BeginOut(*m_core->Faults(), L"GetConfigServer", server); FAILED(hr))
    {
        return hr;
    }
    if (m_core->Stopped())
    {
        return CFG_E_SERVER_STOPPED;
    }
    return Base::CallGuarded(
        [&]
        {
            *server = new Server(m_core);
            return S_OK;
        });
}

HRESULT Proxy::QueryOther(const GUID& iid, void** object)
{
    if (iid == IID_ProxyImpl)
    {
        *object = this;
        return S_OK;
    }
    return E_NOINTERFACE;
}

ServerCore* CoreOf(IConfigServerProxy* proxy)
{
    auto* impl = ImplementationOf<Proxy>(proxy, IID_ProxyImpl);
    return impl ? impl->Core().get() : nullptr;
}

NodeList::~NodeList()
{
    for (IVXNode* node : nodes)
    {
        VxnCloseNodeHandle(node);
    }
}

ModifyEnum::ModifyEnum(std::vector<IVXNode*> nodes, std::shared_ptr<FaultInjector> faults)
    : m_nodes(std::make_shared<NodeList>()), m_faults(std::move(faults))
{
    m_nodes->nodes = std::move(nodes);
}

HRESULT ModifyEnum::GetNodeEnumerator(IVXNodeEnumerator** enumerator)
{
    if (HRESULT hr = BeginOut(*m_faults, L"GetNodeEnumerator", enumerator); FAILED(hr))
    {
        return hr;
    }
    return Base::CallGuarded(
        [&]
        {
            *enumerator = new NodeEnumerator(m_nodes, m_faults);
            return S_OK;
        });
}

} // namespace ConfigServer
