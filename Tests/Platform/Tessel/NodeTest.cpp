#include "TesselTestSupport.h"

#include <cstring>

namespace
{
std::uint64_t ChildCount(IVXNode* node)
{
    std::uint64_t count = 0;
    EXPECT_EQ(S_OK, VxnGetChildCount(node, &count));
    return count;
}

std::vector<std::wstring> ChildNames(IVXNode* node)
{
    std::vector<std::wstring> names;
    for (std::uint64_t i = 0, n = ChildCount(node); i < n; ++i)
    {
        Handle child;
        EXPECT_EQ(S_OK, VxnGetChildByIndex(node, i, child.Out()));
        names.push_back(Name(child.Get()));
    }
    return names;
}
} // namespace

TEST(TesselNode, HandlesKeepNodesAliveAcrossTreeChanges)
{
    Handle root = NewNode(L"Root");
    Handle child = NewNode(L"Child");
    ASSERT_EQ(S_OK, VxnAddChild(root.Get(), child.Get()));
    Handle grandChild = NewNode(L"Leaf");
    ASSERT_EQ(S_OK, VxnAddChild(child.Get(), grandChild.Get()));
    grandChild.Reset();

    Handle duplicate;
    ASSERT_EQ(S_OK, VxnDuplicateNodeHandle(root.Get(), duplicate.Out()));
    root.Reset();
    EXPECT_EQ(L"\\Root\\Child", Path(child.Get()));

    // The last handle on the root goes: the child survives, detached, with its own subtree.
    duplicate.Reset();
    Handle parent;
    EXPECT_EQ(S_FALSE, VxnGetParent(child.Get(), parent.Out()));
    EXPECT_EQ(nullptr, parent.Get());
    EXPECT_EQ(L"\\Child", Path(child.Get()));
    EXPECT_EQ(L"\\Child\\Leaf", Path(Child(child.Get(), L"Leaf").Get()));

    // A removed child stays usable while a handle exists.
    Handle leaf = Child(child.Get(), L"Leaf");
    ASSERT_EQ(S_OK, VxnRemoveChildByIndex(child.Get(), 0));
    EXPECT_EQ(0u, ChildCount(child.Get()));
    EXPECT_EQ(L"\\Leaf", Path(leaf.Get()));
    EXPECT_EQ(S_FALSE, VxnGetParent(leaf.Get(), parent.Out()));
}

TEST(TesselNode, FullPathsOfDetachedAndAttachedNodes)
{
    Handle unnamed = NewNode(nullptr);
    EXPECT_EQ(L"\\", Path(unnamed.Get()));
    Handle a = NewNode(L"A");
    ASSERT_EQ(S_OK, VxnAddChild(unnamed.Get(), a.Get()));
    EXPECT_EQ(L"\\A", Path(a.Get()));

    Handle node = NewNode(L"X");
    ASSERT_EQ(S_OK, VxnSetNodeName(node.Get(), VXN_NAME_FULL_PATH, L"\\Cfg\\Settings"));
    EXPECT_EQ(L"Settings", Name(node.Get()));
    Handle sub = NewNode(L"Sub");
    ASSERT_EQ(S_OK, VxnAddChild(node.Get(), sub.Get()));
    EXPECT_EQ(L"\\Cfg\\Settings\\Sub", Path(sub.Get()));
    ASSERT_EQ(S_OK, VxnSetNodeName(node.Get(), VXN_NAME_OWN, L"Other"));
    EXPECT_EQ(L"\\Cfg\\Other\\Sub", Path(sub.Get()));

    // Joining a parent drops the explicit path; kind 2 then only accepts what a rename can give.
    ASSERT_EQ(S_OK, VxnAddChild(a.Get(), node.Get()));
    EXPECT_EQ(L"\\A\\Other\\Sub", Path(sub.Get()));
    EXPECT_EQ(E_INVALIDARG, VxnSetNodeName(node.Get(), VXN_NAME_FULL_PATH, L"\\B\\Renamed"));
    EXPECT_EQ(L"Other", Name(node.Get()));
    ASSERT_EQ(S_OK, VxnSetNodeName(node.Get(), VXN_NAME_FULL_PATH, L"\\A\\Renamed"));
    EXPECT_EQ(L"\\A\\Renamed\\Sub", Path(sub.Get()));

    EXPECT_EQ(E_INVALIDARG, VxnSetNodeName(sub.Get(), VXN_NAME_FULL_PATH, L"NoBackslash"));
    EXPECT_EQ(E_INVALIDARG, VxnSetNodeName(sub.Get(), 1, L"\\X"));
    std::wstring huge(40000, L'n');
    EXPECT_EQ(E_INVALIDARG, VxnSetNodeName(sub.Get(), VXN_NAME_OWN, huge.c_str()));
    EXPECT_EQ(E_INVALIDARG, VxnSetNodeName(sub.Get(), VXN_NAME_FULL_PATH, (L"\\" + huge).c_str()));
    EXPECT_EQ(L"Sub", Name(sub.Get()));
}

