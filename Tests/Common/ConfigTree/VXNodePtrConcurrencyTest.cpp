#include "Common/ConfigTree/VXNodePtr.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

// Nodes are made on the test thread and handed to workers by move, the way server callbacks hand
// modification nodes to a background worker; each worker reads, changes and finally closes them.
TEST(VXNodePtrConcurrencyTest, HandlesMovedAcrossThreads)
{
    constexpr int kWorkers = 4;
    constexpr int kNodesPerWorker = 200;
    VXNodePtr root = VXNodePtr::Create(L"Root");
    std::vector<std::vector<VXNodePtr>> batches(kWorkers);
    for (int w = 0; w < kWorkers; ++w)
    {
        for (int i = 0; i < kNodesPerWorker; ++i)
        {
            VXNodePtr node = VXNodePtr::Create(std::to_wstring(w * kNodesPerWorker + i).c_str(), L"Item");
            node.SetStringAttribute(L"Text", std::wstring(200, static_cast<wchar_t>(L'a' + w)));
            root.AddChild(node);
            batches[w].push_back(std::move(node));
        }
    }

    std::vector<std::thread> workers;
    std::vector<int> mismatches(kWorkers, 0);
    for (int w = 0; w < kWorkers; ++w)
    {
        workers.emplace_back(
            [w, batch = std::move(batches[w]), &mismatches]() mutable
            {
                const std::wstring expected(200, static_cast<wchar_t>(L'a' + w));
                for (VXNodePtr& node : batch)
                {
                    VXNodePtr mine = std::move(node);
                    VXNodePtr parent = mine.GetParent();
                    if (mine.GetStringAttribute(L"Text") != expected || parent.GetName() != L"Root" ||
                        FindNodeByPath(parent, mine.GetName(), kFindNoClimb).GetType() != L"Item")
                    {
                        ++mismatches[w];
                    }
                    mine.SetInt64Attribute(L"Worker", w);
                }
            });
    }
    for (auto& worker : workers)
    {
        worker.join();
    }
    for (int w = 0; w < kWorkers; ++w)
    {
        EXPECT_EQ(mismatches[w], 0) << w;
    }
    std::int64_t sum = 0;
    root.ForEachChild([&](VXNodePtr child) { sum += child.GetInt64Attribute(L"Worker"); });
    EXPECT_EQ(sum, kNodesPerWorker * (0 + 1 + 2 + 3));
}
