// The etcd store on clusters the program starts: a 10,000-put transaction on one member, and
// commit-to-callback latency between two servers of a three-member cluster against within one.
#include "ConfigServer.h"
#include "Platform/ConfigServer/EtcdCluster.h"
#include "Platform/Core/Text.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace
{

using Clock = std::chrono::steady_clock;

struct Server
{
    explicit Server(const std::wstring& location)
    {
        ConfigServerCreate(location.c_str(), &proxy);
        IConfigServer* server = nullptr;
        proxy->GetConfigServer(&server);
        server->GetService(&IID_IConfigStorage, reinterpret_cast<void**>(&storage));
        server->GetService(&IID_IConfigSubscriptionService, reinterpret_cast<void**>(&subscriptions));
        server->Release();
    }
    ~Server()
    {
        ConfigServerShutdown(proxy);
        storage->Release();
        subscriptions->Release();
        proxy->Release();
    }
    IConfigServerProxy* proxy = nullptr;
    IConfigStorage* storage = nullptr;
    IConfigSubscriptionService* subscriptions = nullptr;
};

IVXNode* MakeNode(const std::wstring& path, std::int64_t value)
{
    IVXNode* node = nullptr;
    VxnCreateNode(nullptr, nullptr, &node);
    VxnSetNodeName(node, VXN_NAME_FULL_PATH, path.c_str());
    VxnSetAttribute(node, L"Value", VXN_ATTR_INT64, &value, sizeof(value));
    std::string text = Platform::ToUtf16Le(L"connection setting text");
    text.append(2, '\0');
    VxnSetAttribute(node, L"Text", VXN_ATTR_STRING, text.data(), text.size());
    return node;
}

IVXNode* MakeQuery(const std::wstring& path)
{
    IVXNode* query = nullptr;
    VxnCreateNode(nullptr, L"FilterByPath", &query);
    std::string text = Platform::ToUtf16Le(path);
    text.append(2, '\0');
    VxnSetAttribute(query, L"NodePath", VXN_ATTR_STRING, text.data(), text.size());
    return query;
}

// Same workload as the SQLite figure of ConfigServerBenchmark.
void BM_EtcdTransactionOf10000Puts(benchmark::State& state)
{
    TestSupport::EtcdCluster cluster(1);
    if (!cluster.ready)
    {
        state.SkipWithError("no cluster");
        return;
    }
    Server server(cluster.Location("bench"));
    int round = 0;
    for (auto _ : state)
    {
        IConfigTransaction* transaction = nullptr;
        server.storage->CreateTransaction(&transaction);
        std::wstring base = L"\\Bench\\R" + std::to_wstring(round++) + L"\\G";
        for (int i = 0; i < 10000; ++i)
        {
            IVXNode* node = MakeNode(base + std::to_wstring(i / 100) + L"\\N" + std::to_wstring(i % 100), i);
            server.storage->PutNodes(transaction, 0, &node, 1);
            VxnCloseNodeHandle(node);
        }
        if (FAILED(server.storage->CommitTransaction(transaction)))
        {
            state.SkipWithError("commit failed");
        }
        transaction->Release();
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_EtcdTransactionOf10000Puts)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

class LatencyProbe final : public IConfigModifyCallback
{
public:
    std::uint32_t AddRef() override { return 1; }
    std::uint32_t Release() override { return 1; }
    HRESULT QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }
    HRESULT OnTriggered(IVXModifySubscription*, std::int32_t, IVXNodeModifyEnum*) override
    {
        auto now = Clock::now();
        std::lock_guard lock(m_mutex);
        m_arrived = now;
        ++m_count;
        m_changed.notify_all();
        return S_OK;
    }
    Clock::time_point WaitFor(std::uint64_t count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_count >= count; });
        return m_arrived;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_count = 0;
    Clock::time_point m_arrived;
};

// From the start of a one-node PutNodes on the first server to the callback of a subscriber on
// the same server (other = 0) or on the second server (other = 1).
void BM_EtcdCommitToCallbackLatency(benchmark::State& state)
{
    TestSupport::EtcdCluster cluster(3);
    if (!cluster.ready)
    {
        state.SkipWithError("no cluster");
        return;
    }
    const std::wstring location = cluster.Location("bench");
    Server writer(location);
    Server other(location);
    Server& watching = state.range(0) != 0 ? other : writer;
    LatencyProbe probe;
    IVXNode* query = MakeQuery(L"\\Settings\\Common");
    IVXNode* request = nullptr;
    VxnCreateNode(L"SubscribeConfig", nullptr, &request);
    std::int64_t mask = 4;
    std::int64_t options = 3;
    VxnSetAttribute(request, L"ChangesMask", VXN_ATTR_INT64, &mask, sizeof(mask));
    VxnSetAttribute(request, L"SubscribeOptions", VXN_ATTR_INT64, &options, sizeof(options));
    IVXModifySubscription* subscription = nullptr;
    watching.subscriptions->Subscribe(query, request, &probe, &subscription);
    subscription->Start();

    std::vector<double> micros;
    std::uint64_t sent = 0;
    for (auto _ : state)
    {
        IVXNode* node = MakeNode(L"\\Settings\\Common", static_cast<std::int64_t>(sent));
        auto start = Clock::now();
        writer.storage->PutNodes(nullptr, 0, &node, 1);
        auto arrived = probe.WaitFor(++sent);
        VxnCloseNodeHandle(node);
        micros.push_back(std::chrono::duration<double, std::micro>(arrived - start).count());
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty())
    {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    }
    watching.subscriptions->Unsubscribe(subscription);
    subscription->Release();
    VxnCloseNodeHandle(request);
    VxnCloseNodeHandle(query);
}
BENCHMARK(BM_EtcdCommitToCallbackLatency)
    ->ArgName("other")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(300);

} // namespace

BENCHMARK_MAIN();
