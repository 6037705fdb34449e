#include "ProviderTestSupport.h"

#include "Common/ConfigTree/NodeSerializer.h"
#include "Platform/Core/System.h"

#include <gtest/gtest.h>

using namespace ProviderTestSupport;

namespace
{
const wchar_t kHq[] = L"{5B0C3A44-2F1E-4C8A-9D61-1A2B3C4D5E01}";
const wchar_t kBranch[] = L"{5B0C3A44-2F1E-4C8A-9D61-1A2B3C4D5E02}";
const wchar_t kLab[] = L"{5B0C3A44-2F1E-4C8A-9D61-1A2B3C4D5E03}";
const wchar_t kShare[] = L"{5B0C3A44-2F1E-4C8A-9D61-1A2B3C4D5E04}";

std::vector<std::int64_t> ProductIds(const VXNodePtr& info)
{
    std::uint64_t size = 0;
    if (!info.TryGetAttribute(L"ProductIds", 0x105, nullptr, size))
    {
        return {};
    }
    std::vector<std::int64_t> ids(size / 8);
    info.TryGetAttribute(L"ProductIds", 0x105, ids.data(), size);
    return ids;
}

std::int64_t TypeOf(const VXNodePtr& info)
{
    std::int32_t type = 0;
    std::uint64_t size = sizeof(type);
    info.TryGetAttribute(L"ReportingSettingsType", 3, &type, size);
    return type;
}

std::string SerializeForCompare(const VXNodePtr& node)
{
    IVXNode* handle = node.Get();
    return SerializeNodesToString(&handle, 1, 0, kDepthAll);
}

std::vector<std::int64_t> Types(const VXNodePtr& productsSettings)
{
    std::vector<std::int64_t> types;
    productsSettings.ForEachChild([&](const VXNodePtr& info) { types.push_back(TypeOf(info)); });
    return types;
}
} // namespace

TEST(ProductsSettingsProviderTest, ProductAreasByStateAndOrder)
{
    SampleDeployment d;
    EXPECT_EQ(d.provider->AccumulateProductsSettings(0x1FF).GetChildCount(), 0u); // nothing distributed yet

    d.provider->UpdateConnectionSettings(Orvane, SampleDeployment::Wrapper(true, L"Audit_Orvane"), true);
    d.provider->UpdateConnectionSettings(Quorl, SampleDeployment::Wrapper(false), true);
    d.provider->UpdateConnectionSettings(Pentrel, SampleDeployment::Wrapper(true, L"Audit_Pentrel"), true);
    d.provider->UpdateConnectionSettings(Tavrin, SampleDeployment::Wrapper(true),
                                         false); // history: once enabled
    d.provider->UpdateConnectionSettings(Dorv, SampleDeployment::Wrapper(true), false); // never enabled
    d.provider->UpdateConnectionSettings(Lumic, SampleDeployment::Wrapper(true), true);

    EXPECT_EQ(d.provider->AccumulateProductsSettings(Common).GetChildCount(), 0u);
    VXNodePtr all = d.provider->AccumulateProductsSettings(0x1FF);
    EXPECT_EQ(all.GetName(), L"ProductsSettings");
    // Quorl's inner settings are disabled and it has no "WasEverEnabled": nothing for it.
    EXPECT_EQ(Types(all), (std::vector<std::int64_t>{Pentrel, Tavrin, Lumic, Orvane}));

    VXNodePtr pentrel = all.GetChild(std::uint64_t{0}, true);
    EXPECT_EQ(pentrel.GetType(), L"ProductDatabaseInfoNodeType");
    EXPECT_EQ(ProductIds(pentrel), std::vector<std::int64_t>{1008});
    EXPECT_TRUE(pentrel.GetBoolAttribute(L"Mandatory"));
    EXPECT_EQ(pentrel.GetInt64Attribute(L"DatabaseVersion"), 13); // the newest audited system kind
    EXPECT_FALSE(pentrel.GetBoolAttribute(L"VersionCheckRequired"));
    EXPECT_EQ(pentrel.GetInt64Attribute(L"DatabaseSchemaType"), 8);
    EXPECT_EQ(pentrel.GetStringAttribute(L"Database"), L"Audit_Pentrel");

    VXNodePtr tavrin = all.GetChild(std::uint64_t{1}, true);
    EXPECT_TRUE(tavrin.GetBoolAttribute(L"Mandatory")); // fixed flag even when only once enabled
    EXPECT_FALSE(tavrin.HasAttribute(L"ProductIds"));

    // Enabled distribution leaves a mark in the store; a disabled one does not.
    EXPECT_TRUE(d.Read(L"\\History\\Vaskor").GetBoolAttribute(L"WasEverEnabled"));
    EXPECT_FALSE(d.Read(L"\\History\\Dorv", false).IsValid());

    // Once enabled, a Pentrel disabled later is still reported, not mandatory.
    d.provider->UpdateConnectionSettings(Pentrel, SampleDeployment::Wrapper(false), true);
    pentrel = d.provider->AccumulateProductsSettings(Pentrel).GetChild(std::uint64_t{0}, true);
    EXPECT_FALSE(pentrel.GetBoolAttribute(L"Mandatory"));

    // Quorl reports the one fixed id, never mandatory.
    d.provider->UpdateConnectionSettings(Quorl, SampleDeployment::Wrapper(true), true);
    VXNodePtr quorl = d.provider->AccumulateProductsSettings(Quorl).GetChild(std::uint64_t{0}, true);
    EXPECT_EQ(ProductIds(quorl), std::vector<std::int64_t>{0x7FFFFFFFFFFFFFFFLL});
    EXPECT_FALSE(quorl.GetBoolAttribute(L"Mandatory"));

    // Meta information without a collector code yields no entry for the type.
    VXNodePtr orvaneMeta = d.meta->FindMetaInformation(Orvane, true);
    orvaneMeta.DeleteAttribute(L"DatabaseCollectorCode", true);
    EXPECT_EQ(d.provider->AccumulateProductsSettings(Orvane).GetChildCount(), 0u);

    EXPECT_EQ(CodeOf([&] { d.provider->UpdateConnectionSettings(Dorv, VXNodePtr(), true); }), E_POINTER);
}

