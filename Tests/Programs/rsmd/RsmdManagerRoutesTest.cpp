// The manager's routes of rsmd, each checked against what the module answers when loaded in
// this process over the same seed; settings events through the event stream and rsmctl watch.
// Skipped while the module does not implement the manager's operations.
#include "RsmdTestSupport.h"

#include "Programs/HostCommon/HostText.h"
#include "Programs/HostCommon/NodeJson.h"

namespace
{
using namespace RsmdTest;
using HostCommon::NodeHandle;
using Json = nlohmann::json;

// The module in this process, configured from the sample deployment on an in-memory store.
struct InProcess
{
    ManagerHost::Deployment deployment;
    ManagerHost::InterfacePtr<IReportingSettingsManager> manager = deployment.CreateManager();
    HRESULT configured = ManagerHost::Deployment::Configure(
        manager.Get(), deployment.Read(L"\\ManagementService\\ReportingSettingsManager"));

    ~InProcess()
    {
        if (SUCCEEDED(configured))
        {
            ManagerHost::Deployment::Shutdown(manager.Get());
        }
    }
};

InProcess& Module()
{
    static InProcess instance;
    return instance;
}

// What the module in this process answers to call, in the shape of the HTTP answer: "200 <json>"
// for a node result, "<status> <hresult>" for a failure.
std::string Expected(const std::function<HRESULT(IVXNode**)>& call)
{
    NodeHandle node;
    const HRESULT hr = call(node.Out());
    if (FAILED(hr))
    {
        const int status = hr == E_INVALIDARG || hr == E_POINTER || hr == HR_INVALID_DATA ? 400
                           : hr == HR_NOT_FOUND || hr == HR_RSM_ERROR_1                   ? 404
                           : hr == E_NOTIMPL                                              ? 501
                                                                                          : 500;
        return std::to_string(status) + " " + HostCommon::HResultHex(hr);
    }
    std::string json;
    EXPECT_EQ(HostCommon::RenderNodeJson(node.Get(), json), S_OK);
    return "200 " + json;
}

std::string Answer(const httplib::Result& result)
{
    return result && result->status == 200 ? "200 " + result->body : HResultOf(result);
}

class RsmdManagerRoutes : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (Module().configured == E_NOTIMPL)
        {
            GTEST_SKIP() << "the module does not implement the manager's operations yet";
        }
        ASSERT_EQ(Module().configured, S_OK);
    }
};

TEST_F(RsmdManagerRoutes, EveryRouteAnswersWhatTheModuleAnswersInProcess)
{
    const fs::path work = TempFolder("routes");
    Rsmd rsmd(work / "data");
    auto client = rsmd.Client();
    IReportingSettingsManager* manager = Module().manager.Get();
    EXPECT_EQ(Json::parse(client->Get("/v1/health")->body)["manager"], "configured");
    const auto settings = [&](std::uint32_t type)
    { return Expected([&](IVXNode** out) { return manager->AcquireConnectionSettings(type, out); }); };

    for (std::uint32_t type = 1; type <= 256; type <<= 1)
    {
        EXPECT_EQ(Answer(client->Get("/v1/connection-settings/" + std::to_string(type))), settings(type))
            << type;
    }
    EXPECT_EQ(Answer(client->Get("/v1/connection-settings/Pentrel")), settings(8));
    for (std::uint32_t mode : {0u, 1u})
    {
        EXPECT_EQ(Answer(client->Get("/v1/connection-settings/common?mode=" + std::to_string(mode))),
                  Expected([&](IVXNode** out)
                           { return manager->AcquireCommonConnectionSettings(mode, nullptr, out); }));
    }
    for (std::uint32_t types : {0x1FFu, 0x48u, 0u})
    {
        EXPECT_EQ(Answer(client->Get("/v1/products-settings?types=" + std::to_string(types))),
                  Expected([&](IVXNode** out) { return manager->AcquireProductsSettings(types, out); }));
    }
    const ManagerHost::Node quorl = Module().deployment.Read(L"\\Settings\\Products\\Quorl");
    std::string quorlJson;
    ASSERT_EQ(HostCommon::RenderNodeJson(quorl.Get(), quorlJson), S_OK);
    for (std::uint32_t common : {0u, 1u})
    {
        EXPECT_EQ(Answer(client->Post("/v1/convert?common=" + std::to_string(common), quorlJson,
                                      "application/json")),
                  Expected([&](IVXNode** out)
                           { return manager->ConvertReportingSettings(quorl.Get(), common, out); }));
    }

    // The event stream starts with the cached settings of the asked types.
    std::string received;
    rsmd.Client()->Get("/v1/events?types=8", httplib::Headers{},
                       [&](const char* data, std::size_t size)
                       {
                           received.append(data, size);
                           return received.find("\n\n", received.find("data: ")) == std::string::npos;
                       });
    const std::size_t data = received.find("data: ");
    ASSERT_NE(data, std::string::npos) << received;
    EXPECT_EQ(received.substr(data + 6, received.find('\n', data) - data - 6),
              "{\"type\":8,\"periodic\":false,\"settings\":" + settings(8).substr(4) + "}");

    // Switching areas off and on, and a refused type: the same results and the same store.
    for (const auto& [type, enabled] :
         std::vector<std::pair<std::uint32_t, bool>>{{8, false}, {8, true}, {64, false}, {4, false}})
    {
        const HRESULT hr = manager->SetReportingSettingsEnabled(type, enabled ? 1 : 0);
        const std::string body = std::string("{\"enabled\":") + (enabled ? "true" : "false") + "}";
        auto answer = client->Put("/v1/areas/" + std::to_string(type) + "/enabled", body, "application/json");
        ASSERT_TRUE(answer);
        const std::string status = FAILED(hr) ? HResultOf(answer) : std::to_string(answer->status);
        EXPECT_EQ(status, FAILED(hr) ? Expected([&](IVXNode**) { return hr; }) : "200") << answer->body;
        EXPECT_EQ(Answer(client->Get("/v1/connection-settings/" + std::to_string(type))), settings(type));
    }
    const ManagerHost::Node products = Module().deployment.Read(L"\\Settings\\Products");
    EXPECT_EQ(Answer(client->Get("/v1/config?path=%5CSettings%5CProducts")),
              Expected([&](IVXNode** out) { return VxnDuplicateNodeHandle(products.Get(), out); }));

    rsmd.ExpectCleanStop();
}

