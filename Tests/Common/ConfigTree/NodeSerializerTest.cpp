#include "Common/ConfigTree/NodeSerializer.h"
#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Platform/Core/System.h"

#include <gtest/gtest.h>

namespace
{
class NodeSerializerTest : public ::testing::Test
{
protected:
    void Hide(const std::optional<std::wstring>& setting)
    {
        Platform::SetEnvironmentVariable(L"GS_Logger_HiddenNodeTypeAttrs", setting ? &*setting : nullptr);
        ResetHiddenAttributesForTesting();
    }
    void TearDown() override { Hide(std::nullopt); }

    static VXNodePtr Sample()
    {
        VXNodePtr root = VXNodePtr::Create(L"Settings", L"Connection");
        root.SetStringAttribute(L"Password", L"top-secret");
        root.SetStringAttribute(L"Server", L"sql01");
        VXNodePtr child = VXNodePtr::Create(L"Extra", L"ReportingSettings");
        child.SetStringAttribute(L"Password", L"child-secret");
        child.SetInt64Attribute(L"Token", 77);
        root.AddChild(child);
        return root;
    }
};

bool Contains(const std::wstring& text, const std::wstring& part)
{
    return text.find(part) != std::wstring::npos;
}
} // namespace

TEST_F(NodeSerializerTest, SerializesWithFramingAndDumpsWithHiddenAttributesMasked)
{
    VXNodePtr node = Sample();
    IVXNode* handle = node.Get();
    std::string text = SerializeNodesToString(&handle, 1, 0x101, kDepthAll);
    EXPECT_EQ(text.rfind("<nr>\r\n", 0), 0u);
    EXPECT_NE(text.find("</nr>"), std::string::npos);
    EXPECT_NE(text.find("Extra"), std::string::npos);
    EXPECT_EQ(SerializeNodesToString(nullptr, 0, 0, 0).find("Extra"), std::string::npos);
    IVXNode* null = nullptr;
    EXPECT_THROW(SerializeNodesToString(&null, 1, 0, 0), HRX);

    std::wstring dump = NodeDump(node, true).Text();
    EXPECT_EQ(dump.rfind(L"VXNode[0x", 0), 0u);
    EXPECT_FALSE(Contains(dump, L"<nr>"));
    EXPECT_TRUE(Contains(dump, L"top-secret")); // nothing hidden without the setting
    EXPECT_FALSE(Contains(NodeDump(node, false).Text(), L"Extra"));
    EXPECT_EQ(NodeDump(VXNodePtr(), true).Text(), L"VXNode[<null>]");

    // Hidden attributes are masked in a copy only.
    Hide(L" * : Password ;; Connection: Token , Server ,");
    dump = NodeDump(node, true).Text();
    EXPECT_FALSE(Contains(dump, L"top-secret"));
    EXPECT_FALSE(Contains(dump, L"sql01"));
    EXPECT_TRUE(Contains(dump, L"77")); // Token is hidden only on "Connection" nodes
    EXPECT_TRUE(Contains(dump, L"********"));
    EXPECT_EQ(node.GetStringAttribute(L"Password"), L"top-secret");

    // Depth 0 masks the top node alone.
    VXNodePtr masked = MaskHiddenAttributes(node, 0);
    EXPECT_EQ(masked.GetStringAttribute(L"Password"), L"********");
    EXPECT_EQ(masked.GetChildCount(), 0u);
}

TEST_F(NodeSerializerTest, MalformedSettingFailsEachDumpUntilFixed)
{
    for (const wchar_t* bad : {L"A:B:C", L"NoColon", L":Password", L"Type:"})
    {
        Hide(bad);
        EXPECT_EQ(TestSupport::CodeOf([] { NodeDump(Sample(), true); }), E_INVALIDARG) << bad;
        // The next dump reads the setting again.
        std::wstring good = L"Connection::Password";
        Platform::SetEnvironmentVariable(L"GS_Logger_HiddenNodeTypeAttrs", &good);
        EXPECT_FALSE(Contains(NodeDump(Sample(), false).Text(), L"top-secret"));
    }
}