TEST(ProductsSettingsProviderTest, ContainersSynchronisationAndEntries)
{
    SampleDeployment d;
    VXNodePtr containers = d.Read(d.paths->PathOf(Containers));
    d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), containers, true);

    VXNodePtr connections = d.provider->SettingsOf(Containers);
    ASSERT_TRUE(connections.IsValid());
    EXPECT_EQ(connections.GetName(), L"ConnectionSettingsContainer");
    EXPECT_EQ(connections.GetChildCount(), 3u); // the share lacks reporting settings: skipped

    VXNodePtr hq = connections.GetChild(std::wstring(kHq), true);
    EXPECT_EQ(hq.GetType(), L"CreateSessionRequest");
    EXPECT_TRUE(hq.GetBoolAttribute(L"Enabled"));
    EXPECT_EQ(hq.GetStringAttribute(L"DbName"), L"Audit_HQ_Files");
    EXPECT_EQ(hq.GetStringAttribute(L"Name"), L"Headquarters File Servers");
    EXPECT_EQ(FormatGuid(hq.GetGuidAttribute(L"ContainerId"), 0), kHq);
    EXPECT_EQ(hq.GetStringAttribute(L"SQLInstance"), L"SQLPROD01\\AUDIT");
    EXPECT_FALSE(hq.HasAttribute(L"Database")); // the database never comes from the common settings
    ASSERT_EQ(hq.GetChildCount(), 1u);          // one enabled miscellaneous setting
    VXNodePtr misc = hq.GetChild(std::uint64_t{0}, true);
    EXPECT_EQ(misc.GetStringAttribute(L"Database"), L"Archive_HQ");
    EXPECT_EQ(misc.GetStringAttribute(L"SQLInstance"), L"SQLPROD01\\AUDIT"); // the connection node's wins
    EXPECT_FALSE(connections.GetChild(std::wstring(kLab), true).GetBoolAttribute(L"Enabled"));

    // History: marks for enabled containers, audited systems of enabled systems only.
    EXPECT_TRUE(d.Read(std::wstring(L"\\History\\Containers\\") + kHq).GetBoolAttribute(L"WasEverEnabled"));
    VXNodePtr systems = d.Read(std::wstring(L"\\History\\Containers\\") + kHq + L"\\AuditedSystems");
    EXPECT_EQ(systems.GetChildCount(), 2u);
    EXPECT_EQ(systems.GetChild(std::uint64_t{0}, true).GetType(), L"AuditedSystem");

    // Entries: HQ and its extra request, the branch and its extra, the lab (once enabled).
    VXNodePtr products = d.provider->AccumulateProductsSettings(Containers);
    ASSERT_EQ(products.GetChildCount(), 5u);
    VXNodePtr first = products.GetChild(std::uint64_t{0}, true);
    EXPECT_TRUE(first.GetBoolAttribute(L"Mandatory"));
    EXPECT_EQ(ProductIds(first), (std::vector<std::int64_t>{2001, 2002}));
    VXNodePtr extra = products.GetChild(std::uint64_t{1}, true);
    EXPECT_FALSE(extra.GetBoolAttribute(L"Mandatory"));
    EXPECT_EQ(extra.GetStringAttribute(L"Name"), L"Headquarters File Servers");
    EXPECT_FALSE(products.GetChild(std::uint64_t{4}, true).GetBoolAttribute(L"Mandatory")); // the lab

    // An identical second run changes nothing.
    VXNodePtr before = connections.Clone();
    d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), containers, true);
    EXPECT_EQ(SerializeForCompare(before), SerializeForCompare(d.provider->SettingsOf(Containers)));

    // A vanished container is retired: disabled in memory, history removed at commit.
    VXNodePtr fewer = containers.Clone();
    fewer.RemoveChild(0);
    d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), fewer, true);
    EXPECT_FALSE(connections.GetChild(std::wstring(kHq), true).GetBoolAttribute(L"Enabled"));
    EXPECT_FALSE(d.Read(std::wstring(L"\\History\\Containers\\") + kHq, false).IsValid());

    // Common settings disabled: containers disabled, yet still marked once enabled.
    d.provider->UpdateContainersSettings(d.CommonConnectionSettings(false), containers, true);
    EXPECT_FALSE(connections.GetChild(std::wstring(kBranch), true).GetBoolAttribute(L"Enabled"));
    EXPECT_TRUE(d.Read(std::wstring(L"\\History\\Containers\\") + kHq).GetBoolAttribute(L"WasEverEnabled"));
    EXPECT_FALSE(connections.GetChild(std::wstring(kShare), false).IsValid());
}

