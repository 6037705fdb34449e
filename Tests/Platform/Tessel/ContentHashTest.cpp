#include "TesselTestSupport.h"

#include <utility>

using namespace TestSupport;

namespace
{
std::pair<std::uint64_t, std::uint64_t> HashOf(IVXNode* node)
{
    std::pair<std::uint64_t, std::uint64_t> h{0, 0};
    EXPECT_EQ(VxnGetContentHash(node, &h.first, &h.second), S_OK);
    return h;
}

Vx Tree()
{
    Vx root(L"Root", L"T");
    root.Str(L"A", L"1").Add(Vx(L"Mid").Add(Vx(L"Leaf").Str(L"Deep", L"x"))).Add(Vx(L"Second"));
    return root;
}
} // namespace

TEST(ContentHashTest, FollowsContentNotIdentityOrPath)
{
    Vx a = Tree();
    Vx b = Tree();
    const auto original = HashOf(a.Get());
    EXPECT_EQ(original, HashOf(b.Get()));

    // A change deep below a node whose hash is cached renews it.
    Vx leaf = a.Child(L"Mid").Child(L"Leaf");
    leaf.Str(L"Deep", L"y");
    EXPECT_NE(HashOf(a.Get()), original);
    leaf.Str(L"Deep", L"x");
    EXPECT_EQ(HashOf(a.Get()), original);

    // The full path does not count; names, order and codes do.
    Vx clone;
    ASSERT_EQ(VxnCloneNode(leaf.Get(), VXN_DEPTH_ALL, 0, clone.Out()), S_OK);
    EXPECT_EQ(HashOf(clone.Get()), HashOf(leaf.Get()));
    VxnSetNodeName(clone.Get(), VXN_NAME_OWN, L"Other");
    EXPECT_NE(HashOf(clone.Get()), HashOf(leaf.Get()));
    std::uint64_t one = 1;
    VxnSetAttribute(b.Get(), L"A", VXN_ATTR_INT64_ARRAY, &one, 8);
    EXPECT_NE(HashOf(b.Get()), original);

    Vx c = Tree();
    c.Add(c.Child(L"Mid")); // Mid moves behind Second
    EXPECT_NE(HashOf(c.Get()), original);
    ASSERT_EQ(VxnRemoveChildByIndex(c.Get(), 1), S_OK);
    ASSERT_EQ(VxnRemoveChildByIndex(a.Get(), 0), S_OK);
    EXPECT_EQ(HashOf(c.Get()), HashOf(a.Get()));

    std::uint64_t low = 0;
    EXPECT_EQ(VxnGetContentHash(nullptr, &low, &low), E_POINTER);
    EXPECT_EQ(VxnGetContentHash(a.Get(), nullptr, &low), E_POINTER);
}
