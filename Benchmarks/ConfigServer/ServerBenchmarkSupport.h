// What the configuration server benchmarks share: a server's services, the nodes they write and
// query, and the commit-to-callback measurement.
#pragma once

#include "ConfigServer.h"
#include "Platform/Core/Text.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ServerBenchmark
{
using Clock = std::chrono::steady_clock;

// A server over the store location with its storage and subscription services; shut down at the end.
struct ServerServices
{
    explicit ServerServices(const std::wstring& location)
    {
        ConfigServerCreate(location.c_str(), &proxy);
        IConfigServer* server = nullptr;
        proxy->GetConfigServer(&server);
        server->GetService(&IID_IConfigStorage, reinterpret_cast<void**>(&storage));
        server->GetService(&IID_IConfigSubscriptionService, reinterpret_cast<void**>(&subscriptions));
        server->Release();
    }
    ~ServerServices()
    {
        ConfigServerShutdown(proxy);
        storage->Release();
        subscriptions->Release();
        proxy->Release();
    }
    ServerServices(const ServerServices&) = delete;
    ServerServices& operator=(const ServerServices&) = delete;

    IConfigServerProxy* proxy = nullptr;
    IConfigStorage* storage = nullptr;
    IConfigSubscriptionService* subscriptions = nullptr;
};

inline void SetText(IVXNode* node, const wchar_t* name, std::wstring_view value)
{
    std::string text = Platform::ToUtf16Le(value);
    text.append(2, '\0');
    VxnSetAttribute(node, name, VXN_ATTR_STRING, text.data(), text.size());
}

inline IVXNode* MakeNode(const std::wstring& path, std::int64_t value)
{
    IVXNode* node = nullptr;
    VxnCreateNode(nullptr, nullptr, &node);
    VxnSetNodeName(node, VXN_NAME_FULL_PATH, path.c_str());
    VxnSetAttribute(node, L"Value", VXN_ATTR_INT64, &value, sizeof(value));
    SetText(node, L"Text", L"connection setting text");
    return node;
}

// Times one transaction of 10,000 puts (a hundred groups of a hundred nodes) per iteration, each
// iteration under a new root so that every put adds a node.
inline void RunTransactionsOf10000Puts(benchmark::State& state, IConfigStorage* storage)
{
    int round = 0;
    for (auto _ : state)
    {
        IConfigTransaction* transaction = nullptr;
        storage->CreateTransaction(&transaction);
        std::wstring base = L"\\Bench\\R" + std::to_wstring(round++) + L"\\G";
        for (int i = 0; i < 10000; ++i)
        {
            IVXNode* node = MakeNode(base + std::to_wstring(i / 100) + L"\\N" + std::to_wstring(i % 100), i);
            storage->PutNodes(transaction, 0, &node, 1);
            VxnCloseNodeHandle(node);
        }
        if (FAILED(storage->CommitTransaction(transaction)))
        {
            state.SkipWithError("commit failed");
        }
        transaction->Release();
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}

inline IVXNode* MakeQuery(const std::wstring& path)
{
    IVXNode* query = nullptr;
    VxnCreateNode(nullptr, L"FilterByPath", &query);
    SetText(query, L"NodePath", path);
    std::int64_t depth = VXN_DEPTH_ALL;
    VxnSetAttribute(query, L"MaxDepth", VXN_ATTR_INT64, &depth, sizeof(depth));
    return query;
}

// Notes when each callback arrives.
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

// From the start of a one-node PutNodes through writer (which commits at once) to the entry of
// a callback subscribed through watching; median and p99 as counters.
inline void MeasureCommitToCallback(benchmark::State& state, IConfigStorage* writer,
                                    IConfigSubscriptionService* watching)
{
    LatencyProbe probe;
    IVXNode* query = MakeQuery(L"\\Settings\\Common");
    IVXNode* request = nullptr;
    VxnCreateNode(L"SubscribeConfig", nullptr, &request);
    std::int64_t mask = 4;
    std::int64_t options = 3;
    VxnSetAttribute(request, L"ChangesMask", VXN_ATTR_INT64, &mask, sizeof(mask));
    VxnSetAttribute(request, L"SubscribeOptions", VXN_ATTR_INT64, &options, sizeof(options));
    IVXModifySubscription* subscription = nullptr;
    watching->Subscribe(query, request, &probe, &subscription);
    subscription->Start();

    std::vector<double> micros;
    std::uint64_t sent = 0;
    for (auto _ : state)
    {
        IVXNode* node = MakeNode(L"\\Settings\\Common", static_cast<std::int64_t>(sent));
        auto start = Clock::now();
        writer->PutNodes(nullptr, 0, &node, 1);
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
    watching->Unsubscribe(subscription);
    subscription->Release();
    VxnCloseNodeHandle(request);
    VxnCloseNodeHandle(query);
}
} // namespace ServerBenchmark
