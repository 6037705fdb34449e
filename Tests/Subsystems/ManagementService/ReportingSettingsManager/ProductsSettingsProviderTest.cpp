#include "ProviderTestSupport.h"

#include "Common/ConfigTree/NodeSerializer.h"

#include <gtest/gtest.h>

using namespace ProviderTestSupport;

namespace
{
const std::wstring kHq = L"{5B0C3A44-2F1E-4C8A-9D61-1A2B3C4D5E01}";
const std::wstring kBranch = L"{5B0C3A44-2F1E-4C8A-9D61-1A2B3C4D5E02}";
const std::wstring kLab = L"{5B0C3A44-2F1E-4C8A-9D61-1A2B3C4D5E03}";
const std::wstring kHqHistory = L"\\History\\Containers\\" + kHq;

std::vector<std::int64_t> ProductIds(const VXNodePtr& info)
{
    std::uint64_t size = 0; // stays 0 when the attribute is absent
    info.TryGetAttribute(L"ProductIds", 0x105, nullptr, size);
    std::vector<std::int64_t> ids(size / 8);
    info.TryGetAttribute(L"ProductIds", 0x105, ids.data(), size);
    return ids;
}

// The "ReportingSettingsType" (a 32-bit attribute) of every entry.
std::vector<std::int64_t> Types(const VXNodePtr& productsSettings)
{
    std::vector<std::int64_t> types;
    for (const VXNodePtr& info : productsSettings.GetChildren())
    {
        std::int32_t type = 0;
        std::uint64_t size = sizeof(type);
        info.TryGetAttribute(L"ReportingSettingsType", 3, &type, size);
        types.push_back(type);
    }
    return types;
}

std::string Serialized(const VXNodePtr& node)
{
    IVXNode* handle = node.Get();
    return SerializeNodesToString(&handle, 1, 0, kDepthAll);
}

bool Enabled(const VXNodePtr& connections, const std::wstring& container)
{
    return connections.GetChild(container, true).GetBoolAttribute(L"Enabled");
}

} // namespace

TEST(ProductsSettingsProviderTest, ProductAreasByStateAndOrder)
{
    SampleDeployment d;
    CProductsSettingsProvider& provider = *d.provider;
    EXPECT_EQ(provider.AccumulateProductsSettings(0x1FF).GetChildCount(), 0u); // nothing distributed yet

    provider.UpdateConnectionSettings(Orvane, d.Wrapper(true, L"Audit_Orvane"), true);
    provider.UpdateConnectionSettings(Quorl, d.Wrapper(false), true);
    provider.UpdateConnectionSettings(Pentrel, d.Wrapper(true, L"Audit_Pentrel"), true);
    provider.UpdateConnectionSettings(Tavrin, d.Wrapper(true), false); // history: once enabled
    provider.UpdateConnectionSettings(Dorv, d.Wrapper(true), false);   // never enabled
    provider.UpdateConnectionSettings(Lumic, d.Wrapper(true), true);

    EXPECT_EQ(provider.AccumulateProductsSettings(Common).GetChildCount(), 0u);
    VXNodePtr all = provider.AccumulateProductsSettings(0x1FF);
    // Quorl's inner settings are disabled and it has no "WasEverEnabled": nothing for it.
    EXPECT_EQ(Types(all), (std::vector<std::int64_t>{Pentrel, Tavrin, Lumic, Orvane}));

    VXNodePtr pentrel = all.GetChild(0);
    EXPECT_EQ(pentrel.GetType(), L"ProductDatabaseInfoNodeType");
    EXPECT_EQ(ProductIds(pentrel), std::vector<std::int64_t>{1008});
    EXPECT_TRUE(pentrel.GetBoolAttribute(L"Mandatory"));
    EXPECT_EQ(pentrel.GetInt64Attribute(L"DatabaseVersion"), 13); // the newest audited system kind
    EXPECT_FALSE(pentrel.GetBoolAttribute(L"VersionCheckRequired"));
    EXPECT_EQ(pentrel.GetInt64Attribute(L"DatabaseSchemaType"), 8);
    EXPECT_EQ(pentrel.GetStringAttribute(L"Database"), L"Audit_Pentrel");
    // Tavrin: the fixed flag even when only once enabled.
    EXPECT_TRUE(all.GetChild(1).GetBoolAttribute(L"Mandatory"));
    EXPECT_FALSE(all.GetChild(1).HasAttribute(L"ProductIds"));

    // Enabled distribution leaves a mark in the store; a disabled one does not.
    EXPECT_TRUE(d.Read(L"\\History\\Vaskor").GetBoolAttribute(L"WasEverEnabled"));
    EXPECT_FALSE(d.Read(L"\\History\\Dorv", false).IsValid());

    // Once enabled, a Pentrel disabled later is still reported, not mandatory.
    provider.UpdateConnectionSettings(Pentrel, d.Wrapper(false), true);
    EXPECT_FALSE(provider.AccumulateProductsSettings(Pentrel).GetChild(0).GetBoolAttribute(L"Mandatory"));

    // Quorl reports the one fixed id, never mandatory.
    provider.UpdateConnectionSettings(Quorl, d.Wrapper(true), true);
    VXNodePtr quorl = provider.AccumulateProductsSettings(Quorl).GetChild(0);
    EXPECT_EQ(ProductIds(quorl), std::vector<std::int64_t>{0x7FFFFFFFFFFFFFFFLL});
    EXPECT_FALSE(quorl.GetBoolAttribute(L"Mandatory"));

    // Meta information without a collector code yields no entry for the type.
    d.meta->FindMetaInformation(Orvane, true).DeleteAttribute(L"DatabaseCollectorCode", true);
    EXPECT_EQ(provider.AccumulateProductsSettings(Orvane).GetChildCount(), 0u);

    EXPECT_EQ(CodeOf([&] { provider.UpdateConnectionSettings(Dorv, VXNodePtr(), true); }), E_POINTER);
}

