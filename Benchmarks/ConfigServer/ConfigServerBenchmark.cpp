// Throughput of large transactions, reads of large subtrees, and commit-to-callback latency.
#include "ConfigServer.h"
#include "Platform/Core/Text.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

struct Server
{
    explicit Server(bool sqlite)
    {
        std::wstring location;
        if (sqlite)
        {
            file =
                std::filesystem::temp_directory_path() / ("cfgsrv-bench-" + std::to_string(getpid()) + ".db");
            Cleanup();
            location = L"sqlite:" + file.wstring();
        }
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
        Cleanup();
    }
    void Cleanup()
    {
        if (!file.empty())
        {
            for (const char* suffix : {"", "-wal", "-shm"})
            {
                std::filesystem::remove(file.string() + suffix);
            }
        }
    }

    std::filesystem::path file;
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
    std::int64_t depth = VXN_DEPTH_ALL;
    VxnSetAttribute(query, L"MaxDepth", VXN_ATTR_INT64, &depth, sizeof(depth));
    return query;
}

void BM_TransactionOf10000Puts(benchmark::State& state)
{
    Server server(state.range(0) != 0);
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
BENCHMARK(BM_TransactionOf10000Puts)->ArgName("sqlite")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_QueryNodesOf10000NodeSubtree(benchmark::State& state)
{
    Server server(state.range(0) != 0);
    IConfigTransaction* transaction = nullptr;
    server.storage->CreateTransaction(&transaction);
    for (int i = 0; i < 10000; ++i)
    {
        IVXNode* node =
            MakeNode(L"\\Tree\\G" + std::to_wstring(i / 100) + L"\\N" + std::to_wstring(i % 100), i);
        server.storage->PutNodes(transaction, 0, &node, 1);
        VxnCloseNodeHandle(node);
    }
    server.storage->CommitTransaction(transaction);
    transaction->Release();
    IVXNode* query = MakeQuery(L"\\Tree");
    for (auto _ : state)
    {
        IVXNode* result = nullptr;
        std::uint64_t found = 0;
        server.storage->QueryNodes(query, 0, &result, 1, &found);
        VxnCloseNodeHandle(result);
    }
    VxnCloseNodeHandle(query);
    state.SetItemsProcessed(state.iterations() * 10100); // the groups count as nodes too
}
BENCHMARK(BM_QueryNodesOf10000NodeSubtree)->ArgName("sqlite")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

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

// From the start of a one-node PutNodes (which commits at once) to the callback's entry.
void BM_CommitToCallbackLatency(benchmark::State& state)
{
    Server server(state.range(0) != 0);
    LatencyProbe probe;
    IVXNode* query = MakeQuery(L"\\Settings\\Common");
    IVXNode* request = nullptr;
    VxnCreateNode(L"SubscribeConfig", nullptr, &request);
    std::int64_t mask = 4;
    std::int64_t options = 3;
    VxnSetAttribute(request, L"ChangesMask", VXN_ATTR_INT64, &mask, sizeof(mask));
    VxnSetAttribute(request, L"SubscribeOptions", VXN_ATTR_INT64, &options, sizeof(options));
    IVXModifySubscription* subscription = nullptr;
    server.subscriptions->Subscribe(query, request, &probe, &subscription);
    subscription->Start();

    std::vector<double> micros;
    std::uint64_t sent = 0;
    for (auto _ : state)
    {
        IVXNode* node = MakeNode(L"\\Settings\\Common", static_cast<std::int64_t>(sent));
        auto start = Clock::now();
        server.storage->PutNodes(nullptr, 0, &node, 1);
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
    server.subscriptions->Unsubscribe(subscription);
    subscription->Release();
    VxnCloseNodeHandle(request);
    VxnCloseNodeHandle(query);
}
BENCHMARK(BM_CommitToCallbackLatency)->ArgName("sqlite")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
