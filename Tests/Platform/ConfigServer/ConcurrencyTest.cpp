// Several writers, readers and subscribers at once: every commit reaches every subscriber whose
// subtree it touched, in commit order.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>

using namespace TestSupport;

namespace
{

constexpr int kWriters = 4;
constexpr int kCommitsPerWriter = 150;

std::wstring Branch(int writer)
{
    return L"\\W" + std::to_wstring(writer);
}

std::vector<std::int64_t> Sequences(Recorder& recorder, std::int32_t kind, const std::wstring& path)
{
    std::vector<std::int64_t> sequences;
    for (const Modification& modification : recorder.TakeAll(kind))
    {
        EXPECT_EQ(path, modification.path);
        sequences.push_back(modification.sequence);
    }
    return sequences;
}

TEST(ConfigServerConcurrency, WritersAndSubscribersLoseNoNotification)
{
    const Server server(L"memory:");
    ASSERT_EQ(S_OK, server.created);
    // The root's subscriber, one per writer's subtree, and last an immediate one on the first subtree.
    Recorder everything;
    Recorder perWriter[kWriters + 1];
    std::vector<IVXModifySubscription*> subscriptions{
        server.Subscribe(Query(L"\\"), CFG_CHANGE_ALL, CFG_SUBSCRIBE_ALL, everything)};
    for (int w = 0; w <= kWriters; ++w)
    {
        subscriptions.push_back(server.Subscribe(Query(Branch(w % kWriters)), CFG_CHANGE_ALL,
                                                 w < kWriters ? std::int64_t{CFG_SUBSCRIBE_ALL} : 3,
                                                 perWriter[w]));
    }

    Recorder transient;
    {
        // A reader, and a subscriber that comes and goes, run until the writers are done.
        std::jthread reader(
            [&](std::stop_token stop)
            {
                while (!stop.stop_requested())
                {
                    server.Get(L"\\W1");
                }
            });
        std::jthread churn(
            [&](std::stop_token stop)
            {
                while (!stop.stop_requested())
                {
                    IVXModifySubscription* subscription =
                        server.Subscribe(Query(Branch(2)), CFG_CHANGE_ALL, 3, transient);
                    std::this_thread::yield(); // lets a delivery race the removal
                    server.Unsubscribe(subscription);
                }
            });
        std::vector<std::jthread> writers;
        for (int w = 0; w < kWriters; ++w)
        {
            writers.emplace_back(
                [&, w]
                {
                    for (int i = 0; i < kCommitsPerWriter; ++i)
                    {
                        Vx node = At(Branch(w) + L"\\N" + std::to_wstring(i % 10));
                        node.I64(L"i", i);
                        ASSERT_EQ(S_OK, i % 3 != 0 ? server.Put(node)
                                                   : server.Transact(
                                                         [&](IConfigTransaction* t) {
                                                             return std::vector{
                                                                 server.Put(node, t),
                                                                 server.Remove(Branch(w) + L"\\Gone", t)};
                                                         }));
                    }
                });
        }
    }
    EXPECT_EQ(0u, transient.references);

    const std::size_t total = kWriters * kCommitsPerWriter;
    ASSERT_TRUE(everything.WaitFor(total));
    std::vector<std::int64_t> expected(total);
    std::iota(expected.begin(), expected.end(), 1); // every commit, in order
    EXPECT_EQ(expected, Sequences(everything, CFG_TRIGGER_BATCH, L"\\"));
    for (int w = 0; w <= kWriters; ++w)
    {
        ASSERT_TRUE(perWriter[w].WaitFor(kCommitsPerWriter));
        std::vector<std::int64_t> own = Sequences(
            perWriter[w], w < kWriters ? CFG_TRIGGER_BATCH : CFG_TRIGGER_NODE, Branch(w % kWriters));
        EXPECT_EQ(static_cast<std::size_t>(kCommitsPerWriter), own.size());
        EXPECT_TRUE(std::is_sorted(own.begin(), own.end()));
    }
    for (auto* subscription : subscriptions)
    {
        server.Unsubscribe(subscription);
    }
}

} // namespace