TEST(ProductsSettingsProviderTest, ContainersFollowEveryChange)
{
    SampleDeployment d;
    CProductsSettingsProvider& provider = *d.provider;
    VXNodePtr containers = d.Read(d.paths->PathOf(Containers));
    VXNodePtr common = d.CommonConnectionSettings();
    provider.UpdateContainersSettings(common, containers, true);

    VXNodePtr connections = provider.SettingsOf(Containers);
    EXPECT_EQ(connections.GetChildCount(), 3u); // the share lacks reporting settings: skipped

    VXNodePtr hq = connections.GetChild(kHq, true);
    EXPECT_EQ(hq.GetType(), L"CreateSessionRequest");
    EXPECT_TRUE(hq.GetBoolAttribute(L"Enabled"));
    EXPECT_EQ(hq.GetStringAttribute(L"DbName"), L"Audit_HQ_Files");
    EXPECT_EQ(hq.GetStringAttribute(L"Name"), L"Headquarters File Servers");
    EXPECT_EQ(FormatGuid(hq.GetGuidAttribute(L"ContainerId"), 0), kHq);
    EXPECT_EQ(hq.GetStringAttribute(L"SQLInstance"), L"SQLPROD01\\AUDIT");
    EXPECT_FALSE(hq.HasAttribute(L"Database")); // the database never comes from the common settings
    ASSERT_EQ(hq.GetChildCount(), 1u);          // one enabled miscellaneous setting
    EXPECT_EQ(hq.GetChild(0).GetStringAttribute(L"Database"), L"Archive_HQ");
    // The connection node's instance wins over the miscellaneous setting's.
    EXPECT_EQ(hq.GetChild(0).GetStringAttribute(L"SQLInstance"), L"SQLPROD01\\AUDIT");
    EXPECT_FALSE(Enabled(connections, kLab));

    // History: marks for enabled containers, audited systems of enabled systems only.
    EXPECT_TRUE(d.Read(kHqHistory).GetBoolAttribute(L"WasEverEnabled"));
    VXNodePtr systems = d.Read(kHqHistory + L"\\AuditedSystems");
    EXPECT_EQ(systems.GetChildCount(), 2u);
    EXPECT_EQ(systems.GetChild(0).GetType(), L"AuditedSystem");

    // Entries: HQ and its extra request, the branch and its extra, the lab (once enabled).
    VXNodePtr products = provider.AccumulateProductsSettings(Containers);
    ASSERT_EQ(products.GetChildCount(), 5u);
    EXPECT_TRUE(products.GetChild(0).GetBoolAttribute(L"Mandatory"));
    EXPECT_EQ(ProductIds(products.GetChild(0)), (std::vector<std::int64_t>{2001, 2002}));
    EXPECT_FALSE(products.GetChild(1).GetBoolAttribute(L"Mandatory"));
    EXPECT_EQ(products.GetChild(1).GetStringAttribute(L"Name"), L"Headquarters File Servers");
    EXPECT_FALSE(products.GetChild(4).GetBoolAttribute(L"Mandatory")); // the lab

    // An identical second run changes nothing.
    std::string before = Serialized(connections);
    provider.UpdateContainersSettings(common, containers, true);
    EXPECT_EQ(before, Serialized(provider.SettingsOf(Containers)));

    // A container's own change, deep in its miscellaneous settings.
    FindNodeByPath(containers,
                   L"\\Containers\\" + kHq + L"\\ReportingSettings\\MiscReportingSettings\\Extra2", 1)
        .SetBoolAttribute(L"Enabled", true);
    provider.UpdateContainersSettings(common, containers, true);
    EXPECT_EQ(connections.GetChild(kHq, true).GetChildCount(), 2u);

    // A change of the common settings reaches every container.
    common.SetStringAttribute(L"SQLInstance", L"SQLNEW");
    provider.UpdateContainersSettings(common, containers, true);
    VXNodePtr branch = connections.GetChild(kBranch, true);
    EXPECT_EQ(branch.GetStringAttribute(L"SQLInstance"), L"SQLNEW");

    // A connection node changed behind the provider's back is rebuilt.
    branch.SetStringAttribute(L"DbName", L"tampered");
    provider.UpdateContainersSettings(common, containers, true);
    EXPECT_EQ(branch.GetStringAttribute(L"DbName"), L"Audit_Branch_Mail");

    // A vanished container is retired: disabled in memory, history removed at commit. Back again,
    // it is enabled and its history written again.
    VXNodePtr fewer = containers.Clone();
    fewer.RemoveChild(0);
    provider.UpdateContainersSettings(common, fewer, true);
    EXPECT_FALSE(Enabled(connections, kHq));
    EXPECT_FALSE(d.Read(kHqHistory, false).IsValid());
    provider.UpdateContainersSettings(common, containers, true);
    EXPECT_TRUE(Enabled(connections, kHq));
    EXPECT_TRUE(d.Read(kHqHistory).GetBoolAttribute(L"WasEverEnabled"));

    // A partial update leaves the containers disabled, the next full one enables them again.
    provider.UpdateContainersSettings(common, containers, false);
    EXPECT_FALSE(Enabled(connections, kHq));
    provider.UpdateContainersSettings(common, containers, true);
    EXPECT_TRUE(Enabled(connections, kHq));

    // Common settings disabled: containers disabled, yet still marked once enabled.
    provider.UpdateContainersSettings(d.CommonConnectionSettings(false), containers, true);
    EXPECT_FALSE(Enabled(connections, kBranch));
    EXPECT_TRUE(d.Read(kHqHistory).GetBoolAttribute(L"WasEverEnabled"));
}

