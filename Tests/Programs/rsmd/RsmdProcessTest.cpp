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

    auto health = client->Get("/v1/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    EXPECT_EQ(Json::parse(health->body)["status"], "ok");

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
        {"name":"i","type":"int32","value":-7},{"name":"g","type":"guid","value":"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"},
        {"name":"l","type":"int64[]","value":[1,-2]},{"name":"e","type":"empty"},{"name":"a","type":"astring","value":"x\u00e9"}],
        "children":[{"name":"C"}]})");
    RunResult put = Rsmctl(rsmd.Url(), {"put", (work / "node.json").string()}, work);
    EXPECT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(put.out, "stored \\Tour\\A\n");
    RunResult json = Rsmctl(rsmd.Url(), {"--json", "get", "\\Tour\\A"}, work);
    ASSERT_EQ(json.status, 0) << json.err;
    const Json stored = Json::parse(json.out);
    EXPECT_EQ(stored["attributes"].size(), 5u);
    EXPECT_EQ(stored["attributes"][1]["value"], "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    EXPECT_EQ(stored["attributes"][4]["value"], "x\u00e9");
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
    EXPECT_EQ(second.Process().Wait(kStartTimeout), 1);
    const std::string err = second.Process().Err();
    EXPECT_EQ(
        err.rfind("rsmd: 0x80070020 The process cannot access the file because it is being used by another "
                  "process: data directory ",
                  0),
        0u)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);

    std::chrono::milliseconds elapsed{};
    EXPECT_EQ(rsmd.Stop(SIGTERM, elapsed), 0) << rsmd.Process().Err();
    EXPECT_LT(elapsed, kStopLimit);
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
        EXPECT_EQ(rsmd.Process().Wait(kStartTimeout), 1) << expected;
        const std::string err = rsmd.Process().Err();
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

    std::string deep = R"({"path":"\\Deep")";
    std::string close;
    for (int i = 0; i < 600; ++i)
    {
        deep += R"(,"children":[{"name":"n")";
        close += "}]";
    }
    deep += close + "}";
    std::string longPath = "\\" + std::string(40000, 'x');
    std::string manyLevels;
    for (int i = 0; i < 600; ++i)
    {
        manyLevels += "%5Cx";
    }
    const std::string huge(17u << 20, ' ');
    struct Case
    {
        const char* what;
        std::function<httplib::Result()> call;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"malformed JSON", [&] { return client->Put("/v1/config", R"({"path":"\\A",)", "application/json"); },
         "400 0x80070057"},
        {"not a node", [&] { return client->Put("/v1/config", "[1,2]", "application/json"); },
         "400 0x80070057"},
        {"no path", [&] { return client->Put("/v1/config", R"({"name":"A"})", "application/json"); },
         "400 0x80070057"},
        {"unknown attribute type",
         [&]
         {
             return client->Put("/v1/config",
                                R"({"path":"\\A","attributes":[{"name":"x","type":"float","value":1.5}]})",
                                "application/json");
         },
         "400 0x80070057"},
        {"value out of range",
         [&]
         {
             return client->Put(
                 "/v1/config",
                 R"({"path":"\\A","attributes":[{"name":"x","type":"int32","value":3000000000}]})",
                 "application/json");
         },
         "400 0x80070057"},
        {"nodes too deep", [&] { return client->Put("/v1/config", deep, "application/json"); },
         "400 0x80070057"},
        {"path too long",
         [&]
         {
             std::string body = "{\"path\":";
             body += Json(longPath).dump() + "}";
             return client->Put("/v1/config", body, "application/json");
         },
         "400 0x80070057"},
        {"query too deep", [&] { return client->Get("/v1/config?path=" + manyLevels); }, "400 0x80070057"},
        {"remove too deep", [&] { return client->Delete("/v1/config?path=" + manyLevels); },
         "400 0x80070057"},
        {"remove the root", [&] { return client->Delete("/v1/config?path=%5C"); }, "400 0x80070057"},
        {"bad text form", [&] { return client->Post("/v1/import", "<nr><node", "application/xml"); },
         "400 0x8007000D"},
        {"body over 16 MiB", [&] { return client->Post("/v1/import", huge, "application/xml"); },
         "413 0x800700DF"},
        {"unknown route", [&] { return client->Get("/v1/nothing"); }, "404 0x80070490"},
        {"unknown type", [&] { return client->Get("/v1/connection-settings/Nonsense"); }, "404 0x80070490"},
        {"unknown area",
         [&] { return client->Put("/v1/areas/Nonsense/enabled", R"({"enabled":true})", "application/json"); },
         "404 0x80070490"},
        {"bad enabled body",
         [&] { return client->Put("/v1/areas/Pentrel/enabled", R"({"enabled":1})", "application/json"); },
         "400 0x80070057"},
        {"bad mode", [&] { return client->Get("/v1/connection-settings/common?mode=2"); }, "400 0x80070057"},
        {"bad types", [&] { return client->Get("/v1/products-settings?types=x"); }, "400 0x80070057"},
        {"missing path", [&] { return client->Get("/v1/config"); }, "400 0x80070057"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(HResultOf(c.call()), c.expected) << c.what;
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
    std::chrono::milliseconds elapsed{};
    EXPECT_EQ(rsmd.Stop(SIGTERM, elapsed), 0) << rsmd.Process().Err();
    EXPECT_LT(elapsed, kStopLimit);
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
        const auto start = Clock::now();
        while (Clock::now() - start < std::chrono::seconds(20))
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (acknowledgedCount >= 40)
            {
                break;
            }
        }
        kill(rsmd.Process().Pid(), SIGKILL);
        stop = true;
        writer.join();
        EXPECT_EQ(rsmd.Process().Wait(std::chrono::seconds(10)), 128 + SIGKILL);
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
    std::chrono::milliseconds elapsed{};
    EXPECT_EQ(restarted.Stop(SIGTERM, elapsed), 0) << restarted.Process().Err();
}
} // namespace
