// The server's child table against a plain ordered list: lookups, order, removals through the
// index, compaction, and the reload of children that arrive out of order.
#include "Platform/ConfigServer/Tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

using namespace ConfigServer;

namespace
{
NodeP Named(const std::wstring& name, std::uint64_t order = 0)
{
    auto node = std::make_shared<Node>();
    node->name = name;
    node->order = order;
    return node;
}

std::vector<std::wstring> Names(const ChildTable& table)
{
    std::vector<std::wstring> names;
    table.ForEach([&](const Node& child) { names.push_back(child.name); });
    return names;
}

TEST(ChildTableTest, MatchesAnOrderedListThroughGrowthRemovalAndCompaction)
{
    std::mt19937 random(7);
    ChildTable table;
    std::vector<std::wstring> model;
    for (int step = 0; step < 20000; ++step)
    {
        // Few enough names that removals, re-adds and misses all happen often; the table crosses
        // the size where its index starts and ends again and again.
        const std::wstring name = L"N" + std::to_wstring(random() % (step < 10000 ? 400 : 12));
        const auto inModel = std::find(model.begin(), model.end(), name);
        const std::size_t slot = table.Locate(name);
        ASSERT_EQ(inModel != model.end(), slot != ChildTable::npos) << step;
        if (slot == ChildTable::npos)
        {
            table.Append(Named(name));
            model.push_back(name);
        }
        else
        {
            ASSERT_EQ(name, table.At(slot)->name);
            table.Erase(slot);
            model.erase(inModel);
        }
        ASSERT_EQ(model.size(), table.Size());
        if (step % 997 == 0)
        {
            ASSERT_EQ(model, Names(table)) << step;
        }
    }
    EXPECT_EQ(model, Names(table));

    // A child appended after removals comes last and gets an order key above every earlier one.
    std::uint64_t highest = 0;
    table.ForEach([&](const Node& child) { highest = std::max(highest, child.order); });
    table.Append(Named(L"Last"));
    EXPECT_EQ(L"Last", Names(table).back());
    EXPECT_GT(table.At(table.Locate(L"Last"))->order, highest);
}

TEST(ChildTableTest, ReloadRestoresTheOrderKeys)
{
    for (std::size_t count : {3u, 100u})
    {
        std::vector<std::size_t> keys(count);
        std::iota(keys.begin(), keys.end(), 0);
        std::shuffle(keys.begin(), keys.end(), std::mt19937(11));
        ChildTable table;
        for (std::size_t key : keys)
        {
            table.Load(Named(L"C" + std::to_wstring(key), key * 3)); // gaps left by removals
        }
        table.Restore();
        const std::vector<std::wstring> names = Names(table);
        ASSERT_EQ(count, names.size());
        for (std::size_t i = 0; i < count; ++i)
        {
            EXPECT_EQ(L"C" + std::to_wstring(i), names[i]);
            EXPECT_EQ(i * 3, table.At(table.Locate(names[i]))->order);
        }
        table.Append(Named(L"New"));
        EXPECT_EQ((count - 1) * 3 + 1, table.At(table.Locate(L"New"))->order);
    }
}
} // namespace
