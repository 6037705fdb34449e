#include "Common/ConfigTree/AttributeOperations.h"
#include "Common/ConfigTree/NodeCompare.h"
#include "Common/ErrorHandling/HResult.h"

#include <gtest/gtest.h>

namespace
{
constexpr std::uint32_t kByNameAnyOrder = kCompareIdentityByName | kCompareChildrenAnyOrder;

VXNodePtr Leaf(const wchar_t* name, const wchar_t* value)
{
    VXNodePtr node = VXNodePtr::Create(name);
    node.SetStringAttribute(L"Value", value);
    return node;
}

VXNodePtr Tree(bool reversed)
{
    VXNodePtr root = VXNodePtr::Create(L"Root", L"T");
    root.SetStringAttribute(L"A", L"1");
    root.SetInt64Attribute(L"B", 2);
    root.AddChild(reversed ? Leaf(L"Y", L"y") : Leaf(L"X", L"x"));
    root.AddChild(reversed ? Leaf(L"X", L"x") : Leaf(L"Y", L"y"));
    return root;
}
} // namespace

TEST(NodeCompareTest, AttributesInAnyOrderExtraOnesCaseAndTypeCodes)
{
    VXNodePtr a = VXNodePtr::Create(L"N");
    a.SetStringAttribute(L"P", L"p");
    a.SetBoolAttribute(L"Q", true);
    VXNodePtr b = VXNodePtr::Create(L"N");
    b.SetBoolAttribute(L"Q", true);
    b.SetStringAttribute(L"P", L"p");
    EXPECT_TRUE(NodesEqual(a, b, 0));

    b.SetStringAttribute(L"Extra", L"e");
    EXPECT_FALSE(NodesEqual(a, b, 0));
    EXPECT_FALSE(NodesEqual(b, a, 0));
    EXPECT_TRUE(NodesEqual(a, b, kCompareSkipAttributes));

    // "#" attributes on one side only matter unless flag 64 is set.
    b.DeleteAttribute(L"Extra", true);
    b.SetStringAttribute(L"#Stamp", L"now");
    EXPECT_FALSE(NodesEqual(a, b, 0));
    EXPECT_TRUE(NodesEqual(a, b, kCompareSkipHashAttributes));

    // Strings compare by case unless told otherwise.
    a.SetStringAttribute(L"S", L"Server01");
    b.SetStringAttribute(L"S", L"SERVER01");
    EXPECT_FALSE(AttributeEqual(L"S", a, b, 0));
    EXPECT_TRUE(AttributeEqual(L"S", a, b, kCompareStringsIgnoreCase));

    // Equal bytes under another code are a difference, and a string never meets a non-string as text.
    std::int32_t four = 4;
    a.SetAttribute(L"V", 3, &four, 4);
    std::uint8_t bytes[4] = {4, 0, 0, 0};
    b.SetAttribute(L"V", 19, bytes, 4);
    EXPECT_FALSE(AttributeEqual(L"V", a, b, kCompareStringsIgnoreCase));
    EXPECT_TRUE(AttributeEqual(L"Missing", a, b, 0));
    EXPECT_FALSE(AttributeEqual(L"S", a, VXNodePtr::Create(), 0));
}

TEST(NodeCompareTest, ChildrenOrderIdentityAndPairing)
{
    VXNodePtr a = Tree(false);
    VXNodePtr b = Tree(true);
    EXPECT_TRUE(NodesEqual(a, b, kByNameAnyOrder));
    EXPECT_FALSE(NodesEqual(a, b, kCompareIdentityByName));
    EXPECT_FALSE(
        NodesEqual(a, b, kCompareIdentityByName | kCompareChildrenAnyOrder | kComparePairChildrenByIndex));
    EXPECT_TRUE(NodesEqual(a, b, kCompareIdentityByName | kCompareSkipChildren));

    // Identity: the name with flag 2, the full path without; flag 1 skips it.
    VXNodePtr other = Tree(false);
    other.SetName(kNameOwn, L"Other");
    EXPECT_FALSE(NodesEqual(a, other, kByNameAnyOrder));
    EXPECT_TRUE(NodesEqual(a, other, kByNameAnyOrder | kCompareSkipIdentity));
    VXNodePtr parent = VXNodePtr::Create(L"P");
    VXNodePtr placed = Tree(false);
    parent.AddChild(placed);
    EXPECT_TRUE(NodesEqual(a, placed, kByNameAnyOrder));
    EXPECT_FALSE(NodesEqual(a, placed, kCompareChildrenAnyOrder));

    // A child's content difference deep down is found.
    b.GetChild(std::wstring(L"X"), true).SetStringAttribute(L"Value", L"changed");
    EXPECT_FALSE(NodesEqual(a, b, kByNameAnyOrder));

    // Two siblings of one name: in fixed order the partner by name must stand at the same index.
    VXNodePtr dupA = VXNodePtr::Create(L"D");
    dupA.AddChild(Leaf(L"S", L"1"));
    dupA.AddChild(Leaf(L"S", L"1"));
    VXNodePtr dupB = dupA.Clone();
    EXPECT_FALSE(NodesEqual(dupA, dupB, kCompareIdentityByName));
    EXPECT_TRUE(NodesEqual(dupA, dupB, kCompareIdentityByName | kComparePairChildrenByIndex));
}