TEST_F(NodeSerializerTest, MasksNamelessAndSameNameNodesInTheirOwnCopy)
{
    Hide(L"*:Password;CreateSessionRequest:Password,UserName");

    // A nameless child's path names its parent; the parent must not gain a password.
    VXNodePtr parent = VXNodePtr::Create(L"P", L"Folder");
    VXNodePtr nameless = VXNodePtr::Create(nullptr, L"Connection");
    nameless.SetStringAttribute(L"Password", L"nameless-secret");
    parent.AddChild(nameless);
    // Same-name siblings: every one of them, not only the first.
    for (int i = 0; i < 3; ++i)
    {
        VXNodePtr sibling = VXNodePtr::Create(L"Same", L"Connection");
        sibling.SetStringAttribute(L"Password", L"sibling-secret-" + std::to_wstring(i));
        sibling.SetStringAttribute(L"Server", L"sql0" + std::to_wstring(i));
        parent.AddChild(sibling);
    }
    VXNodePtr masked = MaskHiddenAttributes(parent, kDepthAll);
    ASSERT_NE(masked.Get(), parent.Get());
    EXPECT_FALSE(masked.HasAttribute(L"Password"));
    ASSERT_EQ(masked.GetChildCount(), 4u);
    for (std::uint64_t i = 0; i < 4; ++i)
    {
        EXPECT_EQ(masked.GetChild(i).GetStringAttribute(L"Password"), L"********") << i;
    }
    EXPECT_EQ(masked.GetChild(3).GetStringAttribute(L"Server"), L"sql02");
    EXPECT_EQ(nameless.GetStringAttribute(L"Password"), L"nameless-secret");
    EXPECT_FALSE(Contains(NodeDump(parent, true).Text(), L"secret"));
    EXPECT_EQ(TestSupport::CodeOf([] { MaskHiddenAttributes(VXNodePtr(), kDepthAll); }), E_POINTER);

    // A nameless top node, and nameless connection nodes inside their container.
    VXNodePtr container = VXNodePtr::Create(nullptr, L"ConnectionSettingsContainer");
    container.SetStringAttribute(L"Password", L"container-secret");
    for (int i = 0; i < 2; ++i)
    {
        VXNodePtr request = VXNodePtr::Create(nullptr, L"CreateSessionRequest");
        request.SetStringAttribute(L"UserName", L"user");
        request.SetStringAttribute(L"Password", L"session-secret");
        request.SetStringAttribute(L"Database", L"Reports");
        container.AddChild(request);
    }
    std::wstring dump = NodeDump(container, true).Text();
    EXPECT_FALSE(Contains(dump, L"secret")) << dump;
    EXPECT_FALSE(Contains(dump, L"\"user\"")) << dump;
    EXPECT_TRUE(Contains(dump, L"Reports"));
    EXPECT_EQ(container.GetChild(1).GetStringAttribute(L"Password"), L"session-secret");
}

TEST_F(NodeSerializerTest, MasksDeepChainsWithoutRecursion)
{
    Hide(L"Link:Password");
    constexpr int kLevels = 100000;
    VXNodePtr top = VXNodePtr::Create(L"L", L"Link");
    VXNodePtr bottom = top;
    for (int i = 1; i < kLevels; ++i)
    {
        VXNodePtr child = VXNodePtr::Create(L"L", L"Link");
        bottom.AddChild(child);
        bottom = child;
    }
    bottom.SetStringAttribute(L"Password", L"deep-secret");

    NodeDump dump(top, true);
    VXNodePtr node = dump.Node();
    ASSERT_NE(node.Get(), top.Get());
    for (int i = 1; i < kLevels; ++i)
    {
        node = node.GetChild(0);
    }
    EXPECT_EQ(node.GetStringAttribute(L"Password"), L"********");
    EXPECT_EQ(bottom.GetStringAttribute(L"Password"), L"deep-secret");
}
