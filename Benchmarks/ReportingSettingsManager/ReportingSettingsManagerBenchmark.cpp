// The manager on the in-memory configuration server seeded from the sample deployment, its
// containers replaced by generated ones: reads against a raw clone, change latency against the
// server's own delivery, a common settings change against the containers synchronisation alone,
// and resident memory per container. Logging is kept to warnings, so that the figures measure
// the manager rather than its log file.
#include "ConfigServer/ServerBenchmarkSupport.h"
#include "ProviderTestSupport.h"
#include "Common/ConfigTree/VXNodePtr.h"
#include "Common/ErrorHandling/HResult.h"
#include "ConfigServer.h"
#include "InterfacePtr.h"
#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsManager.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

using namespace ManagementService;
using Components::InterfacePtr;
using Clock = std::chrono::steady_clock;

namespace
{
std::uint64_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// The server registered as "ConfigServer.Proxy", seeded, with count generated containers.
struct Deployment
{
    InterfacePtr<IConfigServerProxy> proxy;
    InterfacePtr<IConfigServer> server;
    InterfacePtr<IConfigStorage> storage;

    explicit Deployment(std::int64_t containers)
    {
        ProviderTestSupport::QuietLog();
        HRX hr;
        hr = ConfigServerStart(L"memory:", proxy.Out());
        std::wstring file = Platform::FromUtf8(RSM_SAMPLES_DIR "/ReportingDeployment.xml");
        hr = ConfigServerImportFile(proxy.Get(), file.c_str());
        hr = proxy->GetConfigServer(server.Out());
        hr = server->GetService(&IID_IConfigStorage, storage.OutVoid());
        VXNodePtr query = MakePathQuery(L"\\Containers");
        hr = storage->RemoveNodes(nullptr, query.Get());
        Put(ProviderTestSupport::MakeContainers(containers, 0, 2));
    }
    ~Deployment()
    {
        storage.Reset();
        server.Reset();
        proxy.Reset();
        ConfigServerStop();
    }
    void Put(const VXNodePtr& node) const
    {
        IVXNode* nodes[] = {node.Get()};
        HRX hr;
        hr = storage->PutNodes(nullptr, 0, nodes, 1);
    }
    VXNodePtr Read(const std::wstring& path) const { return QueryNodeByPath(storage.Get(), path, true); }
    VXNodePtr Config() const
    {
        VXNodePtr config = Read(L"\\ManagementService\\ReportingSettingsManager").Clone();
        config.SetInt64Attribute(L"NotifyIntervalSec", 1);
        config.SetInt64Attribute(L"SubscriptorsNotifyIntervalSec", 0);
        return config;
    }
};

struct Manager
{
    InterfacePtr<IReportingSettingsManager> manager;

    explicit Manager(const VXNodePtr& config)
    {
        HRX hr;
        hr = CReportingSettingsManagerObject::CreateInstance(&IID_IReportingSettingsManager,
                                                             manager.OutVoid());
        InterfacePtr<IConfigurableComponent> configurable;
        hr = manager->QueryInterface(&IID_IConfigurableComponent, configurable.OutVoid());
        hr = configurable->Configure(config.Get());
    }
    ~Manager()
    {
        InterfacePtr<IComponentShutdown> shutdown;
        manager->QueryInterface(&IID_IComponentShutdown, shutdown.OutVoid());
        shutdown->Shutdown();
    }
};

// Records when an item of the awaited type arrives; wakes a waiter.
class TimingSubscriber final : public IReportingSettingsSubscriber
{
public:
    std::uint32_t AddRef() override { return 2; }
    std::uint32_t Release() override { return 1; }
    HRESULT QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }
    HRESULT OnReportingSettingsChanged(std::uint32_t type, std::uint32_t, IVXNode*) override
    {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard lock(m_lock);
            if (type == m_awaited)
            {
                m_arrived = now;
                m_done = true;
            }
        }
        m_wake.notify_all();
        return S_OK;
    }
    void Expect(std::uint32_t type)
    {
        std::lock_guard lock(m_lock);
        m_awaited = type;
        m_done = false;
    }
    Clock::time_point Wait()
    {
        std::unique_lock lock(m_lock);
        m_wake.wait(lock, [this] { return m_done; });
        return m_arrived;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::uint32_t m_awaited = 0;
    bool m_done = false;
    Clock::time_point m_arrived;
};

// A subscriber's subscription to one type for the length of a benchmark; made once its first
// item (the current settings) has arrived.
class Subscribed
{
public:
    Subscribed(IReportingSettingsManager* manager, std::uint32_t type, TimingSubscriber& subscriber)
        : m_manager(manager)
    {
        HRX hr;
        hr = manager->CreateReportingSettingsSubscription(type, &subscriber, m_cookie.OutParam());
        subscriber.Expect(type);
        subscriber.Wait();
    }
    ~Subscribed() { m_manager->RemoveReportingSettingsSubscription(m_cookie.Get()); }
    Subscribed(const Subscribed&) = delete;
    Subscribed& operator=(const Subscribed&) = delete;

private:
    IReportingSettingsManager* m_manager;
    VXNodePtr m_cookie;
};

double Percentile(std::vector<double> samples, double q)
{
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
}

// AcquireConnectionSettings of the containers type, and (second argument 1) the baseline: a raw
// clone of the same "ConnectionSettingsContainer", with the same process state around both.
void BM_ContainersSettingsRead(benchmark::State& state)
{
    Deployment d(state.range(0));
    Manager m(d.Config());
    IVXNode* cached = nullptr;
    m.manager->AcquireConnectionSettings(Containers, &cached);
    const bool raw = state.range(1) != 0;
    for (auto _ : state)
    {
        IVXNode* result = nullptr;
        if (raw)
        {
            VxnCloneNode(cached, kDepthAll, 0, &result);
        }
        else
        {
            m.manager->AcquireConnectionSettings(Containers, &result);
        }
        VxnCloseNodeHandle(result);
    }
    VxnCloseNodeHandle(cached);
    state.SetLabel(raw ? "raw VxnCloneNode" : "AcquireConnectionSettings");
}

