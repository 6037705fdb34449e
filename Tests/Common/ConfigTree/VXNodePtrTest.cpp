#include "Common/ConfigTree/VXNodePtr.h"

#include "Common/ErrorHandling/ErrorTestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>

// The handle calls below wrap the library's own ones (found with RTLD_NEXT) so that the tests can
// count handle traffic.
namespace Spy
{
std::atomic<int> duplicates{0};
std::atomic<int> closes{0};

// The library's own function of the same name, looked up once per wrapper.
template <auto Self> auto Next(const char* name)
{
    static const auto next = reinterpret_cast<decltype(Self)>(dlsym(RTLD_NEXT, name));
    return next;
}
} // namespace Spy

extern "C" HRESULT VxnDuplicateNodeHandle(IVXNode* node, IVXNode** duplicate)
{
    ++Spy::duplicates;
    return Spy::Next<&VxnDuplicateNodeHandle>("VxnDuplicateNodeHandle")(node, duplicate);
}

extern "C" HRESULT VxnCloseNodeHandle(IVXNode* node)
{
    ++Spy::closes;
    return Spy::Next<&VxnCloseNodeHandle>("VxnCloseNodeHandle")(node);
}

namespace
{
using TestSupport::CodeOf;

const GUID kSample = RSM_GUID(0x51C3FBA2, 0x85FE, 0x436B, 0xA0, 0xFF, 0x1C, 0x61, 0xA5, 0xC0, 0xC5, 0x85);

bool SameNode(const VXNodePtr& x, const VXNodePtr& y)
{
    return x.IsValid() && y.IsValid() && x.GetName(kNameFullPath) == y.GetName(kNameFullPath);
}
} // namespace

TEST(VXNodePtrTest, HandleOwnershipDuplicatesAndClosesExactlyOnce)
{
    {
        VXNodePtr node = VXNodePtr::Create(L"N", L"T");
        VXNodePtr other = VXNodePtr::Create(L"O");
        Spy::duplicates = Spy::closes = 0;
        VXNodePtr copy = node;
        EXPECT_EQ(Spy::duplicates, 1);

        VXNodePtr& self = copy;
        copy = self;
        // Same handle value held twice (one reference): assignment must neither close nor duplicate.
        VXNodePtr alias(copy.Get(), true);
        alias = copy;
        EXPECT_EQ(Spy::duplicates, 1);
        EXPECT_EQ(Spy::closes, 0);
        EXPECT_EQ(alias.Detach(), copy.Get());

        VXNodePtr moved = std::move(copy);
        moved = other; // a different handle: duplicate the new one, close the old one
        EXPECT_EQ(Spy::duplicates, 2);
        EXPECT_EQ(Spy::closes, 1);

        IVXNode** slot = moved.OutParam();
        EXPECT_EQ(Spy::closes, 2);
        EXPECT_EQ(VxnDuplicateNodeHandle(node.Get(), slot), S_OK);
        EXPECT_EQ(moved.GetType(), L"T");

        VXNodePtr attached(nullptr, true), duplicated(nullptr, false);
        EXPECT_FALSE(attached || duplicated);
        VXNodePtr borrowed(node.Get(), false);
        EXPECT_EQ(Spy::duplicates, 4);
        // Finding the empty path hands out a reference of its own.
        VXNodePtr found = FindNodeByPath(node, L"", kFindNoClimb);
        EXPECT_EQ(Spy::duplicates, 5);
        Spy::closes = 0;
    }
    EXPECT_EQ(Spy::closes, 5); // node, other, moved, borrowed, found: never the moved-from or detached
}