TEST(TesselNode, TextReadsReportTheNeededLength)
{
    Handle node = NewNode(L"Name", L"");
    std::uint32_t length = 0;
    EXPECT_EQ(HR_INSUFFICIENT_BUFFER, VxnGetNodeName(node.Get(), VXN_NAME_OWN, nullptr, &length));
    EXPECT_EQ(5u, length);
    wchar_t buffer[8] = {};
    length = 4;
    EXPECT_EQ(HR_INSUFFICIENT_BUFFER, VxnGetNodeName(node.Get(), VXN_NAME_OWN, buffer, &length));
    EXPECT_EQ(5u, length);
    EXPECT_EQ(S_OK, VxnGetNodeName(node.Get(), VXN_NAME_OWN, buffer, &length));
    EXPECT_STREQ(L"Name", buffer);
    length = 8;
    EXPECT_EQ(S_OK, VxnGetNodeType(node.Get(), buffer, &length));
    EXPECT_EQ(1u, length);

    length = 8;
    EXPECT_EQ(S_OK, VxnGetAttributeNames(node.Get(), buffer, &length));
    EXPECT_EQ(1u, length);
    SetText(node.Get(), L"ab", u"1");
    SetText(node.Get(), L"c", u"2");
    length = 8;
    ASSERT_EQ(S_OK, VxnGetAttributeNames(node.Get(), buffer, &length));
    EXPECT_EQ(std::wstring(L"ab\0c", 4), std::wstring(buffer, length - 1));
}

TEST(TesselNode, AttributeValuesMustFitTheirCode)
{
    Handle node = NewNode(L"N");
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
    EXPECT_EQ(std::string(bytes, 5), Bytes(node.Get(), L"v"));
    EXPECT_EQ(S_OK, VxnSetAttribute(node.Get(), L"list", VXN_ATTR_STRING_ARRAY, nullptr, 0));
    EXPECT_EQ(S_OK, VxnSetAttribute(node.Get(), L"ids", VXN_ATTR_INT64_ARRAY, nullptr, 0));
    EXPECT_EQ(E_POINTER, VxnSetAttribute(node.Get(), L"x", VXN_ATTR_INT64, nullptr, 8));
    EXPECT_EQ(E_INVALIDARG, VxnSetAttribute(node.Get(), L"", VXN_ATTR_EMPTY, nullptr, 0));
    EXPECT_EQ(E_INVALIDARG, VxnSetAttribute(node.Get(), L"big", 9, bytes, 1ull << 40));
    EXPECT_EQ(HR_NOT_FOUND, VxnGetAttribute(node.Get(), L"big", nullptr, nullptr, nullptr, nullptr));
}