TEST(ProductsSettingsProviderTest, SampleSettingsHidePasswordsInDumps)
{
    SampleDeployment d;
    std::wstring ini = Platform::FromUtf8(RSM_SAMPLES_DIR "/ReportingSettingsManager.ini");
    Platform::SetEnvironmentVariable(L"GLOBAL_SETTINGS_INI", &ini);
    ResetHiddenAttributesForTesting();
    VXNodePtr common = d.Read(d.paths->PathOf(Common));
    std::wstring dump = NodeDump(common, true).Text();
    Platform::SetEnvironmentVariable(L"GLOBAL_SETTINGS_INI", nullptr);
    ResetHiddenAttributesForTesting();
    EXPECT_EQ(dump.find(L"S3cret!Pass"), std::wstring::npos);
    EXPECT_NE(dump.find(L"********"), std::wstring::npos);
    EXPECT_NE(dump.find(L"SQLPROD01"), std::wstring::npos);
    EXPECT_EQ(common.GetStringAttribute(L"SqlPassword"), L"S3cret!Pass");
}

TEST(ProductsSettingsProviderTest, RepeatedUpdatesFollowEveryChange)
{
    SampleDeployment d;
    VXNodePtr containers = d.Read(d.paths->PathOf(Containers));
    d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), containers, true);
    VXNodePtr connections = d.provider->SettingsOf(Containers);

    // A container's own change, deep in its miscellaneous settings.
    VXNodePtr misc = FindNodeByPath(
        containers,
        std::wstring(L"\\Containers\\") + kHq + L"\\ReportingSettings\\MiscReportingSettings\\Extra2", 1);
    misc.SetBoolAttribute(L"Enabled", true);
    d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), containers, true);
    EXPECT_EQ(connections.GetChild(std::wstring(kHq), true).GetChildCount(), 2u);

    // A change of the common settings reaches every container.
    VXNodePtr common = d.CommonConnectionSettings();
    common.SetStringAttribute(L"SQLInstance", L"SQLNEW");
    d.provider->UpdateContainersSettings(common, containers, true);
    EXPECT_EQ(connections.GetChild(std::wstring(kBranch), true).GetStringAttribute(L"SQLInstance"),
              L"SQLNEW");

    // A connection node changed behind the provider's back is rebuilt.
    VXNodePtr branch = connections.GetChild(std::wstring(kBranch), true);
    branch.SetStringAttribute(L"DbName", L"tampered");
    d.provider->UpdateContainersSettings(common, containers, true);
    EXPECT_EQ(branch.GetStringAttribute(L"DbName"), L"Audit_Branch_Mail");

    // A retired container that comes back is enabled again and its history written again.
    VXNodePtr fewer = containers.Clone();
    fewer.RemoveChild(0);
    d.provider->UpdateContainersSettings(common, fewer, true);
    d.provider->UpdateContainersSettings(common, containers, true);
    EXPECT_TRUE(connections.GetChild(std::wstring(kHq), true).GetBoolAttribute(L"Enabled"));
    EXPECT_TRUE(d.Read(std::wstring(L"\\History\\Containers\\") + kHq).GetBoolAttribute(L"WasEverEnabled"));

    // A partial update leaves the containers disabled, the next full one enables them again.
    d.provider->UpdateContainersSettings(common, containers, false);
    EXPECT_FALSE(connections.GetChild(std::wstring(kHq), true).GetBoolAttribute(L"Enabled"));
    d.provider->UpdateContainersSettings(common, containers, true);
    EXPECT_TRUE(connections.GetChild(std::wstring(kHq), true).GetBoolAttribute(L"Enabled"));
}

