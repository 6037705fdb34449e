// Two servers on a three-member cluster committing from several threads: one history for all.
#include "EtcdCluster.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <array>

using namespace TestSupport;

namespace
{

// Sequence, changes and "\Shared" "v" as of the commit, of each modification delivered.
std::vector<std::array<std::int64_t, 3>> History(Recorder& recorder)
{
    std::vector<std::array<std::int64_t, 3>> seen;
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
    // The recorders outlive the servers, whose deliveries may still be running when a check fails.
    Recorder onA;
    Recorder onB;
    Server a(location);
    Server b(location);
    ASSERT_EQ(S_OK, a.created);
    ASSERT_EQ(S_OK, b.created);
    IVXModifySubscription* subscriptionA = a.Subscribe(Query(L"\\Shared"), CFG_CHANGE_ALL, 3, onA);
    IVXModifySubscription* subscriptionB = b.Subscribe(Query(L"\\Shared"), CFG_CHANGE_ALL, 3, onB);

    constexpr int kThreads = 4; // half on each server
    constexpr int kCommits = 12;
    std::atomic<int> failed{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t)
        {
            threads.emplace_back(
                [&, t]
                {
                    const Server& server = t % 2 == 0 ? a : b;
                    for (int i = 0; i < kCommits; ++i)
                    {
                        const std::wstring mine =
                            L"\\Shared\\T" + std::to_wstring(t) + L"\\N" + std::to_wstring(i);
                        failed += FAILED(server.Transact(
                            [&](IConfigTransaction* tx) {
                                return std::vector{server.Put(At(L"\\Shared").I64(L"v", t * 100 + i), tx),
                                                   server.Put(At(mine), tx)};
                            }));
                    }
                });
        }
    }
    EXPECT_EQ(0, failed.load());
    constexpr std::size_t kTotal = kThreads * kCommits;
    ASSERT_TRUE(onA.WaitFor(kTotal));
    ASSERT_TRUE(onB.WaitFor(kTotal));
    EXPECT_EQ(a.Export(), b.Export());
    const auto history = History(onA);
    EXPECT_EQ(history, History(onB));
    ASSERT_EQ(kTotal, history.size());
    for (std::size_t i = 0; i < history.size(); ++i)
    {
        EXPECT_EQ(static_cast<std::int64_t>(i + 1), history[i][0]);
    }
    a.Unsubscribe(subscriptionA);
    b.Unsubscribe(subscriptionB);
}

} // namespace
