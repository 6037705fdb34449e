// The etcd store on clusters the program starts: a 10,000-put transaction on one member, and
// commit-to-callback latency between two servers of a three-member cluster against within one.
#include "ServerBenchmarkSupport.h"
#include "Platform/ConfigServer/EtcdCluster.h"

#include <benchmark/benchmark.h>

namespace
{

using namespace ServerBenchmark;
using Server = ServerServices;

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
    RunTransactionsOf10000Puts(state, server.storage);
}
BENCHMARK(BM_EtcdTransactionOf10000Puts)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

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
    MeasureCommitToCallback(state, writer.storage, watching.subscriptions);
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
