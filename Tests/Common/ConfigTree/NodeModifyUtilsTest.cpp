#include "Common/ConfigTree/NodeModifyUtils.h"
#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Common/SubsystemHelpers/ConfigSubscriptionHelpers/ModifyEnumFakes.h"

#include <gtest/gtest.h>

using namespace NodeModifyUtils;

using Fakes::Enum;
using TestSupport::CodeOf;

TEST(NodeModifyUtilsTest, RecordsCarryPathLowMaskAndChild)
{
    VXNodePtr full = Fakes::MakeModificationNode(L"\\A\\B", (std::int64_t{1} << 32) | 4);
    TNodeModification record = MakeNodeModification(full);
    EXPECT_EQ(record.ModifiedNodePath, L"\\A\\B");
    EXPECT_EQ(record.ChangesMask, 4u);
    ASSERT_TRUE(record.ModifiedNode);
    EXPECT_EQ(record.ModifiedNode.GetStringAttribute(L"Path"), L"\\A\\B");

    TNodeModification childless = MakeNodeModification(Fakes::MakeModificationNode(L"\\C", -1, false).Get());
    EXPECT_EQ(childless.ChangesMask, 0xFFFFFFFFu);
    EXPECT_FALSE(childless.ModifiedNode);

    EXPECT_EQ(CodeOf([] { MakeNodeModification(VXNodePtr()); }), E_POINTER);
    VXNodePtr noMask = VXNodePtr::Create(L"M");
    noMask.SetStringAttribute(L"ModifiedNodePath", L"\\X");
    EXPECT_EQ(CodeOf([&] { MakeNodeModification(noMask); }), HR_NOT_FOUND);
}

TEST(NodeModifyUtilsTest, EnumerationsYieldRecordsInOrderUntilNextStops)
{
    EXPECT_TRUE(GetModifications(Enum({}).Get()).empty());

    std::vector<VXNodePtr> two = {Fakes::MakeModificationNode(L"\\1", 1),
                                  Fakes::MakeModificationNode(L"\\2", 2)};
    for (HRESULT end : {S_FALSE, E_FAIL, HR_NOT_FOUND})
    {
        auto records = GetModifications(Enum(two, end).Get());
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].ModifiedNodePath, L"\\1");
        EXPECT_EQ(records[1].ModifiedNodePath, L"\\2");
    }

    // A record without a mask fails the whole call after the good ones went to the action.
    std::vector<std::wstring> seen;
    VXNodePtr broken = VXNodePtr::Create(L"M");
    broken.SetStringAttribute(L"ModifiedNodePath", L"\\bad");
    auto mixed = Enum({two[0], broken, two[1]});
    auto collect = [&](TNodeModification&& r) { seen.push_back(r.ModifiedNodePath); };
    EXPECT_EQ(CodeOf([&] { ForEachModification(mixed.Get(), collect); }), HR_NOT_FOUND);
    EXPECT_EQ(seen, std::vector<std::wstring>{L"\\1"});
    EXPECT_EQ(CodeOf([&] { GetModifications(mixed.Get()); }), HR_NOT_FOUND);

    // A failing action stops the enumeration with its failure.
    auto refuse = [&](TNodeModification&& r)
    {
        seen.push_back(r.ModifiedNodePath);
        RaiseHResult(E_ABORT);
    };
    EXPECT_EQ(CodeOf([&] { ForEachModification(Enum(two).Get(), refuse); }), E_ABORT);
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"\\1", L"\\1"}));

    EXPECT_EQ(CodeOf([] { GetModifications(nullptr); }), E_POINTER);
    EXPECT_EQ(CodeOf([] { GetModifications(Enum({}, S_FALSE, E_ACCESSDENIED).Get()); }), E_ACCESSDENIED);
}
