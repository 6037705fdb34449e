#include "TesselTestSupport.h"

#include <atomic>
#include <thread>

using namespace TestSupport;

namespace
{
// Hands a handle on the node (none when empty) to the slot and takes out the one it held.
Vx Exchange(std::atomic<IVXNode*>& slot, const Vx& node = {})
{
    IVXNode* handed = nullptr;
    if (node)
    {
        EXPECT_EQ(S_OK, VxnDuplicateNodeHandle(node.Get(), &handed));
    }
    Vx previous;
    *previous.Out() = slot.exchange(handed);
    return previous;
}
} // namespace

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
    auto worker = [&](int seed)
    {
        for (int round = 0; round < 400; ++round)
        {
            Vx branch = root.Child(std::to_wstring((seed + round) % kBranches).c_str());
            Vx leaf(L"leaf", L"T");
            branch.Add(leaf.I64(L"v", round));
            if (branch.ChildCount() > 4)
            {
                VxnRemoveChildByIndex(branch.Get(), 0);
            }
            EXPECT_FALSE(leaf.FullPath().empty());
            Vx parent;
            VxnGetParent(leaf.Get(), parent.Out());
            if (round % 16 == seed)
            {
                Vx copy;
                VxnCloneNode(root.Get(), VXN_DEPTH_ALL, 0, copy.Out());
                Serialize({copy.Get(), branch.Get()});
            }
            // Whichever thread comes next changes the leaf and closes the handle.
            Vx previous = Exchange(handOver, leaf);
            if (previous)
            {
                previous.I64(L"v", round);
            }
        }
    };
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < 4; ++i)
        {
            threads.emplace_back(worker, i);
        }
    }
    Exchange(handOver);
    std::string text = Serialize({root.Get()});
    EXPECT_EQ(text, Serialize({Parse(text).Get()}));
    EXPECT_EQ(static_cast<std::uint64_t>(kBranches), root.ChildCount());
}

// A parent's last handle goes on one thread while another thread climbs from its child.
TEST(TesselConcurrency, ParentReleasedWhileChildClimbs)
{
    std::atomic<IVXNode*> slot{nullptr};
    {
        std::jthread climber(
            [&](std::stop_token stop)
            {
                while (!stop.stop_requested())
                {
                    Vx child = Exchange(slot);
                    Vx parent;
                    if (child && VxnGetParent(child.Get(), parent.Out()) == S_OK)
                    {
                        EXPECT_EQ(L"P", parent.Name());
                    }
                    EXPECT_TRUE(!child || child.FullPath().size() > 1);
                }
            });
        for (int i = 0; i < 2000; ++i)
        {
            Vx parent(L"P");
            Vx child(L"C");
            parent.Add(child);
            Exchange(slot, child);
        }
    }
    Exchange(slot);
}
