// Configure failing at each of its steps that can fail: the failure comes back with its ERR line,
// and the manager leaves nothing behind (subscriptions, sink, threads, live objects).
#include "ManagerHostSupport.h"

namespace
{
using namespace ManagerHost;

std::size_t ThreadCount()
{
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                                  std::filesystem::directory_iterator()));
}

class ConfigureFailure : public ::testing::Test
{
protected:
    // Configures a new manager, expects the failure and checks that nothing is left.
    void ExpectFailure(const Node& config, HRESULT expected, const std::string& what)
    {
        const std::size_t threads = ThreadCount();
        InterfacePtr<IReportingSettingsManager> manager = deployment.CreateManager();
        EXPECT_EQ(Deployment::Configure(manager.Get(), config), expected) << what;
        ConfigServerClearFaults(deployment.proxy.Get());
        // The sink's worker ends when its last reference goes, which a server thread may still
        // be letting go of.
        for (int i = 0; i < 500 && ThreadCount() > threads; ++i)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(ThreadCount(), threads) << what;
        // The failed manager is shut down: a committed change reaches nobody, and it goes with
        // its last reference.
        Subscriber s;
        Node cookie = Subscribe(manager.Get(), 0x1FF, s);
        EXPECT_EQ(deployment.WriteString(L"\\Settings\\Products\\Quorl", L"DatabaseName",
                                         L"Db" + std::to_wstring(++writes)),
                  S_OK);
        EXPECT_EQ(Deployment::Shutdown(manager.Get()), S_OK);
        EXPECT_EQ(s.Count(), 0u) << what;
        manager.Reset();
        EXPECT_EQ(ObjectsInUse(), 0u) << what;
    }

    Deployment deployment;
    int writes = 0;
};

TEST_F(ConfigureFailure, EachServerCallFailureRollsBack)
{
    constexpr HRESULT kFault = MakeHr(0x80041234);
    const Node config = deployment.Config();
    for (std::uint32_t nth = 1; nth <= 7; ++nth)
    {
        ASSERT_EQ(ConfigServerInjectFault(deployment.proxy.Get(), L"Subscribe", nth, kFault), S_OK);
        ExpectFailure(config, kFault, "Subscribe #" + std::to_string(nth));
    }
    EXPECT_GT(LogCount("ManagementService::CReportingSettingsManager::Configure failed: 0x80041234"), 0u);
    EXPECT_GT(LogCount("ReportingSettingsManager:182"), 0u);

    for (std::uint32_t nth : {1u, 2u, 18u})
    {
        ASSERT_EQ(ConfigServerInjectFault(deployment.proxy.Get(), L"QueryNodes", nth, kFault), S_OK);
        ExpectFailure(config, kFault, "QueryNodes #" + std::to_string(nth));
    }
    // A subscription whose start fails is removed with the others.
    ASSERT_EQ(ConfigServerInjectFault(deployment.proxy.Get(), L"Start", 3, kFault), S_OK);
    ExpectFailure(config, kFault, "Start");
}

TEST_F(ConfigureFailure, EveryEntryOfTheConfigurationNodeIsMandatory)
{
    constexpr HRESULT kNotFound = MakeHr(0x80070490);
    for (const wchar_t* entry :
         {L"ReportingSettingsPaths", L"DefaultReportingSettingsPaths", L"ConnectionParamsMapping",
          L"NotifyIntervalSec", L"SubscriptorsNotifyIntervalSec"})
    {
        // An attribute or the children of that name.
        Node config = deployment.Config();
        config.Delete(entry);
        for (std::uint64_t i = config.ChildCount(); i-- > 0;)
        {
            if (config.ChildAt(i).Name() == entry)
            {
                EXPECT_EQ(VxnRemoveChildByIndex(config.Get(), i), S_OK);
            }
        }
        ExpectFailure(config, kNotFound, std::string(entry, entry + std::wcslen(entry)));
    }
    // A path record with a missing attribute fails the same way; a null node is refused.
    Node config = deployment.Config();
    Node::Of([&](IVXNode** c) { return VxnGetChildByName(config.Get(), L"ReportingSettingsPaths", c); })
        .Delete(L"OrvaneHistoryPath");
    ExpectFailure(config, kNotFound, "OrvaneHistoryPath");
    ExpectFailure(Node(), E_POINTER, "null");
    EXPECT_GT(LogCount("Configure failed: 0x80070490"), 0u);
}

TEST_F(ConfigureFailure, ShutdownLogsAFailedRemovalAndGoesOn)
{
    InterfacePtr<IReportingSettingsManager> manager = deployment.CreateManager();
    ASSERT_EQ(Deployment::Configure(manager.Get(), deployment.Config()), S_OK);
    ASSERT_EQ(ConfigServerInjectFault(deployment.proxy.Get(), L"Unsubscribe", 2, MakeHr(0x80045555)), S_OK);
    EXPECT_EQ(Deployment::Shutdown(manager.Get()), S_OK);
    EXPECT_GT(LogCount("Config server subscription with id {"), 0u);
    EXPECT_GT(LogCount("} remove failed due to 0x80045555"), 0u);
    EXPECT_GT(LogCount("ReportingSettingsManager:554"), 0u);
    manager.Reset();
    // The server still holds the one subscription it was not allowed to drop, and through it
    // the sink and the manager, until the server goes.
    EXPECT_GT(ObjectsInUse(), 0u);
}
} // namespace
