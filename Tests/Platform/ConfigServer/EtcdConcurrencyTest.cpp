// Two servers on a three-member cluster committing from several threads: one history for all.
#include "EtcdCluster.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace
{

struct Seen
{
    std::int64_t sequence;
    std::int64_t mask;
    std::int64_t shared; // "\Shared" "v" as of the commit
    bool operator==(const Seen&) const = default;
};

std::vector<Seen> History(Recorder& recorder)
{
    std::vector<Seen> seen;
    for (const Modification& modification : recorder.TakeAll(CFG_TRIGGER_NODE))
    {
        seen.push_back({modification.sequence, modification.mask,
                        modification.node ? modification.node.GetI64(L"v") : -1});
    }
    return seen;
}

TEST(EtcdStoreConcurrency, TwoServersCommittingFromSeveralThreadsShareOneHistory)
{
    EtcdCluster cluster(3);
    ASSERT_TRUE(cluster.ready);
    const std::wstring location = cluster.Location(EtcdCluster::UniquePrefix());
    Server a(location);
    Server b(location);
    ASSERT_EQ(S_OK, a.created);
    ASSERT_EQ(S_OK, b.created);
    Recorder onA;
    Recorder onB;
    IVXModifySubscription* subscriptionA = a.Subscribe(Query(L"\\Shared"), CFG_CHANGE_ALL, 3, onA);
    IVXModifySubscription* subscriptionB = b.Subscribe(Query(L"\\Shared"), CFG_CHANGE_ALL, 3, onB);

    constexpr int kThreadsPerServer = 2;
    constexpr int kCommits = 12;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2 * kThreadsPerServer; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                const Server& server = t % 2 == 0 ? a : b;
                for (int i = 0; i < kCommits; ++i)
                {
                    IConfigTransaction* transaction = nullptr;
                    if (FAILED(server.storage->CreateTransaction(&transaction)))
                    {
                        ++failed;
                        continue;
                    }
                    const std::wstring mine = L"\\Shared\\T" + std::to_wstring(t);
                    bool ok = SUCCEEDED(server.Put(At(L"\\Shared").I64(L"v", t * 100 + i), transaction)) &&
                              SUCCEEDED(server.Put(At(mine + L"\\N" + std::to_wstring(i)), transaction)) &&
                              SUCCEEDED(server.storage->CommitTransaction(transaction));
                    failed += ok ? 0 : 1;
                    transaction->Release();
                }
            });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(0, failed.load());
    constexpr std::size_t kTotal = 2 * kThreadsPerServer * kCommits;
    ASSERT_TRUE(onA.WaitFor(kTotal));
    ASSERT_TRUE(onB.WaitFor(kTotal));
    EXPECT_EQ(a.Export(), b.Export());
    const std::vector<Seen> historyA = History(onA);
    const std::vector<Seen> historyB = History(onB);
    EXPECT_EQ(historyA, historyB);
    ASSERT_EQ(kTotal, historyA.size());
    for (std::size_t i = 0; i < historyA.size(); ++i)
    {
        EXPECT_EQ(static_cast<std::int64_t>(i + 1), historyA[i].sequence);
    }
    a.Unsubscribe(subscriptionA);
    b.Unsubscribe(subscriptionB);
}

} // namespace