TEST(TesselNode, AttributeReadsFollowTheSizeProtocol)
{
    Handle node = NewNode(L"N");
    std::int64_t value = -42;
    ASSERT_EQ(S_OK, VxnSetAttribute(node.Get(), L"Int", VXN_ATTR_INT64, &value, 8));
    SetText(node.Get(), L"Text", u"hello");

    std::uint64_t size = 0;
    std::uint16_t type = 0;
    const std::uint16_t expected = VXN_ATTR_STRING;
    EXPECT_EQ(HR_INVALID_DATA, VxnGetAttribute(node.Get(), L"Int", &expected, &value, &size, &type));
    EXPECT_EQ(VXN_ATTR_INT64, type);
    EXPECT_EQ(8u, size);
    EXPECT_EQ(S_OK, VxnGetAttribute(node.Get(), L"Text", &expected, nullptr, &size, nullptr));
    EXPECT_EQ(12u, size);
    char small[4];
    size = sizeof small;
    EXPECT_EQ(HR_INSUFFICIENT_BUFFER, VxnGetAttribute(node.Get(), L"Text", nullptr, small, &size, nullptr));
    EXPECT_EQ(12u, size);
    EXPECT_EQ(E_POINTER, VxnGetAttribute(node.Get(), L"Text", nullptr, small, nullptr, nullptr));
    EXPECT_EQ(HR_NOT_FOUND, VxnGetAttribute(node.Get(), L"Missing", nullptr, nullptr, &size, nullptr));

    // Replacing keeps the position; deleting frees the name.
    std::int64_t other = 7;
    ASSERT_EQ(S_OK, VxnSetAttribute(node.Get(), L"Int", VXN_ATTR_INT64, &other, 8));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&other), 8), Bytes(node.Get(), L"Int", &type));
    wchar_t names[32];
    std::uint32_t length = 32;
    ASSERT_EQ(S_OK, VxnGetAttributeNames(node.Get(), names, &length));
    EXPECT_EQ(std::wstring(L"Int\0Text", 8), std::wstring(names, length - 1));
    EXPECT_EQ(S_OK, VxnDeleteAttribute(node.Get(), L"Int"));
    EXPECT_EQ(HR_NOT_FOUND, VxnDeleteAttribute(node.Get(), L"Int"));
    length = 32;
    ASSERT_EQ(S_OK, VxnGetAttributeNames(node.Get(), names, &length));
    EXPECT_EQ(L"Text", std::wstring(names, length - 1));
}

TEST(TesselNode, ChildrenKeepOrderThroughMovesAndRemovals)
{
    Handle root = NewNode(L"Root");
    // Enough children for the name index, with duplicate names.
    for (int i = 0; i < 20; ++i)
    {
        Handle child = NewNode(i % 5 == 0 ? L"dup" : std::to_wstring(i).c_str());
        SetText(child.Get(), L"i", std::u16string(1, char16_t(u'a' + i)));
        ASSERT_EQ(S_OK, VxnAddChild(root.Get(), child.Get()));
    }
    EXPECT_EQ(std::string("a\0\0\0", 4), Bytes(Child(root.Get(), L"dup").Get(), L"i"));
    ASSERT_EQ(S_OK, VxnRemoveChildByIndex(root.Get(), 0));
    EXPECT_EQ(std::string("f\0\0\0", 4), Bytes(Child(root.Get(), L"dup").Get(), L"i"));
    EXPECT_EQ(L"1", ChildNames(root.Get())[0]);
    EXPECT_EQ(HR_NOT_FOUND, VxnRemoveChildByIndex(root.Get(), 19));
    Handle missing;
    EXPECT_EQ(HR_NOT_FOUND, VxnGetChildByIndex(root.Get(), 19, missing.Out()));
    EXPECT_EQ(HR_NOT_FOUND, VxnGetChildByName(root.Get(), L"0", missing.Out()));

    // Renaming a later child into a duplicate name must not make it the first one found.
    ASSERT_EQ(S_OK, VxnSetNodeName(Child(root.Get(), L"19").Get(), VXN_NAME_OWN, L"dup"));
    EXPECT_EQ(std::string("f\0\0\0", 4), Bytes(Child(root.Get(), L"dup").Get(), L"i"));
    ASSERT_EQ(S_OK, VxnSetNodeName(Child(root.Get(), L"1").Get(), VXN_NAME_OWN, L"dup"));
    EXPECT_EQ(std::string("b\0\0\0", 4), Bytes(Child(root.Get(), L"dup").Get(), L"i"));

    // Adding an attached child moves it, also within the same parent.
    Handle other = NewNode(L"Other");
    Handle moved = Child(root.Get(), L"2");
    ASSERT_EQ(S_OK, VxnAddChild(other.Get(), moved.Get()));
    EXPECT_EQ(18u, ChildCount(root.Get()));
    EXPECT_EQ(L"\\Other\\2", Path(moved.Get()));
    ASSERT_EQ(S_OK, VxnAddChild(root.Get(), Child(root.Get(), L"3").Get()));
    EXPECT_EQ(L"3", ChildNames(root.Get()).back());

    // A node cannot go under itself or its descendant.
    Handle deep = NewNode(L"Deep");
    ASSERT_EQ(S_OK, VxnAddChild(moved.Get(), deep.Get()));
    EXPECT_EQ(E_INVALIDARG, VxnAddChild(deep.Get(), other.Get()));
    EXPECT_EQ(E_INVALIDARG, VxnAddChild(other.Get(), other.Get()));
    EXPECT_EQ(L"\\Other\\2\\Deep", Path(deep.Get()));
}