TEST(ProductsSettingsProviderTest, FailuresEndTheUpdateAndNothingReachesTheStore)
{
    SampleDeployment d;
    VXNodePtr containers = d.Read(d.paths->PathOf(Containers));
    const std::wstring hqHistory = std::wstring(L"\\History\\Containers\\") + kHq;
    for (const wchar_t* operation : {L"PutNodes", L"CommitTransaction", L"CreateTransaction", L"GetService"})
    {
        ASSERT_EQ(ConfigServerInjectFault(d.proxy.Get(), operation, 1, MakeHr(0x80041234)), S_OK);
        EXPECT_EQ(
            CodeOf([&]
                   { d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), containers, true); }),
            MakeHr(0x80041234))
            << operation;
        ConfigServerClearFaults(d.proxy.Get());
        EXPECT_FALSE(d.Read(hqHistory, false).IsValid()) << operation;
    }

    // A failing removal of a retired container's history keeps that history.
    d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), containers, true);
    VXNodePtr fewer = containers.Clone();
    fewer.RemoveChild(0);
    ASSERT_EQ(ConfigServerInjectFault(d.proxy.Get(), L"RemoveNodes", 1, E_ACCESSDENIED), S_OK);
    EXPECT_EQ(
        CodeOf([&] { d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), fewer, true); }),
        E_ACCESSDENIED);
    EXPECT_TRUE(d.Read(hqHistory, false).IsValid());
    // A failing commit: the retirement made in memory stays, the store keeps the history.
    ASSERT_EQ(ConfigServerInjectFault(d.proxy.Get(), L"CommitTransaction", 1, E_ACCESSDENIED), S_OK);
    EXPECT_EQ(
        CodeOf([&] { d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), fewer, true); }),
        E_ACCESSDENIED);
    EXPECT_TRUE(d.Read(hqHistory, false).IsValid());
    EXPECT_FALSE(
        d.provider->SettingsOf(Containers).GetChild(std::wstring(kHq), true).GetBoolAttribute(L"Enabled"));

    // Malformed containers.
    VXNodePtr bad = VXNodePtr::Create(L"Containers");
    VXNodePtr notGuid = containers.GetChild(std::wstring(kBranch), true).Clone();
    notGuid.SetName(kNameOwn, L"not-a-guid");
    bad.AddChild(notGuid);
    EXPECT_EQ(CodeOf([&] { d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), bad, true); }),
              E_INVALIDARG);
    VXNodePtr nameless = containers.GetChild(std::wstring(kBranch), true).Clone();
    nameless.DeleteAttribute(L"Name", true);
    VXNodePtr bad2 = VXNodePtr::Create(L"Containers");
    bad2.AddChild(nameless);
    EXPECT_EQ(CodeOf([&] { d.provider->UpdateContainersSettings(d.CommonConnectionSettings(), bad2, true); }),
              HR_NOT_FOUND);
    EXPECT_EQ(CodeOf([&] { d.provider->UpdateContainersSettings(VXNodePtr(), containers, true); }),
              E_POINTER);

    // Missing meta information for a type that produces an entry.
    SampleDeployment empty(false);
    auto meta = std::make_shared<CReportingSettingsMetaStorage>(d.paths);
    CProductsSettingsProvider provider(d.server.Get(), d.mapping, meta, d.paths);
    provider.UpdateConnectionSettings(Tavrin, SampleDeployment::Wrapper(true), true);
    EXPECT_EQ(CodeOf([&] { provider.AccumulateProductsSettings(Tavrin); }), HR_NOT_FOUND);
    EXPECT_EQ(CodeOf([&] { CProductsSettingsProvider(nullptr, d.mapping, meta, d.paths); }), E_POINTER);
}
