#include "TesselTestSupport.h"

using namespace TestSupport;

TEST(TesselNode, PathsFollowHandlesParentsAndRenames)
{
    Vx root(L"Root");
    Vx child(L"Child");
    root.Add(child);
    child.Add(Vx(L"Leaf"));
    Vx duplicate;
    ASSERT_EQ(S_OK, VxnDuplicateNodeHandle(root.Get(), duplicate.Out()));
    root.Reset();
    EXPECT_EQ(L"\\Root\\Child", child.FullPath());

    // The last handle on the root goes: the child survives, detached, with its own subtree.
    duplicate.Reset();
    Vx parent;
    EXPECT_EQ(S_FALSE, VxnGetParent(child.Get(), parent.Out()));
    EXPECT_EQ(nullptr, parent.Get());
    Vx leaf = child.Child(L"Leaf");
    EXPECT_EQ(L"\\Child\\Leaf", leaf.FullPath());
    // A removed child stays usable while a handle exists.
    ASSERT_EQ(S_OK, VxnRemoveChildByIndex(child.Get(), 0));
    EXPECT_EQ(L"\\Leaf", leaf.FullPath());

    // An explicit path names a detached node and its descendants.
    Vx unnamed(nullptr);
    EXPECT_EQ(L"\\", unnamed.FullPath());
    Vx a(L"A");
    unnamed.Add(a);
    Vx node(L"X");
    node.Path(L"\\Cfg\\Settings");
    EXPECT_EQ(L"Settings", node.Name());
    Vx sub(L"Sub");
    node.Add(sub);
    ASSERT_EQ(S_OK, VxnSetNodeName(node.Get(), VXN_NAME_OWN, L"Other"));
    EXPECT_EQ(L"\\Cfg\\Other\\Sub", sub.FullPath());

    // Joining a parent drops the explicit path; kind 2 then only accepts what a rename can give.
    a.Add(node);
    EXPECT_EQ(L"\\A\\Other\\Sub", sub.FullPath());
    EXPECT_EQ(E_INVALIDARG, VxnSetNodeName(node.Get(), VXN_NAME_FULL_PATH, L"\\B\\Renamed"));
    node.Path(L"\\A\\Renamed");
    EXPECT_EQ(L"\\A\\Renamed\\Sub", sub.FullPath());

    std::wstring huge(40000, L'n');
    for (auto [kind, name] : {std::pair<std::uint32_t, std::wstring>{VXN_NAME_FULL_PATH, L"NoBackslash"},
                              {1, L"\\X"},
                              {VXN_NAME_OWN, huge}})
    {
        EXPECT_EQ(E_INVALIDARG, VxnSetNodeName(sub.Get(), kind, name.c_str())) << kind;
    }
    EXPECT_EQ(L"Sub", sub.Name());
}

TEST(TesselNode, AttributesFitTheirCodeAndReadsReportTheNeededSize)
{
    Vx node(L"Name", L"");
    const char bytes[17] = "x\0\0\0yyyyyyyyyyyy";
    struct Case
    {
        std::uint16_t code;
        std::uint64_t size;
        bool fits;
    } cases[] = {{0, 0, true},      {0, 1, false},     {1, 2, true},       {1, 5, false},
                 {2, 4, true},      {2, 3, false},     {2, 2, false},      {3, 4, true},
                 {3, 8, false},     {6, 8, true},      {6, 4, false},      {7, 1, true},
                 {13, 16, true},    {13, 15, false},   {0x102, 4, true},   {0x102, 3, false},
                 {0x102, 6, false}, {0x105, 16, true}, {0x105, 12, false}, {9, 5, true}};
    for (const Case& c : cases)
    {
        EXPECT_EQ(c.fits ? S_OK : E_INVALIDARG, VxnSetAttribute(node.Get(), L"v", c.code, bytes, c.size))
            << c.code << " " << c.size;
    }
    // A refused value leaves the previous one in place.
    EXPECT_EQ(std::string(bytes, 5), node.Bytes(L"v"));
    EXPECT_EQ(S_OK, VxnDeleteAttribute(node.Get(), L"v"));
    EXPECT_EQ(HR_NOT_FOUND, VxnDeleteAttribute(node.Get(), L"v"));
    EXPECT_EQ(S_OK, VxnSetAttribute(node.Get(), L"list", VXN_ATTR_STRING_ARRAY, nullptr, 0));
    EXPECT_EQ(E_POINTER, VxnSetAttribute(node.Get(), L"x", VXN_ATTR_INT64, nullptr, 8));
    EXPECT_EQ(E_INVALIDARG, VxnSetAttribute(node.Get(), L"", VXN_ATTR_EMPTY, nullptr, 0));
    EXPECT_EQ(E_INVALIDARG, VxnSetAttribute(node.Get(), L"big", 9, bytes, 1ull << 40));
    EXPECT_EQ(HR_NOT_FOUND, VxnGetAttribute(node.Get(), L"big", nullptr, nullptr, nullptr, nullptr));

    wchar_t buffer[32] = {};
    std::uint32_t length = 4;
    EXPECT_EQ(HR_INSUFFICIENT_BUFFER, VxnGetNodeName(node.Get(), VXN_NAME_OWN, buffer, &length));
    EXPECT_EQ(5u, length);
    EXPECT_EQ(S_OK, VxnGetNodeName(node.Get(), VXN_NAME_OWN, buffer, &length));
    EXPECT_STREQ(L"Name", buffer);
    length = 32;
    EXPECT_EQ(S_OK, VxnGetNodeType(node.Get(), buffer, &length));
    EXPECT_EQ(1u, length);

    node.I64(L"Int", -42).Str(L"Text", L"hello");
    std::int64_t value = 0;
    std::uint64_t size = 0;
    std::uint16_t type = 0;
    const std::uint16_t expected = VXN_ATTR_STRING;
    EXPECT_EQ(HR_INVALID_DATA, VxnGetAttribute(node.Get(), L"Int", &expected, &value, &size, &type));
    EXPECT_EQ(VXN_ATTR_INT64, type);
    EXPECT_EQ(8u, size);
    char small[4];
    size = sizeof small;
    EXPECT_EQ(HR_INSUFFICIENT_BUFFER, VxnGetAttribute(node.Get(), L"Text", &expected, small, &size, nullptr));
    EXPECT_EQ(12u, size);
    EXPECT_EQ(E_POINTER, VxnGetAttribute(node.Get(), L"Text", nullptr, small, nullptr, nullptr));

    // Replacing keeps the position; deleting frees the name.
    node.I64(L"Int", 7);
    EXPECT_EQ(7, node.GetI64(L"Int"));
    EXPECT_EQ(S_OK, VxnDeleteAttribute(node.Get(), L"list"));
    length = 32;
    ASSERT_EQ(S_OK, VxnGetAttributeNames(node.Get(), buffer, &length));
    EXPECT_EQ(std::wstring(L"Int\0Text", 8), std::wstring(buffer, length - 1));
}