TEST(ProductsSettingsProviderTest, FailuresEndTheUpdateAndNothingReachesTheStore)
{
    SampleDeployment d;
    CProductsSettingsProvider& provider = *d.provider;
    VXNodePtr containers = d.Read(d.paths->PathOf(Containers));
    VXNodePtr common = d.CommonConnectionSettings();
    for (const wchar_t* operation : {L"PutNodes", L"CommitTransaction", L"CreateTransaction", L"GetService"})
    {
        ASSERT_EQ(ConfigServerInjectFault(d.proxy.Get(), operation, 1, MakeHr(0x80041234)), S_OK);
        EXPECT_EQ(CodeOf([&] { provider.UpdateContainersSettings(common, containers, true); }),
                  MakeHr(0x80041234))
            << operation;
        ConfigServerClearFaults(d.proxy.Get());
        EXPECT_FALSE(d.Read(kHqHistory, false).IsValid()) << operation;
    }

    // A failing removal of a retired container's history keeps that history; so does a failing
    // commit, while the retirement made in memory stays.
    provider.UpdateContainersSettings(common, containers, true);
    VXNodePtr fewer = containers.Clone();
    fewer.RemoveChild(0);
    for (const wchar_t* operation : {L"RemoveNodes", L"CommitTransaction"})
    {
        ASSERT_EQ(ConfigServerInjectFault(d.proxy.Get(), operation, 1, E_ACCESSDENIED), S_OK);
        EXPECT_EQ(CodeOf([&] { provider.UpdateContainersSettings(common, fewer, true); }), E_ACCESSDENIED);
        EXPECT_TRUE(d.Read(kHqHistory, false).IsValid()) << operation;
    }
    EXPECT_FALSE(Enabled(provider.SettingsOf(Containers), kHq));

    // Malformed containers: a name that is no GUID, no "Name" attribute.
    auto updateWithBranch = [&](const std::function<void(VXNodePtr&)>& spoil)
    {
        VXNodePtr branch = containers.GetChild(kBranch, true).Clone();
        spoil(branch);
        VXNodePtr bad = VXNodePtr::Create(L"Containers");
        bad.AddChild(branch);
        return CodeOf([&] { provider.UpdateContainersSettings(common, bad, true); });
    };
    EXPECT_EQ(updateWithBranch([](VXNodePtr& c) { c.SetName(kNameOwn, L"not-a-guid"); }), E_INVALIDARG);
    EXPECT_EQ(updateWithBranch([](VXNodePtr& c) { c.DeleteAttribute(L"Name", true); }), HR_NOT_FOUND);
    EXPECT_EQ(CodeOf([&] { provider.UpdateContainersSettings(VXNodePtr(), containers, true); }), E_POINTER);

    // Missing meta information for a type that produces an entry.
    auto meta = std::make_shared<CReportingSettingsMetaStorage>(d.paths);
    CProductsSettingsProvider bare(d.server.Get(), d.mapping, meta, d.paths);
    bare.UpdateConnectionSettings(Tavrin, d.Wrapper(true), true);
    EXPECT_EQ(CodeOf([&] { bare.AccumulateProductsSettings(Tavrin); }), HR_NOT_FOUND);
    EXPECT_EQ(CodeOf([&] { CProductsSettingsProvider(nullptr, d.mapping, meta, d.paths); }), E_POINTER);
}

