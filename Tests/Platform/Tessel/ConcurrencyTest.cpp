#include "TesselTestSupport.h"

#include <atomic>
#include <thread>

using namespace TestSupport;

// Several threads read, change, move, clone and serialize nodes of one shared tree, while
// handles cross threads and subtrees get detached under readers.
TEST(TesselConcurrency, SharedTreeSurvivesMixedOperations)
{
    Vx root(L"Root");
    const int kBranches = 8;
    for (int i = 0; i < kBranches; ++i)
    {
        root.Add(Vx(std::to_wstring(i).c_str()));
    }
    std::atomic<IVXNode*> handOver{nullptr};
    std::atomic<int> failures{0};
    auto worker = [&](int seed)
    {
        for (int round = 0; round < 400; ++round)
        {
            std::wstring name = std::to_wstring((seed + round) % kBranches);
            IVXNode* branch = nullptr;
            if (VxnGetChildByName(root.Get(), name.c_str(), &branch) != S_OK)
            {
                ++failures;
                continue;
            }
            IVXNode* leaf = nullptr;
            VxnCreateNode(L"leaf", L"T", &leaf);
            std::int64_t value = round;
            VxnSetAttribute(leaf, L"v", VXN_ATTR_INT64, &value, 8);
            VxnAddChild(branch, leaf);
            std::uint64_t count = 0;
            VxnGetChildCount(branch, &count);
            if (count > 4)
            {
                VxnRemoveChildByIndex(branch, 0);
            }
            wchar_t path[64];
            std::uint32_t length = 64;
            if (VxnGetNodeName(leaf, VXN_NAME_FULL_PATH, path, &length) != S_OK)
            {
                ++failures;
            }
            IVXNode* parent = nullptr;
            if (SUCCEEDED(VxnGetParent(leaf, &parent)) && parent != nullptr)
            {
                VxnCloseNodeHandle(parent);
            }
            if (round % 16 == seed)
            {
                IVXNode* copy = nullptr;
                VxnCloneNode(root.Get(), VXN_DEPTH_ALL, 0, &copy);
                Serialize({copy, branch});
                VxnCloseNodeHandle(copy);
            }
            // Hand the leaf to whichever thread comes next; it closes the previous one.
            IVXNode* previous = handOver.exchange(leaf);
            if (previous != nullptr)
            {
                VxnSetAttribute(previous, L"v", VXN_ATTR_INT64, &value, 8);
                VxnCloseNodeHandle(previous);
            }
            VxnCloseNodeHandle(branch);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
    {
        threads.emplace_back(worker, i);
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    if (IVXNode* last = handOver.exchange(nullptr))
    {
        VxnCloseNodeHandle(last);
    }
    EXPECT_EQ(0, failures.load());
    std::string text = Serialize({root.Get()});
    EXPECT_EQ(text, Serialize({Parse(text).Get()}));
    EXPECT_EQ(static_cast<std::uint64_t>(kBranches), root.ChildCount());
}

// A parent's last handle goes on one thread while another thread climbs from its child.
TEST(TesselConcurrency, ParentReleasedWhileChildClimbs)
{
    std::atomic<IVXNode*> slot{nullptr};
    std::atomic<bool> done{false};
    std::thread climber(
        [&]
        {
            while (!done.load())
            {
                IVXNode* child = slot.exchange(nullptr);
                if (child == nullptr)
                {
                    continue;
                }
                IVXNode* parent = nullptr;
                if (VxnGetParent(child, &parent) == S_OK)
                {
                    wchar_t name[16];
                    std::uint32_t length = 16;
                    VxnGetNodeName(parent, VXN_NAME_OWN, name, &length);
                    VxnCloseNodeHandle(parent);
                }
                wchar_t path[32];
                std::uint32_t length = 32;
                EXPECT_EQ(S_OK, VxnGetNodeName(child, VXN_NAME_FULL_PATH, path, &length));
                VxnCloseNodeHandle(child);
            }
        });
    for (int i = 0; i < 2000; ++i)
    {
        IVXNode* parent = nullptr;
        IVXNode* child = nullptr;
        VxnCreateNode(L"P", nullptr, &parent);
        VxnCreateNode(L"C", nullptr, &child);
        VxnAddChild(parent, child);
        IVXNode* previous = slot.exchange(child);
        if (previous != nullptr)
        {
            VxnCloseNodeHandle(previous);
        }
        VxnCloseNodeHandle(parent);
    }
    done = true;
    climber.join();
    if (IVXNode* left = slot.exchange(nullptr))
    {
        VxnCloseNodeHandle(left);
    }
}