TEST(TesselNode, ChildrenKeepOrderThroughMovesRemovalsAndClones)
{
    Vx root(L"Root", L"T");
    // Enough children for the name index, with duplicate names.
    for (int i = 0; i < 20; ++i)
    {
        root.Add(Vx(i % 5 == 0 ? L"dup" : std::to_wstring(i).c_str()).Str(L"i", std::wstring(1, L'a' + i)));
    }
    ASSERT_EQ(S_OK, VxnRemoveChildByIndex(root.Get(), 0));
    EXPECT_EQ(L"1", root.At(0).Name());
    EXPECT_EQ(HR_NOT_FOUND, VxnRemoveChildByIndex(root.Get(), 19));
    Vx missing;
    EXPECT_EQ(HR_NOT_FOUND, VxnGetChildByIndex(root.Get(), 19, missing.Out()));
    EXPECT_EQ(HR_NOT_FOUND, VxnGetChildByName(root.Get(), L"0", missing.Out()));

    // The first "dup" is gone; renaming a later child into the name must not make it the first found.
    ASSERT_EQ(S_OK, VxnSetNodeName(root.Child(L"19").Get(), VXN_NAME_OWN, L"dup"));
    EXPECT_EQ(L"f", root.Child(L"dup").GetStr(L"i"));
    ASSERT_EQ(S_OK, VxnSetNodeName(root.Child(L"1").Get(), VXN_NAME_OWN, L"dup"));
    EXPECT_EQ(L"b", root.Child(L"dup").GetStr(L"i"));

    // Adding an attached child moves it, also within the same parent.
    Vx other(L"Other");
    Vx moved = root.Child(L"2");
    other.Add(moved);
    EXPECT_EQ(18u, root.ChildCount());
    EXPECT_EQ(L"\\Other\\2", moved.FullPath());
    root.Add(root.Child(L"3"));
    EXPECT_EQ(L"3", root.At(root.ChildCount() - 1).Name());

    // A node cannot go under itself or its descendant.
    Vx deep(L"Deep");
    moved.Add(deep);
    EXPECT_EQ(E_INVALIDARG, VxnAddChild(deep.Get(), other.Get()));
    EXPECT_EQ(E_INVALIDARG, VxnAddChild(other.Get(), other.Get()));
    EXPECT_EQ(L"\\Other\\2\\Deep", deep.FullPath());

    // A clone copies to the depth, keeps the path and is independent of the source.
    Vx alone, one, all;
    ASSERT_EQ(S_OK, VxnCloneNode(moved.Get(), 0, 0, alone.Out()));
    ASSERT_EQ(S_OK, VxnCloneNode(other.Get(), 1, 0, one.Out()));
    ASSERT_EQ(S_OK, VxnCloneNode(other.Get(), VXN_DEPTH_ALL, 0, all.Out()));
    EXPECT_EQ(0u, alone.ChildCount());
    EXPECT_EQ(L"\\Other\\2", alone.FullPath());
    EXPECT_EQ(L"c", alone.GetStr(L"i"));
    EXPECT_EQ(0u, one.Child(L"2").ChildCount());
    EXPECT_EQ(L"\\Other\\2\\Deep", all.Child(L"2").Child(L"Deep").FullPath());
    all.Child(L"2").Str(L"i", L"changed");
    EXPECT_EQ(L"c", moved.GetStr(L"i"));
    EXPECT_EQ(E_INVALIDARG, VxnCloneNode(root.Get(), 0, 1, missing.Out()));
    EXPECT_EQ(nullptr, missing.Get());
}