TEST(VXNodePtrTest, NamesTypesAndTextAttributesOfAnyLength)
{
    for (std::size_t length : {0u, 127u, 128u, 5000u})
    {
        const std::wstring name(length, L'n');
        VXNodePtr sized = VXNodePtr::Create(name.c_str(), (name + L't').c_str());
        EXPECT_EQ(sized.GetName(), name);
        EXPECT_EQ(sized.GetType(), name + L't');
    }
    VXNodePtr node = VXNodePtr::Create(L"x");
    node.SetName(kNameFullPath, L"\\Root\\Child");
    EXPECT_EQ(node.GetName(kNameFullPath), L"\\Root\\Child");
    EXPECT_EQ(node.GetName(kNameOwn), L"Child");
    VXNodePtr empty;
    EXPECT_EQ(empty.GetName(kNameFullPath), L"");
    EXPECT_EQ(empty.GetType(), L"");

    // Text attributes of any length, characters beyond 16 bits included.
    for (std::size_t length : {0u, 127u, 128u, 129u, 70000u})
    {
        std::wstring value(length, L'v');
        if (length > 0)
        {
            value[length - 1] = L'\U0001F600'; // two UTF-16 units
        }
        node.SetStringAttribute(L"t", value);
        EXPECT_EQ(node.GetStringAttribute(L"t"), value) << length;
    }
    // Explicit length: only that many characters are stored.
    node.SetStringAttribute(L"t", L"abcdef", 3);
    EXPECT_EQ(node.GetStringAttribute(L"t"), L"abc");
    // A long attribute name is just a name.
    const std::wstring longName(300, L'a');
    node.SetStringAttribute(longName, L"x");
    EXPECT_EQ(node.GetAttributeNames().back(), longName);

    EXPECT_EQ(CodeOf([&] { node.SetStringAttribute(L"t", nullptr); }), E_POINTER);
    EXPECT_EQ(CodeOf([&] { node.SetStringAttribute(L"t", L"x", -2); }), E_FAIL);
    EXPECT_EQ(CodeOf([&] { node.SetStringAttribute(L"t", L"x", 1ll << 40); }), E_FAIL);
    EXPECT_EQ(node.GetStringAttribute(L"t"), L"abc");
}

TEST(VXNodePtrTest, ChildrenParentsAndPaths)
{
    // \A with children B (holding Y\Z), BC and Z.
    auto add = [](VXNodePtr parent, const wchar_t* name)
    {
        VXNodePtr child = VXNodePtr::Create(name);
        parent.AddChild(child);
        return child;
    };
    VXNodePtr a = VXNodePtr::Create(L"A");
    a.SetName(kNameFullPath, L"\\A");
    VXNodePtr b = add(a, L"B"), bc = add(a, L"BC"), z = add(a, L"Z"), y = add(b, L"Y"), yz = add(y, L"Z");
    // Paths climb only when allowed.
    EXPECT_FALSE(FindNodeByPath(b, L"\\A\\Z", kFindNoClimb).IsValid());
    EXPECT_TRUE(SameNode(FindNodeByPath(b, L"\\A\\Z", 0), z));
    EXPECT_TRUE(SameNode(FindNodeByPath(b, L"\\A\\B\\Y\\Z", kFindNoClimb), yz));
    EXPECT_TRUE(SameNode(FindNodeByPath(b, L"Y\\Z", kFindNoClimb), yz));

    EXPECT_TRUE(SameNode(FindNodeByPath(b, L"", kFindNoClimb), b));

    EXPECT_FALSE(FindNodeByPath(b, L"Y\\Missing\\Deeper", kFindNoClimb).IsValid());
    EXPECT_FALSE(FindNodeByPath(a, L"\\A\\..", 0).IsValid());
    EXPECT_EQ(CodeOf([&] { FindNodeByPath(b, L"\\X", kFindMustExist); }), HR_NOT_FOUND);
    EXPECT_EQ(CodeOf([] { FindNodeByPath(VXNodePtr(), L"", 0); }), E_POINTER);

    EXPECT_TRUE(SameNode(a.GetChild(1), bc));
    EXPECT_TRUE(SameNode(a.GetChild(L"Z"), z));
    EXPECT_TRUE(SameNode(y.GetParent(), b));
    EXPECT_FALSE(a.GetParent().IsValid());

    EXPECT_FALSE(a.GetChild(L"Missing", false).IsValid());
    EXPECT_EQ(CodeOf([&] { a.GetChild(~0ull, true); }), HR_NOT_FOUND);
    // An unusable name is a failure, not an absent child.
    EXPECT_EQ(CodeOf([&] { a.GetChild(std::wstring(100000, L'x'), false); }), E_INVALIDARG);

    std::vector<std::wstring> names;
    a.ForEachChild([&](VXNodePtr child) { names.push_back(child.GetName()); });
    EXPECT_EQ(names, (std::vector<std::wstring>{L"B", L"BC", L"Z"}));

    VXNodePtr empty;
    EXPECT_EQ(CodeOf([&] { a.AddChild(empty); }), E_POINTER);
    EXPECT_EQ(CodeOf([&] { empty.Clone(); }), E_POINTER);
}

