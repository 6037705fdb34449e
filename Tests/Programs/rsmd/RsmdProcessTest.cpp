// rsmd as a process: start-up and its failures, the configuration routes, bad input, tokens,
// durability across SIGKILL, and a clean stop on SIGTERM. Driven over HTTP and with rsmctl.
#include "RsmdTestSupport.h"

#include <atomic>
#include <set>

namespace
{
using namespace RsmdTest;
using Json = nlohmann::json;

TEST(RsmdProcess, ServesTheSeededStoreThroughHttpAndRsmctlAndStopsOnSigterm)
{
    const fs::path work = TempFolder("serve");
    Rsmd rsmd(work / "data");
    ASSERT_NE(rsmd.port, 0);
    auto client = rsmd.Client();

    EXPECT_EQ(Json::parse(client->Get("/v1/health")->body)["status"], "ok");

    // The seed is in the store: the manager's configuration node, as JSON and as text.
    auto config = client->Get("/v1/config?path=%5CManagementService%5CReportingSettingsManager&depth=0");
    ASSERT_TRUE(config);
    ASSERT_EQ(config->status, 200) << config->body;
    const Json node = Json::parse(config->body);
    EXPECT_EQ(node["path"], "\\ManagementService\\ReportingSettingsManager");
    EXPECT_EQ(node["type"], "ComponentConfig");
    EXPECT_EQ(node["attributes"][0], Json::parse(R"({"name":"NotifyIntervalSec","type":"int64","value":2})"));
    EXPECT_TRUE(node["children"].empty());
    RunResult get =
        Rsmctl(rsmd.Url(), {"get", "\\ManagementService\\ReportingSettingsManager", "--depth", "0"}, work);
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_NE(get.out.find("<node name=\"ReportingSettingsManager\" type=\"ComponentConfig\""),
              std::string::npos);

    // Put (JSON from a file, then the text form from stdin is covered by import), get, remove.
    WriteFile(work / "node.json", R"({"path":"\\Tour\\A","type":"T","attributes":[
        {"name":"i","type":"int32","value":-7},{"name":"a","type":"astring","value":"x\u00e9"}],"children":[{"name":"C"}]})");
    RunResult put = Rsmctl(rsmd.Url(), {"put", (work / "node.json").string()}, work);
    EXPECT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(put.out, "stored \\Tour\\A\n");
    RunResult json = Rsmctl(rsmd.Url(), {"--json", "get", "\\Tour\\A"}, work);
    ASSERT_EQ(json.status, 0) << json.err;
    const Json stored = Json::parse(json.out);
    EXPECT_EQ(stored["attributes"].size(), 2u);
    EXPECT_EQ(stored["attributes"][1]["value"], "x\u00e9");
    EXPECT_EQ(stored["children"][0]["path"], "\\Tour\\A\\C");
    EXPECT_EQ(Rsmctl(rsmd.Url(), {"rm", "\\Tour"}, work).status, 0);
    RunResult gone = Rsmctl(rsmd.Url(), {"get", "\\Tour"}, work);
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err.rfind("rsmctl: 0x80070490 ", 0), 0u) << gone.err;

    // Export, change, import the export back: the tree returns to what it was.
    RunResult exported = Rsmctl(rsmd.Url(), {"export", (work / "tree.xml").string()}, work);
    ASSERT_EQ(exported.status, 0) << exported.err;
    const std::string before = ReadFile(work / "tree.xml");
    EXPECT_EQ(before, client->Get("/v1/export")->body);
    EXPECT_EQ(client
                  ->Put("/v1/config", R"({"path":"\\ManagementService\\ReportingSettingsManager",
        "attributes":[{"name":"NotifyIntervalSec","type":"int64","value":9}]})",
                        "application/json")
                  ->status,
              200);
    EXPECT_NE(client->Get("/v1/export")->body, before);
    EXPECT_EQ(Rsmctl(rsmd.Url(), {"import", (work / "tree.xml").string()}, work).status, 0);
    EXPECT_EQ(client->Get("/v1/export")->body, before);

    // Every request above is counted, and the commits seen.
    const std::string metrics = client->Get("/metrics")->body;
    EXPECT_NE(metrics.find("rsmd_http_requests_total{route=\"GET /v1/config\",status=\"200\"}"),
              std::string::npos);
    EXPECT_NE(metrics.find("rsmd_failures_total{hresult=\"0x80070490\"} 1"), std::string::npos) << metrics;
    EXPECT_EQ(metrics.find("rsmd_config_commits_total 0"), std::string::npos);

    // A second rsmd on the same data directory is refused at once.
    Rsmd second(work / "data", {}, false);
    EXPECT_EQ(second.process.Wait(kStartTimeout), 1);
    const std::string err = second.process.Err();
    EXPECT_EQ(err.rfind("rsmd: 0x80070020 ", 0), 0u) << err;
    EXPECT_NE(err.find("by another process: data directory "), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);

    rsmd.ExpectCleanStop();
}

