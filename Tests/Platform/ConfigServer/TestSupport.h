// Queries, a server with its services, a scratch database and a recording callback for the
// configuration server tests.
#pragma once

#include "ConfigServer.h"
#include "Platform/Tessel/TesselTestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace TestSupport
{

inline Vx Query(const std::wstring& path, std::int64_t maxDepth = VXN_DEPTH_ALL)
{
    return std::move(Vx(nullptr, L"FilterByPath")
                         .Str(L"NodePath", path)
                         .I64(L"MaxDepth", maxDepth)
                         .Set(L"IsParent", VXN_ATTR_BOOL, std::string(1, '\0')));
}

inline Vx Request(std::int64_t mask, std::int64_t options)
{
    return std::move(Vx(L"SubscribeConfig").I64(L"ChangesMask", mask).I64(L"SubscribeOptions", options));
}

// A node that is to be stored at the full path.
inline Vx At(const std::wstring& path)
{
    return std::move(Vx(nullptr).Path(path));
}

// A directory of its own for a database file and anything else a test writes.
struct TempDatabase
{
    TempDatabase() { std::filesystem::create_directories(directory); }
    ~TempDatabase() { std::filesystem::remove_all(directory); }
    std::wstring Location() const { return L"sqlite:" + path.wstring(); }

    static inline std::atomic<int> s_counter{0};
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() /
        ("cfgsrv-" + std::to_string(getpid()) + "-" + std::to_string(++s_counter));
    const std::filesystem::path path = directory / "store.db";
};

struct Modification
{
    std::int32_t kind; // of the delivery that brought it
    std::wstring path;
    std::int64_t mask;
    std::int64_t sequence;
    Vx node;               // child 0, empty when absent
    std::wstring nodePath; // its full path while the modification node lives
};

inline std::vector<std::int64_t> Masks(const std::vector<Modification>& modifications)
{
    std::vector<std::int64_t> masks;
    std::ranges::transform(modifications, std::back_inserter(masks), &Modification::mask);
    return masks;
}

// Records every modification delivered; an optional hook runs inside the callback.
class Recorder final : public IConfigModifyCallback
{
public:
    std::uint32_t AddRef() override { return ++references; }
    std::uint32_t Release() override { return --references; } // lives on the test's stack
    HRESULT QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }

    HRESULT OnTriggered(IVXModifySubscription* subscription, std::int32_t kind,
                        IVXNodeModifyEnum* modifications) override
    {
        EXPECT_NE(m_owner, std::this_thread::get_id()); // callbacks come on a server thread
        std::vector<Modification> delivered;
        IVXNodeEnumerator* enumerator = nullptr;
        EXPECT_EQ(S_OK, modifications->GetNodeEnumerator(&enumerator));
        enumerator->Reset();
        Vx node;
        while (enumerator->Next(node.Out()) == S_OK)
        {
            Vx content = node.At(0);
            std::wstring contentPath = content ? content.FullPath() : L"";
            delivered.push_back({kind, node.GetStr(L"ModifiedNodePath"), node.GetI64(L"ChangesMask"),
                                 node.GetI64(L"CommitSequence"), std::move(content), contentPath});
        }
        enumerator->Release();
        EXPECT_TRUE(kind == CFG_TRIGGER_BATCH || delivered.size() == 1) << "an immediate trigger brings one";
        if (hook)
        {
            hook(subscription);
        }
        std::lock_guard lock(m_mutex);
        std::move(delivered.begin(), delivered.end(), std::back_inserter(m_modifications));
        m_changed.notify_all();
        return S_OK;
    }

    // Waits until the modifications delivered so far reach count (true) or 10 s pass (false).
    bool WaitFor(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10),
                                  [&] { return m_modifications.size() >= count; });
    }
    // The number delivered once stragglers have had a moment to arrive.
    std::size_t Settled()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard lock(m_mutex);
        return m_modifications.size();
    }
    // Every modification delivered so far, in order; each must have come in a delivery of the kind.
    std::vector<Modification> TakeAll(std::int32_t kind)
    {
        std::lock_guard lock(m_mutex);
        for (const Modification& modification : m_modifications)
        {
            EXPECT_EQ(kind, modification.kind);
        }
        return std::move(m_modifications);
    }

    std::function<void(IVXModifySubscription*)> hook;
    std::atomic<std::uint32_t> references{0};

private:
    const std::thread::id m_owner = std::this_thread::get_id();
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Modification> m_modifications;
};

// A server with its storage and subscription services; shut down at the end unless released first.
struct Server
{
    explicit Server(const std::wstring& where = L"") : location(where)
    {
        Open(ConfigServerCreate(location.c_str(), &proxy));
    }
    // A server made by the test itself, stopped by stop at the end.
    Server(IConfigServerProxy* adopted, std::function<void()> stop) : stopper(std::move(stop)), proxy(adopted)
    {
        Open(S_OK);
    }
    void Open(HRESULT hr)
    {
        IConfigServer* server = nullptr;
        if (SUCCEEDED(created = hr) && SUCCEEDED(proxy->GetConfigServer(&server)))
        {
            server->GetService(&IID_IConfigStorage, reinterpret_cast<void**>(&storage));
            server->GetService(&IID_IConfigSubscriptionService, reinterpret_cast<void**>(&subscriptions));
            server->Release();
        }
    }
    ~Server()
    {
        stopper();
        Release();
    }
    void Release()
    {
        Drop(storage);
        Drop(subscriptions);
        Drop(proxy);
    }
    static void Drop(auto*& held)
    {
        if (held)
        {
            std::exchange(held, nullptr)->Release();
        }
    }

