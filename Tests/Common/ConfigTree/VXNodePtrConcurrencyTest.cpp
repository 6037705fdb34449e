#include "Common/ConfigTree/VXNodePtr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// Nodes are made on the test thread and handed to workers by move, the way server callbacks hand
// modification nodes to a background worker; each worker reads, changes and finally closes them.
TEST(VXNodePtrConcurrencyTest, HandlesMovedAcrossThreads)
{
    constexpr int kWorkers = 4;
    VXNodePtr root = VXNodePtr::Create(L"Root");
    std::vector<std::vector<VXNodePtr>> batches(kWorkers);
    for (int i = 0; i < 800; ++i)
    {
        VXNodePtr node = VXNodePtr::Create(std::to_wstring(i).c_str(), L"Item");
        node.SetStringAttribute(L"Text", std::wstring(200, static_cast<wchar_t>(L'a' + i % kWorkers)));
        root.AddChild(node);
        batches[i % kWorkers].push_back(std::move(node));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
    {
        workers.emplace_back(
            [w, batch = std::move(batches[w]), &mismatches]() mutable
            {
                for (VXNodePtr& node : batch)
                {
                    VXNodePtr mine = std::move(node);
                    VXNodePtr parent = mine.GetParent();
                    mismatches += mine.GetStringAttribute(L"Text") != std::wstring(200, L'a' + w) ||
                                  FindNodeByPath(parent, mine.GetName(), kFindNoClimb).GetType() != L"Item";
                    mine.SetInt64Attribute(L"Worker", w);
                }
            });
    }
    for (auto& worker : workers)
    {
        worker.join();
    }
    EXPECT_EQ(mismatches, 0);
    std::int64_t sum = 0;
    root.ForEachChild([&](VXNodePtr child) { sum += child.GetInt64Attribute(L"Worker"); });
    EXPECT_EQ(sum, 200 * (0 + 1 + 2 + 3));
}
