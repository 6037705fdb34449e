// Container synchronisation cost against the in-memory configuration server. Debug logging is
// switched off so that the figures measure the synchronisation, not the log file.
#include "ProviderTestSupport.h"
#include "Platform/Core/System.h"

#include <benchmark/benchmark.h>

using namespace ProviderTestSupport;

namespace
{
void QuietLog()
{
    std::wstring warn = L"WARN";
    Platform::SetEnvironmentVariable(L"GS_Logger_MaxSeverity", &warn);
}

// count containers, each with a reporting settings child (two miscellaneous settings) and three
// audited systems.
VXNodePtr MakeContainers(std::int64_t count)
{
    VXNodePtr containers = VXNodePtr::Create(L"Containers");
    for (std::int64_t i = 0; i < count; ++i)
    {
        GUID id = NewGuid();
        VXNodePtr container = VXNodePtr::Create(FormatGuid(id, 0).c_str(), L"Container");
        container.SetStringAttribute(L"Name", L"Container " + std::to_wstring(i));
        VXNodePtr reporting = VXNodePtr::Create(L"ReportingSettings");
        reporting.SetBoolAttribute(L"Enabled", true);
        reporting.SetStringAttribute(L"Database", L"Audit_" + std::to_wstring(i));
        VXNodePtr misc = VXNodePtr::Create(L"MiscReportingSettings");
        for (int m = 0; m < 2; ++m)
        {
            VXNodePtr extra =
                VXNodePtr::Create((L"Extra" + std::to_wstring(m)).c_str(), L"ReportingSettings");
            extra.SetBoolAttribute(L"Enabled", true);
            extra.SetStringAttribute(L"SqlServerInstance", L"SQLARCH0" + std::to_wstring(m));
            extra.SetStringAttribute(L"DatabaseName", L"Archive_" + std::to_wstring(i));
            misc.AddChild(extra);
        }
        reporting.AddChild(misc);
        container.AddChild(reporting);
        VXNodePtr systems = VXNodePtr::Create(L"AuditedSystems");
        for (const wchar_t* kind : {L"FileServer", L"MailServer", L"Directory"})
        {
            VXNodePtr system = VXNodePtr::Create(kind, L"AuditedSystem");
            system.SetBoolAttribute(L"Enabled", true);
            systems.AddChild(system);
        }
        container.AddChild(systems);
        containers.AddChild(container);
    }
    return containers;
}

void BM_UpdateContainersFirst(benchmark::State& state)
{
    QuietLog();
    VXNodePtr containers = MakeContainers(state.range(0));
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
    VXNodePtr containers = MakeContainers(state.range(0));
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
    VXNodePtr containers = MakeContainers(state.range(0));
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
