// Container synchronisation cost against the in-memory configuration server. Debug logging is
// switched off so that the figures measure the synchronisation, not the log file.
#include "ProviderTestSupport.h"

#include <benchmark/benchmark.h>

using namespace ProviderTestSupport;

namespace
{
void BM_UpdateContainersFirst(benchmark::State& state)
{
    QuietLog();
    VXNodePtr containers = MakeContainers(state.range(0), 2, 3);
    {
        // One untimed update of the same size first, so that every size is measured in a warm
        // process (heap grown, pages mapped), as the small sizes are after their first iterations
        // anyway. Without it the largest size would mostly measure the first touch of its memory.
        SampleDeployment warm;
        warm.provider->UpdateContainersSettings(warm.CommonConnectionSettings(), containers, true);
    }
    for (auto _ : state)
    {
        state.PauseTiming();
        auto d = std::make_unique<SampleDeployment>();
        VXNodePtr common = d->CommonConnectionSettings();
        state.ResumeTiming();
        d->provider->UpdateContainersSettings(common, containers, true);
        state.PauseTiming();
        d.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_UpdateContainersUnchanged(benchmark::State& state)
{
    QuietLog();
    VXNodePtr containers = MakeContainers(state.range(0), 2, 3);
    SampleDeployment d;
    VXNodePtr common = d.CommonConnectionSettings();
    d.provider->UpdateContainersSettings(common, containers, true);
    for (auto _ : state)
    {
        d.provider->UpdateContainersSettings(common, containers, true);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_AccumulateAllTypes(benchmark::State& state)
{
    QuietLog();
    VXNodePtr containers = MakeContainers(state.range(0), 2, 3);
    SampleDeployment d;
    d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), containers, true);
    for (ReportingSettingsType type : {Quorl, Pentrel, Dorv, Tavrin, Lumic, Skellan, Orvane})
    {
        d.provider->UpdateConnectionSettings(type, SampleDeployment::Wrapper(true), true);
    }
    for (auto _ : state)
    {
        VXNodePtr all = d.provider->AccumulateProductsSettings(0x1FF);
        benchmark::DoNotOptimize(all.Get());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
} // namespace

// Enough iterations at the small sizes that their figures are those of a warm process.
BENCHMARK(BM_UpdateContainersFirst)->Arg(1000)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateContainersFirst)->Arg(10000)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateContainersFirst)->Arg(100000)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateContainersUnchanged)->Arg(1000)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateContainersUnchanged)->Arg(10000)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateContainersUnchanged)->Arg(100000)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AccumulateAllTypes)->Arg(10000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