TEST(NodeCompareTest, ReplaceNodeContent)
{
    VXNodePtr source = Tree(false);
    VXNodePtr destination = VXNodePtr::Create(L"Kept", L"KeptType");
    destination.SetStringAttribute(L"Old", L"gone");
    destination.AddChild(Leaf(L"OldChild", L"gone"));
    ReplaceNodeContent(source, destination);
    EXPECT_EQ(destination.GetName(), L"Kept");
    EXPECT_EQ(destination.GetType(), L"KeptType");
    EXPECT_TRUE(NodesEqual(source, destination, kByNameAnyOrder | kCompareSkipIdentity));
    // The children are copies: changing the source afterwards leaves the destination alone.
    source.GetChild(std::wstring(L"X"), true).SetStringAttribute(L"Value", L"later");
    EXPECT_EQ(destination.GetChild(std::wstring(L"X"), true).GetStringAttribute(L"Value"), L"x");

    VXNodePtr same = source;
    ReplaceNodeContent(source, same);
    EXPECT_EQ(source.GetChildCount(), 2u);
    EXPECT_THROW(ReplaceNodeContent(VXNodePtr(), destination), HRX);
    EXPECT_THROW(ReplaceNodeContent(source, VXNodePtr()), HRX);
    // A comparison that cannot read a node raises rather than answering "different".
    EXPECT_THROW(NodesEqual(VXNodePtr(), source, kCompareSkipIdentity), HRX);
    EXPECT_THROW(ChildrenEqual(source, VXNodePtr(), 0), HRX);
}

TEST(AttributeOperationsTest, RawReadsCopiesAndLists)
{
    VXNodePtr a = VXNodePtr::Create();
    std::wstring longText(300, L'x');
    a.SetStringAttribute(L"Long", longText);
    std::vector<std::uint8_t> buffer;
    std::uint16_t type = 0;
    ASSERT_TRUE(ReadRawAttribute(L"Long", a, buffer, type));
    EXPECT_EQ(type, 2);
    EXPECT_EQ(buffer.size(), (longText.size() + 1) * 2);
    EXPECT_FALSE(ReadRawAttribute(L"None", a, buffer, type));
    EXPECT_THROW(ReadRawAttribute(L"None", a), HRX);

    VXNodePtr b = VXNodePtr::Create();
    bool changed = false;
    CopyAttribute(L"Long", a, L"Renamed", b, buffer, &changed, true);
    EXPECT_TRUE(changed);
    CopyAttribute(L"Long", a, L"Renamed", b, buffer, &changed, true);
    EXPECT_FALSE(changed);
    changed = true;
    CopyAttribute(L"None", a, L"Renamed", b, buffer, &changed, false);
    EXPECT_TRUE(changed); // untouched when the source lacks it
    EXPECT_THROW(CopyAttribute(L"None", a, b, buffer, nullptr, true), HRX);

    // Same bytes, other code: a change.
    std::int64_t eight = 8;
    a.SetInt64Attribute(L"N", eight);
    b.SetAttribute(L"N", 0x105, &eight, 8);
    CopyAttribute(L"N", a, b, buffer, &changed, true);
    EXPECT_TRUE(changed);

    std::vector<std::wstring> list;
    std::u16string raw(u"one\0\0three\0", 11);
    a.SetAttribute(L"List", 0x102, raw.data(), raw.size() * 2);
    ASSERT_TRUE(GetStringListAttribute(a, L"List", list));
    EXPECT_EQ(list, (std::vector<std::wstring>{L"one", L"", L"three"}));
    EXPECT_FALSE(GetStringListAttribute(a, L"Nope", list));
    a.SetAttribute(L"Empty", 0x102, nullptr, 0);
    ASSERT_TRUE(GetStringListAttribute(a, L"Empty", list));
    EXPECT_TRUE(list.empty());
    EXPECT_THROW(GetStringListAttribute(VXNodePtr(), L"List", list), HRX);
}