TEST(VXNodePtrTest, TypedAttributesRoundTripAndReportAbsence)
{
    VXNodePtr node = VXNodePtr::Create(L"N");
    node.SetStringAttribute(L"s", L"value");
    node.SetInt32Attribute(L"i32", -7);
    node.SetInt64Attribute(L"i64", -(1ll << 40));
    node.SetBoolAttribute(L"b", true);
    node.SetGuidAttribute(L"g", kSample);
    node.SetArrayAttribute(L"arr", {1, 2, 3});
    node.SetArrayAttribute(L"none", {});
    node.SetAttribute(L"empty", VXN_ATTR_EMPTY, nullptr, 0);

    EXPECT_EQ(node.GetInt64Attribute(L"i64"), -(1ll << 40));
    EXPECT_TRUE(node.GetBoolAttribute(L"b"));
    EXPECT_EQ(node.GetGuidAttribute(L"g"), kSample);
    std::uint16_t type = 0;
    EXPECT_TRUE(node.GetAttributeType(L"i32", type));
    EXPECT_EQ(type, VXN_ATTR_INT32);
    std::uint64_t size = 0;
    EXPECT_TRUE(node.TryGetAttribute(L"arr", std::nullopt, nullptr, size));
    EXPECT_EQ(size, 24u);
    EXPECT_TRUE(node.TryGetAttribute(L"none", VXN_ATTR_INT64_ARRAY, nullptr, size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(node.GetAttributeNames(),
              (std::vector<std::wstring>{L"s", L"i32", L"i64", L"b", L"g", L"arr", L"none", L"empty"}));

    // Absent: Try readers say false (text emptied), defaults apply, raising readers raise not-found.
    std::wstring text = L"stale";
    std::int64_t number = 0;
    EXPECT_FALSE(node.TryGetStringAttribute(L"x", text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(node.TryGetInt64Attribute(L"x", number));
    EXPECT_FALSE(node.HasAttribute(L"x"));
    EXPECT_FALSE(node.GetOptionalInt64Attribute(L"x").has_value());
    EXPECT_EQ(node.GetStringAttribute(L"x", L"def"), L"def");
    EXPECT_TRUE(node.GetBoolAttribute(L"x", true));
    EXPECT_EQ(CodeOf([&] { node.GetStringAttribute(L"x"); }), HR_NOT_FOUND);

    // Code 0 counts as absent only for the readers with a default.
    EXPECT_EQ(node.GetStringAttribute(L"empty", L"def"), L"def");
    EXPECT_FALSE(node.GetBoolAttribute(L"empty", false));
    EXPECT_EQ(CodeOf([&] { node.GetStringAttribute(L"empty"); }), HR_INVALID_DATA);
    // Wrong types are raised, also by readers with a default.
    EXPECT_EQ(CodeOf([&] { node.GetStringAttribute(L"i64", L"def"); }), HR_INVALID_DATA);
    EXPECT_EQ(CodeOf([&] { node.TryGetInt64Attribute(L"i32", number); }), HR_INVALID_DATA);
    char small[4];
    size = sizeof(small);
    EXPECT_EQ(CodeOf([&] { node.TryGetAttribute(L"s", std::nullopt, small, size); }), HR_INSUFFICIENT_BUFFER);

    node.DeleteAttribute(L"s", true);
    node.DeleteAttribute(L"s", false);
    EXPECT_EQ(CodeOf([&] { node.DeleteAttribute(L"s", true); }), HR_NOT_FOUND);

    EXPECT_EQ(CodeOf([&] { node.SetBoolAttribute(std::wstring(100000, L'x'), true); }), E_INVALIDARG);
    VXNodePtr empty;
    EXPECT_EQ(CodeOf([&] { empty.HasAttribute(L"s"); }), E_POINTER);
}

TEST(VXNodePtrTest, CombineNodePath)
{
    EXPECT_EQ(CombineNodePath(L"\\A\\B", L"..\\Z"), L"\\A\\Z");
    EXPECT_EQ(CombineNodePath(L"\\A", L"Y\\\\Z"), L"\\A\\Y\\Z");
    EXPECT_EQ(CombineNodePath(L"\\A", L"\\Y\\.\\Z"), L"\\A\\Y\\.\\Z");
    EXPECT_EQ(CombineNodePath(L"", L"Y"), L"\\Y");
    EXPECT_EQ(CombineNodePath(L"A", L".."), L"\\");
    EXPECT_EQ(CodeOf([] { CombineNodePath(L"\\", L".."); }), HR_PATH_ABOVE_ROOT);
}

TEST(VXNodePtrTest, GuidTextForms)
{
    const std::wstring forms[] = {
        L"{51C3FBA2-85FE-436B-A0FF-1C61A5C0C585}", L"51C3FBA285FE436BA0FF1C61A5C0C585",
        L"51C3FBA2-85FE-436B-A0FF-1C61A5C0C585", L"51c3fba2-85fe-436b-a0ff-1c61a5c0c585"};
    for (int form = kGuidBraced; form <= kGuidDashedLower; ++form)
    {
        EXPECT_EQ(FormatGuid(kSample, form), forms[form]);
        EXPECT_EQ(ParseGuid(forms[form].c_str()), kSample) << form;
    }
    EXPECT_EQ(CodeOf([] { FormatGuid(kSample, 4); }), E_FAIL);
    EXPECT_EQ(ParseGuid(L"51c3FBA2-85fe-436B-A0FF-1C61A5C0C585 trailing"), kSample);

    GUID out = kSample;
    EXPECT_EQ(ParseGuid(nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(ParseGuid(L"12345", &out), E_INVALIDARG);
    EXPECT_EQ(ParseGuid(L"51C3FBA2-85FE-436B-A0FG-1C61A5C0C585", &out), E_INVALIDARG);
    EXPECT_EQ(ParseGuid(std::wstring(100000, L'-').c_str(), &out), E_INVALIDARG);
    EXPECT_EQ(out, kSample); // failures leave the result alone
    EXPECT_EQ(ParseGuid(L"51C3FBA2-85FE-436B-A0FF-1C61A5C0C585", nullptr), E_POINTER);
    EXPECT_EQ(CodeOf([] { ParseGuid(L"nonsense"); }), E_INVALIDARG);

    const GUID first = NewGuid();
    EXPECT_NE(first, GUID{});
    EXPECT_NE(first, NewGuid());
    EXPECT_EQ(NewGuid(nullptr), E_POINTER);
    EXPECT_EQ(UuidStatusToHResult(0, GUID{}), S_OK);
    EXPECT_EQ(UuidStatusToHResult(1824, kSample), S_OK);
    EXPECT_EQ(UuidStatusToHResult(1824, GUID{}), MakeHr(0x80070720));
    EXPECT_EQ(UuidStatusToHResult(0x12345678, kSample), MakeHr(0x80075678));
}