TEST(RsmdProcess, StartFailuresPrintOneLineAndExitOne)
{
    const fs::path work = TempFolder("start");
    WriteFile(work / "empty-token", "\n");
    WriteFile(work / "bad-seed.xml", "<nr><node name=");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--seed", (work / "missing.xml").string()}, "rsmd: 0x80070002 "},
        {{"--seed", (work / "bad-seed.xml").string()}, "rsmd: 0x8007000D "},
        {{"--listen", "0.0.0.0:0"}, "rsmd: 0x80070005 "},
        {{"--listen", "127.0.0.1"}, "rsmd: 0x80070057 "},
        {{"--token-file", (work / "empty-token").string()}, "rsmd: 0x8007000D "},
        {{"--store", "nosuch:x"}, "rsmd: 0x80070057 "},
        {{"--seed", "", "--store", "memory:"}, "rsmd: 0x80070490 "}, // no manager configuration
        {{"--module", (work / "missing.so").string()}, "rsmd: 0x8007007E "},
        {{"--frobnicate"}, "rsmd: 0x80070057 "},
    };
    int n = 0;
    for (const auto& [args, expected] : cases)
    {
        Rsmd rsmd(work / ("data" + std::to_string(n++)), args, false);
        EXPECT_EQ(rsmd.process.Wait(kStartTimeout), 1) << expected;
        const std::string err = rsmd.process.Err();
        EXPECT_EQ(err.rfind(expected, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

TEST(RsmdProcess, BadInputGetsItsStatusAndLeavesTheTreeAsItWas)
{
    const fs::path work = TempFolder("bad");
    WriteFile(work / "token", "s3cret\n");
    Rsmd rsmd(work / "data", {"--store", "memory:", "--token-file", (work / "token").string()});
    auto client = rsmd.Client();
    client->set_bearer_token_auth("s3cret");
    const std::string before = client->Get("/v1/export")->body;
    ASSERT_GT(before.size(), 1000u);

    std::string deep = R"({"name":"n"})";
    std::string manyLevels;
    for (int i = 0; i < 600; ++i)
    {
        deep = (i == 599 ? R"({"path":"\\Deep","children":[)" : R"({"name":"n","children":[)") + deep + "]}";
        manyLevels += "%5Cx";
    }
    struct Case
    {
        const char* method;
        std::string target;
        std::string body;
        const char* expected;
    };
    const char* const kBadArg = "400 0x80070057";
    const std::vector<Case> cases = {
        {"PUT", "/v1/config", R"({"path":"\\A",)", kBadArg}, // malformed JSON
        {"PUT", "/v1/config", R"({"name":"A"})", kBadArg},   // no path
        {"PUT", "/v1/config",
         R"({"path":"\\A","attributes":[{"name":"x","type":"int32","value":3000000000}]})", kBadArg},
        {"PUT", "/v1/config", deep, kBadArg},
        {"PUT", "/v1/config", "{\"path\":" + Json("\\" + std::string(40000, 'x')).dump() + "}", kBadArg},
        {"GET", "/v1/config?path=" + manyLevels, "", kBadArg},
        {"DELETE", "/v1/config?path=" + manyLevels, "", kBadArg},
        {"DELETE", "/v1/config?path=%5C", "", kBadArg}, // the root
        {"POST", "/v1/import", "<nr><node", "400 0x8007000D"},
        {"POST", "/v1/import", std::string(17u << 20, ' '), "413 0x800700DF"}, // over 16 MiB
        {"GET", "/v1/nothing", "", "404 0x80070490"},
        {"GET", "/v1/connection-settings/Nonsense", "", "404 0x80070490"},
        {"PUT", "/v1/areas/Nonsense/enabled", R"({"enabled":true})", "404 0x80070490"},
        {"PUT", "/v1/areas/Pentrel/enabled", R"({"enabled":1})", kBadArg},
        {"GET", "/v1/connection-settings/common?mode=2", "", kBadArg},
        {"GET", "/v1/products-settings?types=x", "", kBadArg},
        {"GET", "/v1/config", "", kBadArg}, // no path
    };
    for (const Case& c : cases)
    {
        const std::string method = c.method;
        const char* type = c.target == "/v1/import" ? "application/xml" : "application/json";
        const httplib::Result result = method == "GET"      ? client->Get(c.target)
                                       : method == "DELETE" ? client->Delete(c.target)
                                       : method == "POST"   ? client->Post(c.target, c.body, type)
                                                            : client->Put(c.target, c.body, type);
        EXPECT_EQ(HResultOf(result), c.expected)
            << method << " " << c.target.substr(0, 60) << " " << c.body.substr(0, 60);
    }

    // Tokens: none or a wrong one is refused, also through rsmctl; the right one passes.
    httplib::Client anonymous("127.0.0.1", rsmd.port);
    EXPECT_EQ(HResultOf(anonymous.Get("/v1/health")), "401 0x80070005");
    anonymous.set_bearer_token_auth("s3cres");
    EXPECT_EQ(HResultOf(anonymous.Put("/v1/config", R"({"path":"\\A"})", "application/json")),
              "401 0x80070005");
    RunResult refused = Rsmctl(rsmd.Url(), {"health"}, work);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind("rsmctl: 0x80070005 Access is denied", 0), 0u) << refused.err;
    EXPECT_EQ(Rsmctl(rsmd.Url(), {"--token-file", (work / "token").string(), "health"}, work).status, 0);

    EXPECT_EQ(client->Get("/v1/export")->body, before);
    rsmd.ExpectCleanStop();
}

TEST(RsmdProcess, EveryAcknowledgedWriteSurvivesSigkill)
{
    const fs::path work = TempFolder("kill");
    std::set<int> acknowledged; // the writer's until it is joined
    std::atomic<std::size_t> acknowledgedCount{0};
    {
        Rsmd rsmd(work / "data");
        std::atomic<bool> stop{false};
        std::thread writer(
            [&]
            {
                auto client = rsmd.Client();
                for (int i = 0; !stop; ++i)
                {
                    const std::string body = R"({"path":"\\Load\\N)" + std::to_string(i) +
                                             R"(","attributes":[{"name":"i","type":"int64","value":)" +
                                             std::to_string(i) + "}]}";
                    auto result = client->Put("/v1/config", body, "application/json");
                    if (!result || result->status != 200)
                    {
                        return;
                    }
                    acknowledged.insert(i);
                    ++acknowledgedCount;
                }
            });
        WaitFor([&] { return acknowledgedCount >= 40; }, std::chrono::seconds(20));
        kill(rsmd.process.Pid(), SIGKILL);
        stop = true;
        writer.join();
        EXPECT_EQ(rsmd.process.Wait(std::chrono::seconds(10)), 128 + SIGKILL);
    }
    ASSERT_GE(acknowledged.size(), 20u);
    Rsmd restarted(work / "data");
    auto load = restarted.Client()->Get("/v1/config?path=%5CLoad&depth=1");
    ASSERT_TRUE(load);
    ASSERT_EQ(load->status, 200);
    std::set<int> present;
    const Json tree = Json::parse(load->body);
    for (const Json& child : tree["children"])
    {
        present.insert(child["attributes"][0]["value"].get<int>());
    }
    EXPECT_GE(present.size(), acknowledged.size());
    for (int i : acknowledged)
    {
        EXPECT_TRUE(present.count(i) == 1) << "acknowledged write " << i << " is lost";
    }
    restarted.ExpectCleanStop();
}
} // namespace
