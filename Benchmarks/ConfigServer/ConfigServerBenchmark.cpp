// Throughput of large transactions, reads of large subtrees, and commit-to-callback latency.
#include "ServerBenchmarkSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using namespace ServerBenchmark;

// A temporary SQLite file, removed after the server that used it is gone.
struct TempStore
{
    explicit TempStore(bool sqlite)
    {
        if (sqlite)
        {
            file =
                std::filesystem::temp_directory_path() / ("cfgsrv-bench-" + std::to_string(getpid()) + ".db");
            Cleanup();
        }
    }
    ~TempStore() { Cleanup(); }
    std::wstring Location() const { return file.empty() ? std::wstring() : L"sqlite:" + file.wstring(); }
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
};

// The services go first, then the file.
struct Server : TempStore, ServerServices
{
    explicit Server(bool sqlite) : TempStore(sqlite), ServerServices(Location()) {}
};

void BM_TransactionOf10000Puts(benchmark::State& state)
{
    Server server(state.range(0) != 0);
    RunTransactionsOf10000Puts(state, server.storage);
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

// From the start of a one-node PutNodes (which commits at once) to the callback's entry.
void BM_CommitToCallbackLatency(benchmark::State& state)
{
    Server server(state.range(0) != 0);
    MeasureCommitToCallback(state, server.storage, server.subscriptions);
}
BENCHMARK(BM_CommitToCallbackLatency)->ArgName("sqlite")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