    HRESULT Put(const Vx& node, IConfigTransaction* transaction = nullptr) const
    {
        IVXNode* nodes[] = {node.Get()};
        return storage->PutNodes(transaction, 0, nodes, 1);
    }
    HRESULT Remove(const std::wstring& path, IConfigTransaction* transaction = nullptr) const
    {
        return storage->RemoveNodes(transaction, Query(path).Get());
    }
    // One transaction of the calls that fill makes on it (in a braced list, so in order), committed
    // when they all succeed; the first failure otherwise.
    HRESULT Transact(const std::function<std::vector<HRESULT>(IConfigTransaction*)>& fill) const
    {
        IConfigTransaction* transaction = nullptr;
        HRESULT hr = storage->CreateTransaction(&transaction);
        if (SUCCEEDED(hr))
        {
            const std::vector<HRESULT> steps = fill(transaction);
            const auto failed =
                std::find_if(steps.begin(), steps.end(), [](HRESULT step) { return FAILED(step); });
            hr = failed != steps.end() ? *failed : storage->CommitTransaction(transaction);
        }
        Drop(transaction);
        return hr;
    }
    // The node at the path with its subtree to the depth; empty when there is none.
    Vx Get(const std::wstring& path, std::int64_t depth = VXN_DEPTH_ALL) const
    {
        Vx result;
        std::uint64_t found = 7;
        EXPECT_EQ(S_OK, storage->QueryNodes(Query(path, depth).Get(), 0, result.Out(), 1, &found));
        EXPECT_EQ(found, result ? 1u : 0u);
        return result;
    }
    std::string Export() const
    {
        std::string text;
        EXPECT_EQ(S_OK, ConfigServerExportText(proxy, AppendChunk, &text));
        return text;
    }
    IVXModifySubscription* Subscribe(const Vx& query, std::int64_t mask, std::int64_t options,
                                     Recorder& recorder, bool start = true) const
    {
        IVXModifySubscription* subscription = nullptr;
        EXPECT_EQ(S_OK, subscriptions->Subscribe(query.Get(), Request(mask, options).Get(), &recorder,
                                                 &subscription));
        if (subscription && start)
        {
            EXPECT_EQ(S_OK, subscription->Start());
        }
        return subscription;
    }
    void Unsubscribe(IVXModifySubscription* subscription) const
    {
        EXPECT_EQ(S_OK, subscriptions->Unsubscribe(subscription));
        subscription->Release();
    }

    const std::wstring location;
    std::function<void()> stopper = [this] { ConfigServerShutdown(proxy); };
    IConfigServerProxy* proxy = nullptr;
    HRESULT created = E_FAIL;
    IConfigStorage* storage = nullptr;
    IConfigSubscriptionService* subscriptions = nullptr;
};

// One commit of a numbered generation: \Big with count children and \Counter, all holding "v" =
// generation.
inline HRESULT CommitGeneration(const Server& server, std::int64_t generation, int count)
{
    Vx big = At(L"\\Big");
    for (int i = 0; i < count; ++i)
    {
        big.Add(Vx((L"N" + std::to_wstring(i)).c_str()).I64(L"v", generation));
    }
    return server.Transact(
        [&](IConfigTransaction* t) {
            return std::vector{server.Put(big, t), server.Put(At(L"\\Counter").I64(L"v", generation), t)};
        });
}

// A child process that commits generation after generation until it is killed; returned once its
// first commit is in.
inline pid_t StartCommitter(const std::wstring& location, int count)
{
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    const pid_t child = fork();
    if (child == 0)
    {
        Server server(location);
        for (std::int64_t generation = 1;
             SUCCEEDED(server.created) && SUCCEEDED(CommitGeneration(server, generation, count));
             ++generation)
        {
            (void)!write(fds[1], "c", generation == 1 ? 1 : 0);
        }
        _exit(3);
    }
    close(fds[1]);
    char done = 0;
    EXPECT_EQ(1, read(fds[0], &done, 1)) << "the child ended before its first commit";
    close(fds[0]);
    return child;
}

// The generation the server holds, checked to be whole: every child of \Big carries it.
inline std::int64_t WholeGeneration(const Server& server, int count)
{
    Vx counter = server.Get(L"\\Counter");
    Vx big = server.Get(L"\\Big");
    if (!counter || !big)
    {
        ADD_FAILURE() << "no complete generation";
        return -1;
    }
    const std::int64_t generation = counter.GetI64(L"v");
    EXPECT_EQ(static_cast<std::uint64_t>(count), big.ChildCount());
    for (std::uint64_t i = 0; i < big.ChildCount(); ++i)
    {
        if (big.At(i).GetI64(L"v") != generation)
        {
            ADD_FAILURE() << "child " << i << " of generation " << big.At(i).GetI64(L"v") << " in "
                          << generation;
            break;
        }
    }
    return generation;
}

} // namespace TestSupport