TEST(ProductsSettingsProviderTest, AnIdenticalUpdateRepeatsEveryStep)
{
    SampleDeployment d;
    CProductsSettingsProvider& provider = *d.provider;
    VXNodePtr containers = d.Read(d.paths->PathOf(Containers));
    VXNodePtr common = d.CommonConnectionSettings();
    provider.UpdateContainersSettings(common, containers, true);

    // The log lines and trace points of every container, the second time too.
    {
        TestSupport::LogCapture log;
        provider.UpdateContainersSettings(common, containers, true);
        EXPECT_EQ(log.Find(Logging::Dbg, L"Updating product settings for container ").size(), 4u);
        EXPECT_EQ(log.Find(Logging::Dbg, L"Storing connection settings for container ").size(), 3u);
        EXPECT_EQ(log.Find(Logging::Dbg, L"Updating miscellaneous reporting settings ").size(), 2u);
        EXPECT_EQ(log.Find(Logging::Dbg, L"Storing audited systems for container " + kHq).size(), 1u);
        EXPECT_EQ(log.Find(Logging::Dbg, L"Entering: ManagementService::CProductsSettingsProvider::"
                                         L"IntStoreContainerConnectionSettings")
                      .size(),
                  3u);
    }

    // History that someone else removed is written again, so the container keeps its products.
    VXNodePtr query = MakePathQuery(kHqHistory, false, kDepthAll);
    ASSERT_EQ(d.storage->RemoveNodes(nullptr, query.Get()), S_OK);
    provider.UpdateContainersSettings(common, containers, true);
    ASSERT_TRUE(d.Read(kHqHistory, false).IsValid());
    EXPECT_TRUE(d.Read(kHqHistory).GetBoolAttribute(L"WasEverEnabled"));
    VXNodePtr products = provider.AccumulateProductsSettings(Containers);
    ASSERT_GT(products.GetChildCount(), 0u);
    EXPECT_EQ(ProductIds(products.GetChild(0)), (std::vector<std::int64_t>{2001, 2002}));

    // The writes are made, so their failures are seen.
    for (const wchar_t* operation : {L"PutNodes", L"CommitTransaction"})
    {
        ASSERT_EQ(ConfigServerInjectFault(d.proxy.Get(), operation, 1, MakeHr(0x80041235)), S_OK);
        EXPECT_EQ(CodeOf([&] { provider.UpdateContainersSettings(common, containers, true); }),
                  MakeHr(0x80041235))
            << operation;
        ConfigServerClearFaults(d.proxy.Get());
    }
}

TEST(ProductsSettingsProviderTest, ContainersDifferingOnlyInTheirDatabaseName)
{
    SampleDeployment d;
    CProductsSettingsProvider& provider = *d.provider;
    VXNodePtr common = d.CommonConnectionSettings();
    auto containerWith = [&](const std::wstring& database)
    {
        VXNodePtr containers = VXNodePtr::Create(L"Containers");
        VXNodePtr container = VXNodePtr::Create(kHq.c_str(), L"Container");
        container.SetStringAttribute(L"Name", L"Headquarters");
        VXNodePtr reporting = VXNodePtr::Create(L"ReportingSettings");
        reporting.SetBoolAttribute(L"Enabled", true);
        reporting.SetStringAttribute(L"Database", database);
        container.AddChild(reporting);
        containers.AddChild(container);
        return containers;
    };
    // Names of eight characters whose content hashes (as a data layer might compute them) were
    // built to be equal: only a comparison of the content itself tells them apart.
    const std::wstring first = L"\x0054\x0045\x0051\x004B\x3267\x299E\x5D9F\xA263";
    const std::wstring second = L"\xB884\x046E\xE3B5\xF7CC\xCD98\xD661\xA260\x5D9C";
    provider.UpdateContainersSettings(common, containerWith(first), true);
    EXPECT_EQ(provider.SettingsOf(Containers).GetChild(kHq, true).GetStringAttribute(L"DbName"), first);
    provider.UpdateContainersSettings(common, containerWith(second), true);
    EXPECT_EQ(provider.SettingsOf(Containers).GetChild(kHq, true).GetStringAttribute(L"DbName"), second);
}
