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

std::vector<std::int64_t> Sequences(Recorder& recorder, std::uint32_t expectedKind, const std::wstring& path)
{
    std::vector<std::int64_t> sequences;
    for (const auto& delivery : recorder.Take())
    {
        EXPECT_EQ(expectedKind, delivery.kind);
        if (expectedKind == CFG_TRIGGER_NODE)
        {
            EXPECT_EQ(1u, delivery.modifications.size());
        }
        for (const auto& modification : delivery.modifications)
        {
            EXPECT_EQ(path, modification.path);
            sequences.push_back(modification.sequence);
        }
    }
    return sequences;
}

TEST(ConfigServerConcurrency, WritersAndSubscribersLoseNoNotification)
{
    Server server(L"memory:");
    ASSERT_EQ(S_OK, server.created);
    IConfigStorage* storage = server.storage;
    IConfigSubscriptionService* service = server.subscriptions;
    auto subscribe = [&](const std::wstring& path, std::int64_t options, Recorder& recorder)
    {
        IVXModifySubscription* subscription = nullptr;
        EXPECT_EQ(S_OK, service->Subscribe(Query(path).Get(), Request(CFG_CHANGE_ALL, options).Get(),
                                           &recorder, &subscription));
        EXPECT_EQ(S_OK, subscription->Start());
        return subscription;
    };

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
                    Vx node(nullptr);
                    node.Path(L"\\W" + std::to_wstring(w) + L"\\N" + std::to_wstring(i % 10)).I64(L"i", i);
                    IVXNode* nodes[] = {node.Get()};
                    if (i % 3 == 0)
                    {
                        IConfigTransaction* transaction = nullptr;
                        ASSERT_EQ(S_OK, storage->CreateTransaction(&transaction));
                        ASSERT_EQ(S_OK, storage->PutNodes(transaction, 0, nodes, 1));
                        ASSERT_EQ(S_OK,
                                  storage->RemoveNodes(transaction,
                                                       Query(L"\\W" + std::to_wstring(w) + L"\\Gone").Get()));
                        ASSERT_EQ(S_OK, storage->CommitTransaction(transaction));
                        transaction->Release();
                    }
                    else
                    {
                        ASSERT_EQ(S_OK, storage->PutNodes(nullptr, 0, nodes, 1));
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
                Vx result;
                std::uint64_t found = 0;
                EXPECT_EQ(S_OK, storage->QueryNodes(Query(L"\\W1").Get(), 0, result.Out(), 1, &found));
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
                EXPECT_EQ(S_OK, service->Unsubscribe(subscription));
                subscription->Release();
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
    EXPECT_EQ(0u, transient.References());

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
        EXPECT_EQ(S_OK, service->Unsubscribe(subscription));
        subscription->Release();
    }
}

} // namespace