// A Quorl settings commit until the subscriber hears of it, and until a bare callback on the same
// path with the same mask and options hears of it, from the same commit.
void BM_QuorlCommitToSubscriber(benchmark::State& state)
{
    Deployment d(10);
    Manager m(d.Config());
    TimingSubscriber subscriber;
    Subscribed subscribed(m.manager.Get(), Quorl, subscriber);

    ServerBenchmark::LatencyProbe callback;
    HRX hr;
    InterfacePtr<IConfigSubscriptionService> service;
    hr = d.server->GetService(&IID_IConfigSubscriptionService, service.OutVoid());
    VXNodePtr query = MakePathQuery(L"\\Settings\\Products\\Quorl");
    VXNodePtr request = VXNodePtr::Create(L"SubscribeConfig");
    request.SetInt64Attribute(L"ChangesMask", 31);
    request.SetInt64Attribute(L"SubscribeOptions", 3);
    InterfacePtr<IVXModifySubscription> raw;
    hr = service->Subscribe(query.Get(), request.Get(), &callback, raw.Out());
    hr = raw->Start();

    VXNodePtr quorl = d.Read(L"\\Settings\\Products\\Quorl");
    std::vector<double> manager;
    std::vector<double> server;
    int n = 0;
    for (auto _ : state)
    {
        quorl.SetStringAttribute(L"DatabaseName", L"Audit_Quorl_" + std::to_wstring(++n));
        subscriber.Expect(Quorl);
        const Clock::time_point start = Clock::now();
        d.Put(quorl);
        const Clock::time_point heard = subscriber.Wait();
        const Clock::time_point triggered = callback.WaitFor(static_cast<std::uint64_t>(n));
        const double us = std::chrono::duration<double, std::micro>(heard - start).count();
        manager.push_back(us);
        server.push_back(std::chrono::duration<double, std::micro>(triggered - start).count());
        state.SetIterationTime(us / 1e6);
    }
    hr = service->Unsubscribe(raw.Get());
    state.counters["manager_median_us"] = Percentile(manager, 0.5);
    state.counters["manager_p99_us"] = Percentile(manager, 0.99);
    state.counters["server_median_us"] = Percentile(server, 0.5);
    state.counters["server_p99_us"] = Percentile(server, 0.99);
}

// An enabled common settings change: distribution to every product area and the containers
// resynchronised, from the commit until the last item it queues (the last product area).
void BM_CommonChangeWithContainers(benchmark::State& state)
{
    Deployment d(state.range(0));
    Manager m(d.Config());
    TimingSubscriber subscriber;
    Subscribed subscribed(m.manager.Get(), Orvane, subscriber);
    VXNodePtr common = d.Read(L"\\Settings\\Reporting\\Common");
    int n = 0;
    for (auto _ : state)
    {
        common.SetStringAttribute(L"SqlServerInstance", (++n % 2) != 0 ? L"SQLA\\AUDIT" : L"SQLB\\AUDIT");
        subscriber.Expect(Orvane);
        const Clock::time_point start = Clock::now();
        d.Put(common);
        const Clock::time_point heard = subscriber.Wait();
        state.SetIterationTime(std::chrono::duration<double>(heard - start).count());
    }
}

// The baseline: the same containers synchronised by a provider of their own, the common
// settings alternating the same way (so that every container is rewritten each time). With
// state.range(1) set, each timed iteration also makes the second call the change handler makes
// with the same inputs (inside its forced rebuild of the containers type), so that the handler's
// own cost beyond its two synchronisations shows.
void BM_UpdateContainersSettingsAlone(benchmark::State& state)
{
    ProviderTestSupport::QuietLog();
    ProviderTestSupport::SampleDeployment d;
    CProductsSettingsProvider& provider = *d.provider;
    const std::shared_ptr<const CConnectionParamsMapping>& mapping = d.mapping;
    VXNodePtr containers = ProviderTestSupport::MakeContainers(state.range(0), 0, 2);
    VXNodePtr stored = d.Read(L"\\Settings\\Reporting\\Common");
    const bool twice = state.range(1) != 0;
    int n = 0;
    for (auto _ : state)
    {
        VXNodePtr common = VXNodePtr::Create(nullptr, L"CreateSessionRequest");
        stored.SetStringAttribute(L"SqlServerInstance", (++n % 2) != 0 ? L"SQLA\\AUDIT" : L"SQLB\\AUDIT");
        mapping->ConvertConfigServerAttributes(stored, common);
        const Clock::time_point start = Clock::now();
        provider.UpdateContainersSettings(common, containers, true);
        if (twice)
        {
            provider.UpdateContainersSettings(common, containers, true);
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}

// Resident bytes a configured manager adds per container (its caches, the provider's records and
// the history the first synchronisation writes into the in-process store).
void BM_ResidentBytesPerContainer(benchmark::State& state)
{
    for (auto _ : state)
    {
        Deployment d(state.range(0));
        const std::uint64_t before = ResidentBytes();
        Manager m(d.Config());
        const std::uint64_t after = ResidentBytes();
        state.counters["bytes_per_container"] =
            static_cast<double>(after - before) / static_cast<double>(state.range(0));
    }
}
} // namespace

BENCHMARK(BM_ContainersSettingsRead)
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QuorlCommitToSubscriber)->Iterations(500)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommonChangeWithContainers)
    ->Arg(10000)
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateContainersSettingsAlone)
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResidentBytesPerContainer)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