TEST(TesselNode, DrainingManyChildrenFromTheFront)
{
    Handle root = NewNode(L"Root");
    const int count = 20000;
    for (int i = 0; i < count; ++i)
    {
        Handle child = NewNode(std::to_wstring(i).c_str());
        ASSERT_EQ(S_OK, VxnAddChild(root.Get(), child.Get()));
    }
    for (int i = 0; i < count; ++i)
    {
        if (i % 997 == 0)
        {
            ASSERT_EQ(std::to_wstring(i), ChildNames(root.Get()).front());
            ASSERT_EQ(L"\\Root\\" + std::to_wstring(count - 1),
                      Path(Child(root.Get(), std::to_wstring(count - 1).c_str()).Get()));
        }
        ASSERT_EQ(S_OK, VxnRemoveChildByIndex(root.Get(), 0));
    }
    EXPECT_EQ(0u, ChildCount(root.Get()));
}

TEST(TesselNode, CloneCopiesToTheDepthAndKeepsThePath)
{
    Handle root = NewNode(L"Root", L"T");
    Handle a = NewNode(L"A");
    Handle b = NewNode(L"B");
    ASSERT_EQ(S_OK, VxnAddChild(root.Get(), a.Get()));
    ASSERT_EQ(S_OK, VxnAddChild(a.Get(), b.Get()));
    SetText(a.Get(), L"s", u"v");

    Handle alone, one, all;
    ASSERT_EQ(S_OK, VxnCloneNode(a.Get(), 0, 0, alone.Out()));
    ASSERT_EQ(S_OK, VxnCloneNode(root.Get(), 1, 0, one.Out()));
    ASSERT_EQ(S_OK, VxnCloneNode(root.Get(), VXN_DEPTH_ALL, 0, all.Out()));
    EXPECT_EQ(0u, ChildCount(alone.Get()));
    EXPECT_EQ(L"\\Root\\A", Path(alone.Get()));
    EXPECT_EQ(std::string("v\0\0\0", 4), Bytes(alone.Get(), L"s"));
    EXPECT_EQ(0u, ChildCount(Child(one.Get(), L"A").Get()));
    EXPECT_EQ(L"\\Root\\A\\B", Path(Child(Child(all.Get(), L"A").Get(), L"B").Get()));

    // The copy is independent of the source.
    SetText(Child(all.Get(), L"A").Get(), L"s", u"changed");
    EXPECT_EQ(std::string("v\0\0\0", 4), Bytes(a.Get(), L"s"));
    Handle unused;
    EXPECT_EQ(E_INVALIDARG, VxnCloneNode(root.Get(), 0, 1, unused.Out()));
    EXPECT_EQ(nullptr, unused.Get());
}

