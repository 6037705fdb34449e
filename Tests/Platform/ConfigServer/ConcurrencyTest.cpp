// Several writers, readers and subscribers at once: every commit reaches every subscriber whose
// subtree it touched, in commit order.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace TestSupport;

namespace
{

constexpr int kWriters = 4;
constexpr int kCommitsPerWriter = 150;

std::vector<std::int64_t> Sequences(Recorder& recorder, std::uint32_t kind, const std::wstring& path)
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
    IConfigStorage* storage = server.storage;
    auto subscribe = [&](const std::wstring& path, std::int64_t options, Recorder& recorder)
    { return server.Subscribe(Query(path), CFG_CHANGE_ALL, options, recorder); };

    Recorder everything;
    Recorder writers[kWriters];
    Recorder firstImmediate;
    std::vector<IVXModifySubscription*> subscriptions{subscribe(L"\\", 11, everything),
                                                      subscribe(L"\\W0", 3, firstImmediate)};
    for (int w = 0; w < kWriters; ++w)
    {
        subscriptions.push_back(subscribe(L"\\W" + std::to_wstring(w), 11, writers[w]));
    }

    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w)
    {
        threads.emplace_back(
            [&, w]
            {
                for (int i = 0; i < kCommitsPerWriter; ++i)
                {
                    const std::wstring branch = L"\\W" + std::to_wstring(w);
                    Vx node = At(branch + L"\\N" + std::to_wstring(i % 10));
                    node.I64(L"i", i);
                    if (i % 3 == 0)
                    {
                        IConfigTransaction* transaction = nullptr;
                        ASSERT_EQ(S_OK, storage->CreateTransaction(&transaction));
                        ASSERT_EQ(S_OK, server.Put(node, transaction));
                        ASSERT_EQ(S_OK, server.Remove(branch + L"\\Gone", transaction));
                        ASSERT_EQ(S_OK, storage->CommitTransaction(transaction));
                        transaction->Release();
                    }
                    else
                    {
                        ASSERT_EQ(S_OK, server.Put(node));
                    }
                }
            });
    }
    // A reader, and a subscriber that comes and goes while the writers run.
    threads.emplace_back(
        [&]
        {
            while (!done)
            {
                server.Get(L"\\W1");
            }
        });
    Recorder transient;
    threads.emplace_back(
        [&]
        {
            while (!done)
            {
                IVXModifySubscription* subscription = subscribe(L"\\W2", 3, transient);
                std::this_thread::yield();
                server.Unsubscribe(subscription);
            }
        });
    for (int w = 0; w < kWriters; ++w)
    {
        threads[w].join();
    }
    done = true;
    for (std::size_t t = kWriters; t < threads.size(); ++t)
    {
        threads[t].join();
    }
    EXPECT_EQ(0u, transient.references);

    const std::size_t total = kWriters * kCommitsPerWriter;
    ASSERT_TRUE(everything.WaitFor(total));
    for (auto& recorder : writers)
    {
        ASSERT_TRUE(recorder.WaitFor(kCommitsPerWriter));
    }
    ASSERT_TRUE(firstImmediate.WaitFor(kCommitsPerWriter));

    std::vector<std::int64_t> all = Sequences(everything, CFG_TRIGGER_BATCH, L"\\");
    ASSERT_EQ(total, all.size());
    for (std::size_t i = 0; i < all.size(); ++i)
    {
        EXPECT_EQ(static_cast<std::int64_t>(i + 1), all[i]);
    }
    for (int w = 0; w < kWriters; ++w)
    {
        std::vector<std::int64_t> own = Sequences(writers[w], CFG_TRIGGER_BATCH, L"\\W" + std::to_wstring(w));
        EXPECT_EQ(static_cast<std::size_t>(kCommitsPerWriter), own.size());
        EXPECT_TRUE(std::is_sorted(own.begin(), own.end()));
    }
    std::vector<std::int64_t> immediate = Sequences(firstImmediate, CFG_TRIGGER_NODE, L"\\W0");
    EXPECT_EQ(static_cast<std::size_t>(kCommitsPerWriter), immediate.size());
    EXPECT_TRUE(std::is_sorted(immediate.begin(), immediate.end()));

    for (auto* subscription : subscriptions)
    {
        server.Unsubscribe(subscription);
    }
}

} // namespace
