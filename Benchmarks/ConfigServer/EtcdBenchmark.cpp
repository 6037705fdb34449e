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