TEST(TesselNode, NullAndOversizedArgumentsAreRefused)
{
    Handle node = NewNode(L"N");
    IVXNode* out = reinterpret_cast<IVXNode*>(1);
    std::uint32_t length = 8;
    std::uint64_t count = 0;
    wchar_t buffer[8];
    std::wstring huge(40000, L'x');

    EXPECT_EQ(E_POINTER, VxnCreateNode(L"a", L"b", nullptr));
    EXPECT_EQ(E_INVALIDARG, VxnCreateNode(huge.c_str(), nullptr, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_INVALIDARG, VxnCreateNode(nullptr, huge.c_str(), &out));
    EXPECT_EQ(E_POINTER, VxnDuplicateNodeHandle(nullptr, &out));
    EXPECT_EQ(E_POINTER, VxnDuplicateNodeHandle(node.Get(), nullptr));
    EXPECT_EQ(E_POINTER, VxnCloseNodeHandle(nullptr));
    EXPECT_EQ(E_POINTER, VxnCloneNode(nullptr, 0, 0, &out));
    EXPECT_EQ(E_POINTER, VxnCloneNode(node.Get(), 0, 0, nullptr));
    EXPECT_EQ(E_POINTER, VxnGetNodeType(nullptr, buffer, &length));
    EXPECT_EQ(E_POINTER, VxnGetNodeType(node.Get(), buffer, nullptr));
    EXPECT_EQ(E_POINTER, VxnGetAttributeNames(nullptr, buffer, &length));
    EXPECT_EQ(E_POINTER, VxnGetNodeName(node.Get(), 0, buffer, nullptr));
    EXPECT_EQ(E_INVALIDARG, VxnGetNodeName(node.Get(), 5, buffer, &length));
    EXPECT_EQ(E_POINTER, VxnSetNodeName(nullptr, 0, L"a"));
    EXPECT_EQ(E_POINTER, VxnSetNodeName(node.Get(), 0, nullptr));
    EXPECT_EQ(E_POINTER, VxnGetChildCount(nullptr, &count));
    EXPECT_EQ(E_POINTER, VxnGetChildCount(node.Get(), nullptr));
    EXPECT_EQ(E_POINTER, VxnGetChildByIndex(nullptr, 0, &out));
    EXPECT_EQ(E_POINTER, VxnGetChildByIndex(node.Get(), 0, nullptr));
    EXPECT_EQ(E_POINTER, VxnGetChildByName(node.Get(), nullptr, &out));
    EXPECT_EQ(E_INVALIDARG, VxnGetChildByName(node.Get(), huge.c_str(), &out));
    EXPECT_EQ(E_POINTER, VxnGetParent(nullptr, &out));
    EXPECT_EQ(E_POINTER, VxnGetParent(node.Get(), nullptr));
    EXPECT_EQ(E_POINTER, VxnAddChild(node.Get(), nullptr));
    EXPECT_EQ(E_POINTER, VxnAddChild(nullptr, node.Get()));
    EXPECT_EQ(E_POINTER, VxnRemoveChildByIndex(nullptr, 0));
    EXPECT_EQ(E_POINTER, VxnSetAttribute(nullptr, L"a", 0, nullptr, 0));
    EXPECT_EQ(E_POINTER, VxnSetAttribute(node.Get(), nullptr, 0, nullptr, 0));
    EXPECT_EQ(E_INVALIDARG, VxnSetAttribute(node.Get(), huge.c_str(), 0, nullptr, 0));
    EXPECT_EQ(E_POINTER, VxnGetAttribute(nullptr, L"a", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, VxnGetAttribute(node.Get(), nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, VxnGetAttribute(node.Get(), huge.c_str(), nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, VxnDeleteAttribute(nullptr, L"a"));
    EXPECT_EQ(E_POINTER, VxnDeleteAttribute(node.Get(), nullptr));
    EXPECT_EQ(L"N", Name(node.Get()));
    EXPECT_EQ(0u, ChildCount(node.Get()));
}

TEST(TesselNode, DeepChainsAreHandledWithoutRecursion)
{
    const int depth = 20000;
    Handle top = NewNode(L"Top");
    IVXNode* current = top.Get();
    Handle last;
    for (int i = 0; i < depth; ++i)
    {
        Handle next = NewNode(L"n");
        ASSERT_EQ(S_OK, VxnAddChild(current, next.Get()));
        current = next.Get();
        last = std::move(next);
    }
    Handle copy;
    ASSERT_EQ(S_OK, VxnCloneNode(top.Get(), VXN_DEPTH_ALL, 0, copy.Out()));
    std::string text = Serialize({copy.Get()});
    EXPECT_LT(text.size(), static_cast<std::size_t>(depth) * 200);
    Handle parsed = Parse(text);
    EXPECT_EQ(text, Serialize({parsed.Get()}));
    EXPECT_EQ(static_cast<std::size_t>(depth) * 2 + 4, Path(last.Get()).size());
    // Closing the top handles frees the chains iteratively; the deepest node stays usable.
    top.Reset();
    copy.Reset();
    parsed.Reset();
    EXPECT_EQ(L"\\n", Path(last.Get()));
}
