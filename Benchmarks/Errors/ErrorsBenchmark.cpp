#include "Common/ErrorHandling/ErrorMessages.h"
#include "Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "Common/SubsystemHelpers/ConfigSubscriptionHelpers/ModifyEnumFakes.h"

#include <benchmark/benchmark.h>

namespace CfgSubscriptionsHelpers
{
class CConfigSubscriptionsSinkProbe
{
public:
    static void Publish(IConfigModifyCallback* sink)
    {
        static_cast<CConfigSubscriptionsSink*>(sink)->IntPublishModifications();
    }
};
} // namespace CfgSubscriptionsHelpers

namespace
{
using CfgSubscriptionsHelpers::CConfigSubscriptionsSink;
using Components::InterfacePtr;

std::vector<VXNodePtr> MakeNodes(std::size_t count)
{
    std::vector<VXNodePtr> nodes;
    for (std::size_t i = 0; i < count; ++i)
    {
        nodes.push_back(Fakes::MakeModificationNode(L"\\Cfg\\Area" + std::to_wstring(i % 10), 4));
    }
    return nodes;
}

void NoOp(const GUID&, std::vector<TNodeModification>&& records)
{
    benchmark::DoNotOptimize(records.data());
}

// A batch of 1,000 modifications arriving on the server's thread: read and queued, nothing else.
void BM_OnTriggeredBatch1000(benchmark::State& state)
{
    InterfacePtr<IVXNodeModifyEnum> batch(new Fakes::ModifyEnum(MakeNodes(1000)), true);
    InterfacePtr<IVXModifySubscription> subscription(new Fakes::Subscription(GUID{1, 2, 3, {4}}), true);
    for (auto _ : state)
    {
        state.PauseTiming();
        auto sink = CConfigSubscriptionsSink::Create(std::uint64_t{3600}, NoOp);
        state.ResumeTiming();
        benchmark::DoNotOptimize(sink->OnTriggered(subscription.Get(), 0, batch.Get()));
        state.PauseTiming();
        sink.Reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_OnTriggeredBatch1000)->Unit(benchmark::kMicrosecond);

// The publisher handing 1,000 pending records of 10 subscriptions to the owner.
void BM_Publish1000Pending(benchmark::State& state)
{
    std::vector<InterfacePtr<IVXNodeModifyEnum>> batches;
    std::vector<InterfacePtr<IVXModifySubscription>> subscriptions;
    for (std::uint32_t s = 0; s < 10; ++s)
    {
        batches.emplace_back(new Fakes::ModifyEnum(MakeNodes(100)), true);
        subscriptions.emplace_back(new Fakes::Subscription(GUID{s * 7919u, 0, 0, {}}), true);
    }
    auto sink = CConfigSubscriptionsSink::Create(std::uint64_t{3600}, NoOp);
    for (auto _ : state)
    {
        state.PauseTiming();
        for (std::size_t s = 0; s < batches.size(); ++s)
        {
            sink->OnTriggered(subscriptions[s].Get(), 0, batches[s].Get());
        }
        state.ResumeTiming();
        CfgSubscriptionsHelpers::CConfigSubscriptionsSinkProbe::Publish(sink.Get());
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_Publish1000Pending)->Unit(benchmark::kMicrosecond);

void BM_MessageTextCached(benchmark::State& state)
{
    benchmark::DoNotOptimize(ErrorHandling::MessageText(HR_RSM_ERROR_1));
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(ErrorHandling::MessageText(HR_RSM_ERROR_1));
    }
}
BENCHMARK(BM_MessageTextCached);
} // namespace

BENCHMARK_MAIN();
