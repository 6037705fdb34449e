// The manager as a host sees it: the module's one export and object, the manager loaded with dlopen,
// configured from the sample deployment on the real configuration server, driven through its
// interfaces and the server's storage service.
#include "ManagerHostSupport.h"

#include <cstdio>

namespace
{
using namespace ManagerHost;

constexpr HRESULT kInvalidState = MakeHr(0x8007139F);

struct Configured
{
    Deployment deployment;
    InterfacePtr<IReportingSettingsManager> manager;

    explicit Configured(const std::wstring& store = L"memory:", std::int64_t republishSeconds = 0)
        : deployment(store), manager(deployment.CreateManager())
    {
        EXPECT_EQ(Deployment::Configure(manager.Get(), deployment.Config(1, republishSeconds)), S_OK);
    }
    ~Configured()
    {
        EXPECT_EQ(Deployment::Shutdown(manager.Get()), S_OK);
        manager.Reset();
        EXPECT_EQ(ObjectsInUse(), 0u);
    }
};

Node OnlyRequest(const Node& container)
{
    EXPECT_EQ(container.Name(), L"ConnectionSettingsContainer");
    EXPECT_EQ(container.ChildCount(), 1u);
    Node request = container.ChildAt(0);
    EXPECT_EQ(request.Type(), L"CreateSessionRequest");
    return request;
}

HRESULT CreateManager(const GUID* iid, void** ppv)
{
    return Module()->CreateInstance(&CLSID_ReportingSettingsManager, iid, ppv);
}

void* const kSentinel = reinterpret_cast<void*>(0x5A5A);

TEST(ModuleHost, ExportsOnlyTheModuleObjectWhichIsNotCounted)
{
    std::vector<std::string> exported;
    FILE* nm = popen("nm -D --defined-only --format=just-symbols '" RSM_MODULE_PATH "'", "r");
    char line[4096];
    while (nm != nullptr && std::fgets(line, sizeof(line), nm) != nullptr)
    {
        exported.emplace_back(line, std::strcspn(line, "\n"));
    }
    EXPECT_TRUE(nm != nullptr && pclose(nm) == 0) << "nm cannot be run";
    EXPECT_EQ(exported, std::vector<std::string>{"GetComponentsModuleObject"});

    IComponentsModule* module = Module();
    auto getModule = reinterpret_cast<PFN_GetComponentsModuleObject>(
        dlsym(dlopen(RSM_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD), "GetComponentsModuleObject"));
    EXPECT_EQ(getModule(nullptr), E_INVALIDARG);
    EXPECT_EQ(module->AddRef(), 0xFFFFFFFFu);
    EXPECT_EQ(module->Release(), 0xFFFFFFFFu);

    void* p = kSentinel;
    EXPECT_EQ(module->QueryInterface(nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(module->QueryInterface(&IID_IComponentBase, nullptr), E_INVALIDARG);
    EXPECT_EQ(module->QueryInterface(&IID_IConfigServerProxy, &p), E_NOINTERFACE);
    EXPECT_EQ(p, kSentinel);
    void* primary = nullptr;
    ASSERT_EQ(module->QueryInterface(&IID_IComponentBase, &primary), S_OK);
    void* viaPrimary = nullptr;
    ASSERT_EQ(static_cast<IComponentBase*>(primary)->QueryInterface(&IID_IComponentsModule, &viaPrimary),
              S_OK);
    EXPECT_EQ(viaPrimary, static_cast<void*>(module));
    EXPECT_EQ(module->IsModuleLocked(nullptr), E_POINTER);
    EXPECT_EQ(module->LockModule(), 1u);
    EXPECT_EQ(ObjectsInUse(), 1u);
    EXPECT_EQ(module->UnlockModule(), 0u);

    EXPECT_EQ(module->CreateInstance(&IID_IReportingSettingsManager, &IID_IComponentBase, &p),
              REGDB_E_CLASSNOTREG); // an interface id is no class id
    EXPECT_EQ(module->CreateInstance(nullptr, &IID_IComponentBase, &p), E_INVALIDARG);
    EXPECT_EQ(p, kSentinel);
    EXPECT_EQ(ObjectsInUse(), 0u);
}

TEST(ModuleHost, ManagerNeedsAUsableProxy)
{
    void* p = kSentinel;
    EXPECT_EQ(CreateManager(&IID_IReportingSettingsManager, &p), HR_NOT_FOUND);
    // The description of the error information the failing call left on this thread.
    IErrorInfo* info = nullptr;
    BSTR text = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    info->GetDescription(&text);
    info->Release();
    EXPECT_EQ(std::wstring(text).rfind(L"0x80070490 ", 0), 0u);
    SysFreeString(text);
    EXPECT_GT(LogCount("ManagementService::CReportingSettingsManager::FinalConstruct failed: 0x80070490 "),
              0u);

    // A named instance that is no proxy; a proxy whose server cannot be had.
    ASSERT_EQ(RLRegisterNamedInstance(L"ConfigServer.Proxy", Module()), S_OK);
    EXPECT_EQ(CreateManager(&IID_IComponentBase, &p), E_NOINTERFACE);
    Deployment d;
    ASSERT_EQ(ConfigServerInjectFault(d.proxy.Get(), L"GetConfigServer", 1, E_ACCESSDENIED), S_OK);
    EXPECT_EQ(CreateManager(&IID_IComponentBase, &p), E_ACCESSDENIED);
    const auto refs = [](IComponentBase* object)
    {
        object->AddRef();
        return object->Release();
    };
    const std::uint32_t proxyRefs = refs(d.proxy.Get());
    // With a usable proxy: an interface the manager lacks, null arguments.
    EXPECT_EQ(CreateManager(&IID_IConfigServer, &p), E_NOINTERFACE);
    EXPECT_EQ(CreateManager(nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(CreateManager(&IID_IComponentBase, nullptr), E_INVALIDARG);
    EXPECT_EQ(p, kSentinel);
    EXPECT_EQ(ObjectsInUse(), 0u);

    // With a usable proxy. Every test reaches the manager's other interfaces through it.
    ASSERT_EQ(CreateManager(&IID_IReportingSettingsManager, &p), S_OK);
    auto* manager = static_cast<IReportingSettingsManager*>(p);
    EXPECT_EQ(ObjectsInUse(), 1u);
    EXPECT_EQ(refs(d.proxy.Get()), proxyRefs); // released after use
    void* untouched = kSentinel;
    EXPECT_EQ(manager->QueryInterface(&IID_IConfigServerProxy, &untouched), E_NOINTERFACE);
    EXPECT_EQ(manager->QueryInterface(nullptr, &untouched), E_INVALIDARG);
    EXPECT_EQ(untouched, kSentinel);
    // Never configured: there is nothing to stop, twice.
    EXPECT_EQ(Deployment::Shutdown(manager), S_OK);
    EXPECT_EQ(Deployment::Shutdown(manager), S_OK);
    EXPECT_EQ(manager->Release(), 0u);
    EXPECT_EQ(ObjectsInUse(), 0u);
}

TEST(ManagerHost, ConfigureBuildsEveryTypeFromTheStoreAndReadsCheckTheirArguments)
{
    Configured c;
    IReportingSettingsManager* m = c.manager.Get();

    Node common = OnlyRequest(Acquire(m, 1));
    EXPECT_EQ(common.String(L"SQLInstance"), L"SQLPROD01\\AUDIT");
    EXPECT_EQ(common.String(L"Database"), L"Audit_Common");
    EXPECT_EQ(common.Bool(L"Enabled"), 1);
    EXPECT_EQ(common.Bool(L"VersionCheckRequired"), 0);
    EXPECT_FALSE(common.Has(L"DatabaseVersion"));

    // Quorl uses the default: common server and credentials, its own database and version.
    Node quorl = OnlyRequest(Acquire(m, 4));
    EXPECT_EQ(quorl.String(L"SQLInstance"), L"SQLPROD01\\AUDIT");
    EXPECT_EQ(quorl.String(L"UserName"), L"svc_reporting");
    EXPECT_EQ(quorl.String(L"Database"), L"Audit_Quorl");
    EXPECT_EQ(quorl.Bool(L"UseDefault"), 1);
    EXPECT_EQ(quorl.Int64(L"DatabaseVersion"), 7);

    // Pentrel has its own database but the common instance; its version is the containers' newest.
    Node pentrel = OnlyRequest(Acquire(m, 8));
    EXPECT_EQ(pentrel.String(L"SQLInstance"), L"SQLPROD01\\AUDIT");
    EXPECT_EQ(pentrel.String(L"UserName"), L"svc_pentrel");
    EXPECT_EQ(pentrel.Int64(L"DatabaseVersion"), 13);

    // Tavrin is disabled itself, yet carries the common enabled flag and its custom script.
    Node tavrin = OnlyRequest(Acquire(m, 32));
    EXPECT_EQ(tavrin.Bool(L"Enabled"), 1);
    EXPECT_EQ(tavrin.String(L"CustomScript"), L"EXEC dbo.PrepareTavrin");
    // Dorv has no database name of its own: the empty one.
    EXPECT_EQ(OnlyRequest(Acquire(m, 16)).String(L"Database"), L"");
    // Skellan: its settings node is disabled and Skellan is not enabled always.
    EXPECT_EQ(OnlyRequest(Acquire(m, 128)).Bool(L"Enabled"), 0);

    // Anything else: an empty container; results are copies the caller owns.
    EXPECT_EQ(Acquire(m, 3).ChildCount(), 0u);
    EXPECT_EQ(Acquire(m, 0x80000000u).ChildCount(), 0u);
    Acquire(m, 4).ChildAt(0).SetString(L"Database", L"Changed");
    EXPECT_EQ(OnlyRequest(Acquire(m, 4)).String(L"Database"), L"Audit_Quorl");
    EXPECT_EQ(m->AcquireConnectionSettings(4, nullptr), E_POINTER);

    // The other read operations, and their arguments.
    Node result;
    EXPECT_EQ(m->AcquireCommonConnectionSettings(0, nullptr, nullptr), E_POINTER);
    ASSERT_EQ(m->AcquireCommonConnectionSettings(1, nullptr, result.Out()), S_OK);
    EXPECT_EQ(result.String(L"Database"), L"Audit_Common");

    // A given common node is converted only when the cache has nothing usable.
    Node stored = c.deployment.Read(L"\\Settings\\Reporting\\Common");
    stored.Delete(L"DatabaseName");
    stored.SetString(L"SqlServerInstance", L"OTHER");
    Node converted;
    ASSERT_EQ(m->AcquireCommonConnectionSettings(0, stored.Get(), converted.Out()), S_OK);
    EXPECT_EQ(converted.String(L"SQLInstance"), L"SQLPROD01\\AUDIT");

    EXPECT_EQ(m->ConvertReportingSettings(nullptr, 1, result.Out()), E_POINTER);
    EXPECT_EQ(m->ConvertReportingSettings(stored.Get(), 1, nullptr), E_POINTER);
    Node asCommon;
    ASSERT_EQ(m->ConvertReportingSettings(stored.Get(), 1, asCommon.Out()), S_OK);
    EXPECT_EQ(asCommon.String(L"SQLInstance"), L"OTHER");
    EXPECT_EQ(asCommon.String(L"Database"), L"Audit_Common"); // from the meta information
    // As a container's settings not using the default: the common instance is put in.
    Node container = Node::Create(L"ReportingSettings", L"ContainerReportingSettings");
    container.SetString(L"DatabaseName", std::wstring(5000, L'x'));
    Node asContainer;
    ASSERT_EQ(m->ConvertReportingSettings(container.Get(), 0, asContainer.Out()), S_OK);
    EXPECT_EQ(asContainer.String(L"SQLInstance"), L"SQLPROD01\\AUDIT");
    EXPECT_EQ(asContainer.Int64(L"DatabaseVersion"), 13);
    EXPECT_EQ(container.String(L"SqlServerInstance"), L"SQLPROD01\\AUDIT");

    EXPECT_EQ(m->AcquireProductsSettings(0x1F8, nullptr), E_POINTER);
    Node products;
    ASSERT_EQ(m->AcquireProductsSettings(0xFFFFFFFF, products.Out()), S_OK);
    EXPECT_EQ(products.Name(), L"ProductsSettings");
    EXPECT_GT(products.ChildCount(), 0u);
}

TEST(ManagerHost, EnablingAProductAreaStoresItsRecordAndRebuilds)
{
    Configured c;
    IReportingSettingsManager* m = c.manager.Get();

    for (std::uint32_t invalid : {1u, 2u, 4u, 3u, 0x200u, 0xFFFFFFFFu})
    {
        EXPECT_EQ(m->SetReportingSettingsEnabled(invalid, 1), HR_INVALID_DATA) << invalid;
    }
    EXPECT_GT(LogCount("Invalid assignment for nondefault reporting settings"), 0u);
    EXPECT_GT(LogCount("ReportingSettingsManager:411"), 0u);
    EXPECT_GT(LogCount("ManagementService::CReportingSettingsManager::SetReportingSettingsEnabled failed: "
                       "0x8007000D"),
              0u);
    EXPECT_EQ(m->SetReportingSettingsEnabled(8 | 16, 1), HR_RSM_ERROR_1);
    EXPECT_EQ(m->SetReportingSettingsEnabled(0, 1), HR_RSM_ERROR_1);

    // Skellan disabled -> enabled: the record at the suffix path, a rebuild handed to subscribers'
    // readers at once.
    ASSERT_EQ(m->SetReportingSettingsEnabled(128, 7), S_OK);
    Node record = c.deployment.Read(L"\\Settings\\Products\\Skellan\\Reporting\\Database");
    EXPECT_EQ(record.Bool(L"Enabled"), 1);
    EXPECT_EQ(record.Type(), L"ReportingSettings");
    EXPECT_EQ(record.String(L"SqlUserName"), L"svc_skellan"); // merged, not replaced

    // Dorv has no suffix: the settings node itself.
    ASSERT_EQ(m->SetReportingSettingsEnabled(16, 0), S_OK);
    EXPECT_EQ(c.deployment.Read(L"\\Settings\\Products\\Dorv").Bool(L"Enabled"), 0);

    // Already in the requested state: nothing is written.
    Node before = c.deployment.Read(L"\\Settings\\Products\\Pentrel");
    ASSERT_EQ(m->SetReportingSettingsEnabled(8, 1), S_OK);
    EXPECT_EQ(c.deployment.Read(L"\\Settings\\Products\\Pentrel").Serialized(), before.Serialized());
}

TEST(ManagerHost, SubscribersGetTheirTypesAndRemoveByCookie)
{
    Configured c;
    IReportingSettingsManager* m = c.manager.Get();
    Subscriber a;
    Subscriber b;
    Node cookie;

    EXPECT_EQ(m->CreateReportingSettingsSubscription(8, nullptr, cookie.Out()), E_POINTER);
    EXPECT_EQ(m->CreateReportingSettingsSubscription(8, &a, nullptr), E_POINTER);
    EXPECT_GT(LogCount("CreateReportingSettingsSubscription failed: 0x80004003"), 0u);
    EXPECT_EQ(m->RemoveReportingSettingsSubscription(nullptr), E_POINTER);
    Node bare = Node::Create(nullptr, L"SubscriptionCookie");
    EXPECT_EQ(m->RemoveReportingSettingsSubscription(bare.Get()), HR_NOT_FOUND);

    Node cookieA = Subscribe(m, 8 | 64, a);
    EXPECT_EQ(cookieA.Type(), L"SubscriptionCookie");
    EXPECT_TRUE(cookieA.Has(L"SubscriptionId"));
    // Each new subscriber is told the cached types of its mask, in ascending order, alone.
    std::vector<Subscriber::Received> first = a.WaitTake(2);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].type, 8u);
    EXPECT_EQ(first[1].type, 64u);
    EXPECT_EQ(first[0].periodic, 0u);
    EXPECT_EQ(first[0].node.Name(), L"ConnectionSettingsContainer");

    Node cookieB = Subscribe(m, 0x1FF, b);
    EXPECT_EQ(b.WaitTake(9).size(), 9u);
    EXPECT_EQ(a.Count(), 0u);

    EXPECT_EQ(m->RemoveReportingSettingsSubscription(cookieA.Get()), S_OK);
    EXPECT_EQ(m->RemoveReportingSettingsSubscription(cookieA.Get()), HR_NOT_FOUND);
    EXPECT_GT(LogCount("RemoveReportingSettingsSubscription failed: 0x80070490"), 0u);
    EXPECT_EQ(a.refs, 0u);
    EXPECT_EQ(m->RemoveReportingSettingsSubscription(cookieB.Get()), S_OK);
}

TEST(ManagerHost, RepublishesEveryCachedTypePeriodically)
{
    Configured c(L"memory:", 1);
    Subscriber s;
    Node cookie = Subscribe(c.manager.Get(), 4 | 2, s);
    const auto periodicContainers = [](const Subscriber::Received& item)
    { return item.periodic == 1 && item.type == 2; };
    EXPECT_TRUE(WaitFor([&] { return std::ranges::any_of(s.Take(), periodicContainers); }));
    EXPECT_EQ(c.manager->RemoveReportingSettingsSubscription(cookie.Get()), S_OK);
}

// The same flow of changes on the in-memory store and on SQLite (a file in the log folder, which is
// emptied when the module is loaded).
class ChangeHandling : public ::testing::TestWithParam<bool>
{
};

TEST_P(ChangeHandling, ChangesReachTheSubscribersOfTheirType)
{
    Module();
    const std::filesystem::path file = std::filesystem::path(LogFolder()) / "store.db";
    Configured c(GetParam() ? L"sqlite:" + file.wstring() : L"memory:");
    IReportingSettingsManager* m = c.manager.Get();
    Subscriber quorl;
    Subscriber others;
    Subscriber containers;
    Subscriber common;
    Node cq = Subscribe(m, 4, quorl);
    Node co = Subscribe(m, 8 | 16 | 128, others);
    Node cc = Subscribe(m, 2, containers);
    Node c1 = Subscribe(m, 1, common);
    quorl.WaitTake(1);
    others.WaitTake(3);
    containers.WaitTake(1);
    common.WaitTake(1);

    // A product area change reaches its type's subscribers only.
    ASSERT_EQ(c.deployment.WriteString(L"\\Settings\\Products\\Quorl", L"DatabaseName", L"Audit_Quorl_2"),
              S_OK);
    std::vector<Subscriber::Received> got = quorl.WaitTake(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, 4u);
    EXPECT_EQ(OnlyRequest(got[0].node).String(L"Database"), L"Audit_Quorl_2");
    EXPECT_EQ(OnlyRequest(Acquire(m, 4)).String(L"Database"), L"Audit_Quorl_2");
    EXPECT_GT(LogCount("Config path updated: \\Settings\\Products\\Quorl"), 0u);

    // Writing equal settings or meta information tells nobody.
    ASSERT_EQ(c.deployment.WriteString(L"\\Settings\\Products\\Quorl", L"DatabaseName", L"Audit_Quorl_2"),
              S_OK);
    Node meta = c.deployment.Read(L"\\Meta\\ReportingSettings\\Quorl");
    meta.SetInt64(L"DatabaseVersion", 99);
    ASSERT_EQ(c.deployment.Write(L"\\Meta\\ReportingSettings\\Quorl", meta), S_OK);

    // A container added: type 2 subscribers get every container's settings.
    Node added = Node::Create(nullptr, L"Container");
    added.SetString(L"Name", L"New Share");
    Node reporting = Node::Create(L"ReportingSettings", L"ContainerReportingSettings");
    reporting.SetBool(L"Enabled", true);
    reporting.SetString(L"Database", L"Audit_New");
    ASSERT_EQ(VxnAddChild(added.Get(), reporting.Get()), S_OK);
    ASSERT_EQ(c.deployment.Write(L"\\Containers\\{5B0C3A44-2F1E-4C8A-9D61-1A2B3C4D5E05}", added), S_OK);
    got = containers.WaitTake(1);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].node.ChildCount(), 4u);
    EXPECT_NE(got[0].node.Serialized().find("Audit_New"), std::string::npos);
    EXPECT_EQ(quorl.Count(), 0u);
    EXPECT_EQ(others.Count(), 0u);

    // An enabled common change: its own item, the containers resynchronised, and every product
    // area's suffix node stored with "UseDefault" true.
    ASSERT_EQ(
        c.deployment.WriteString(L"\\Settings\\Reporting\\Common", L"SqlServerInstance", L"SQLNEW\\AUDIT"),
        S_OK);
    got = common.WaitTake(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(OnlyRequest(got[0].node).String(L"SQLInstance"), L"SQLNEW\\AUDIT");
    EXPECT_TRUE(WaitFor([&] { return containers.Count() >= 1; }));
    EXPECT_TRUE(WaitFor([&] { return others.Count() >= 3; }));
    EXPECT_EQ(OnlyRequest(Acquire(m, 16)).String(L"SQLInstance"), L"SQLNEW\\AUDIT");
    // Quorl is no product area: it keeps its settings until they change.
    EXPECT_EQ(OnlyRequest(Acquire(m, 4)).String(L"SQLInstance"), L"SQLPROD01\\AUDIT");
    EXPECT_EQ(c.deployment.Read(L"\\Settings\\Products\\Pentrel\\Reporting\\Database").Bool(L"UseDefault"),
              1);
    EXPECT_EQ(c.deployment.Read(L"\\Settings\\Products\\Dorv").Bool(L"UseDefault"), 1);
    Node skellan = c.deployment.Read(L"\\Settings\\Products\\Skellan\\Reporting\\Database");
    EXPECT_EQ(skellan.Bool(L"UseDefault"), 1);
    EXPECT_EQ(skellan.Bool(L"Enabled"), 0); // its area is disabled: never switched on here
    EXPECT_GT(LogCount("Distributing common reporting settings for type: 256"), 0u);
    // Pentrel now uses the default: the common instance, its own database name kept.
    Node pentrel = OnlyRequest(Acquire(m, 8));
    EXPECT_EQ(pentrel.String(L"SQLInstance"), L"SQLNEW\\AUDIT");
    EXPECT_EQ(pentrel.String(L"Database"), L"Audit_Pentrel");

    for (Node* cookie : {&cq, &co, &cc, &c1})
    {
        EXPECT_EQ(m->RemoveReportingSettingsSubscription(cookie->Get()), S_OK);
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, ChangeHandling, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Sqlite" : "Memory"; });

TEST(ManagerHost, ShutdownDeliversWhatWasQueuedAndThenNothing)
{
    Deployment d;
    InterfacePtr<IReportingSettingsManager> m = d.CreateManager();
    ASSERT_EQ(Deployment::Configure(m.Get(), d.Config()), S_OK);
    // A second Configure is refused and leaves the first one working.
    EXPECT_EQ(Deployment::Configure(m.Get(), d.Config()), kInvalidState);
    EXPECT_GT(LogCount("ManagementService::CReportingSettingsManager::Configure failed: 0x8007139F"), 0u);

    // A configured manager holds itself: released by the host, it is still alive.
    InterfacePtr<IComponentShutdown> shutdown =
        Deployment::As<IComponentShutdown>(m.Get(), IID_IComponentShutdown);
    Subscriber slow;
    std::atomic<bool> shutDown{false};
    std::atomic<int> late{0};
    slow.onCall = [&](std::uint32_t)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        late += shutDown ? 1 : 0;
    };
    Node cookie = Subscribe(m.Get(), 0x1FF, slow);
    m.Reset();
    EXPECT_GT(ObjectsInUse(), 0u);
    const std::size_t dumps = LogCount("Alive component objects: ");
    const std::size_t managers = LogCount("ManagementService::CReportingSettingsManager>");
    EXPECT_EQ(Module()->DumpAliveObjects(), S_OK);
    EXPECT_EQ(LogCount("Alive component objects: "), dumps + 1);
    EXPECT_EQ(LogCount("ManagementService::CReportingSettingsManager>"), managers + 1);

    EXPECT_EQ(shutdown->Shutdown(), S_OK);
    shutDown = true;
    EXPECT_EQ(slow.Count(), 9u); // all nine queued before the shutdown
    EXPECT_EQ(shutdown->Shutdown(), S_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(late, 0);
    // After the shutdown nothing is queued for delivery any more, and nothing runs.
    InterfacePtr<IReportingSettingsManager> again =
        Deployment::As<IReportingSettingsManager>(shutdown.Get(), IID_IReportingSettingsManager);
    Subscriber after;
    Node cookie2 = Subscribe(again.Get(), 0x1FF, after);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(after.Count(), 0u);
    EXPECT_EQ(after.refs, 1u); // the table's reference only
    again.Reset();
    shutdown.Reset();
    EXPECT_EQ(ObjectsInUse(), 0u);
    EXPECT_EQ(Module()->DumpAliveObjects(), S_OK); // nothing alive: nothing written
    EXPECT_EQ(LogCount("Alive component objects: "), dumps + 1);
    EXPECT_EQ(after.refs, 0u);
    EXPECT_EQ(slow.refs, 0u);
}
} // namespace