// Lines of a watcher's output that are not periodic republications.
std::vector<std::string> ChangeLines(const Child& watcher)
{
    std::vector<std::string> lines;
    std::istringstream text(watcher.Out());
    for (std::string line; std::getline(text, line);)
    {
        if (line.find("\"periodic\":true") == std::string::npos)
        {
            lines.push_back(line);
        }
    }
    return lines;
}

TEST_F(RsmdManagerRoutes, AConfigChangeReachesTheWatchOfItsTypeOnly)
{
    const fs::path work = TempFolder("watch");
    Rsmd rsmd(work / "data");
    auto client = rsmd.Client();
    Child quorl({RSMCTL_PATH, "--server", rsmd.Url(), "--json", "watch", "--types", "Quorl"}, work / "quorl");
    Child pentrel({RSMCTL_PATH, "--server", rsmd.Url(), "--json", "watch", "--types", "8"}, work / "pentrel");
    ASSERT_TRUE(WaitFor(
        [&]
        {
            return quorl.Err().find("watching types") != std::string::npos &&
                   pentrel.Err().find("watching types") != std::string::npos;
        },
        kStartTimeout))
        << quorl.Err() << pentrel.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the initial notifications
    const std::size_t quorlBefore = ChangeLines(quorl).size();
    const std::size_t pentrelBefore = ChangeLines(pentrel).size();

    auto put = client->Put("/v1/config", R"({"path":"\\Settings\\Products\\Quorl",
        "attributes":[{"name":"DatabaseName","type":"string","value":"Audit_Quorl_Moved"}]})",
                           "application/json");
    ASSERT_TRUE(put);
    ASSERT_EQ(put->status, 200) << put->body;
    WaitFor([&] { return ChangeLines(quorl).size() > quorlBefore; }, std::chrono::seconds(10));
    const std::vector<std::string> lines = ChangeLines(quorl);
    ASSERT_EQ(lines.size(), quorlBefore + 1) << quorl.Out();
    EXPECT_EQ(Json::parse(lines.back())["type"], 4);
    EXPECT_NE(lines.back().find("Audit_Quorl_Moved"), std::string::npos) << lines.back();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(ChangeLines(pentrel).size(), pentrelBefore) << pentrel.Out();

    // Watchers that go away lose their subscriptions.
    kill(quorl.Pid(), SIGINT);
    kill(pentrel.Pid(), SIGINT);
    std::string metrics;
    EXPECT_TRUE(WaitFor(
        [&]
        {
            metrics = client->Get("/metrics")->body;
            return metrics.find("rsmd_event_streams_open 0") != std::string::npos;
        },
        std::chrono::seconds(10)))
        << metrics;
    rsmd.ExpectCleanStop();
}
} // namespace