TEST(TesselNode, NullAndOversizedArgumentsAreRefused)
{
    Vx node(L"N");
    IVXNode* out = reinterpret_cast<IVXNode*>(1);
    std::uint32_t length = 8;
    wchar_t buffer[8];
    std::wstring huge(40000, L'x');

    EXPECT_EQ(E_POINTER, VxnCreateNode(L"a", L"b", nullptr));
    EXPECT_EQ(E_INVALIDARG, VxnCreateNode(huge.c_str(), nullptr, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, VxnDuplicateNodeHandle(node.Get(), nullptr));
    EXPECT_EQ(E_POINTER, VxnCloseNodeHandle(nullptr));
    EXPECT_EQ(E_POINTER, VxnCloneNode(node.Get(), 0, 0, nullptr));
    EXPECT_EQ(E_POINTER, VxnGetNodeType(node.Get(), buffer, nullptr));
    EXPECT_EQ(E_POINTER, VxnGetAttributeNames(nullptr, buffer, &length));
    EXPECT_EQ(E_POINTER, VxnGetNodeName(node.Get(), 0, buffer, nullptr));
    EXPECT_EQ(E_INVALIDARG, VxnGetNodeName(node.Get(), 5, buffer, &length));
    EXPECT_EQ(E_POINTER, VxnSetNodeName(node.Get(), 0, nullptr));
    EXPECT_EQ(E_POINTER, VxnGetChildCount(node.Get(), nullptr));
    EXPECT_EQ(E_POINTER, VxnGetChildByIndex(node.Get(), 0, nullptr));
    EXPECT_EQ(E_POINTER, VxnGetChildByName(node.Get(), nullptr, &out));
    EXPECT_EQ(E_INVALIDARG, VxnGetChildByName(node.Get(), huge.c_str(), &out));
    EXPECT_EQ(E_POINTER, VxnGetParent(node.Get(), nullptr));
    EXPECT_EQ(E_POINTER, VxnAddChild(node.Get(), nullptr));
    EXPECT_EQ(E_POINTER, VxnRemoveChildByIndex(nullptr, 0));
    EXPECT_EQ(E_POINTER, VxnSetAttribute(node.Get(), nullptr, 0, nullptr, 0));
    EXPECT_EQ(E_INVALIDARG, VxnSetAttribute(node.Get(), huge.c_str(), 0, nullptr, 0));
    EXPECT_EQ(E_POINTER, VxnGetAttribute(node.Get(), nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, VxnGetAttribute(node.Get(), huge.c_str(), nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, VxnDeleteAttribute(node.Get(), nullptr));
    EXPECT_EQ(L"N", node.Name());
    EXPECT_EQ(0u, node.ChildCount());
}

TEST(TesselNode, WideAndDeepTreesNeedNoRescanOrRecursion)
{
    // Draining many children from the front keeps positions and the name index right.
    Vx root(L"Root");
    const int count = 20000;
    for (int i = 0; i < count; ++i)
    {
        root.Add(Vx(std::to_wstring(i).c_str()));
    }
    const std::wstring lastName = std::to_wstring(count - 1);
    for (int i = 0; i < count; ++i)
    {
        if (i % 997 == 0)
        {
            ASSERT_EQ(std::to_wstring(i), root.At(0).Name());
            ASSERT_EQ(L"\\Root\\" + lastName, root.Child(lastName.c_str()).FullPath());
        }
        ASSERT_EQ(S_OK, VxnRemoveChildByIndex(root.Get(), 0));
    }
    EXPECT_EQ(0u, root.ChildCount());

    // A deep chain is cloned, written, parsed and freed without recursion.
    Vx last;
    ASSERT_EQ(S_OK, VxnDuplicateNodeHandle(root.Get(), last.Out()));
    for (int i = 0; i < count; ++i)
    {
        Vx next(L"n");
        last.Add(next);
        last = std::move(next);
    }
    Vx copy;
    ASSERT_EQ(S_OK, VxnCloneNode(root.Get(), VXN_DEPTH_ALL, 0, copy.Out()));
    std::string text = Serialize({copy.Get()});
    EXPECT_LT(text.size(), static_cast<std::size_t>(count) * 200);
    Vx parsed = Parse(text);
    EXPECT_EQ(text, Serialize({parsed.Get()}));
    EXPECT_EQ(static_cast<std::size_t>(count) * 2 + 5, last.FullPath().size());
    // Closing the top handles frees the chains; the deepest node stays usable.
    root.Reset();
    copy.Reset();
    parsed.Reset();
    EXPECT_EQ(L"\\n", last.FullPath());
}
