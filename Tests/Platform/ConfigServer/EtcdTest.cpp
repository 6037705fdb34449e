// The etcd store on real clusters: several servers on one tree, large commits, dying writers and
// members, a compacted watch position and bad input.
#include "EtcdCluster.h"
#include "TestSupport.h"

#include "Platform/ConfigServer/EtcdStore.h"
#include "Platform/ConfigServer/Objects.h"

#include <gtest/gtest.h>

#include <random>

using namespace TestSupport;

namespace
{

// Checks until check() holds, for about 15 s unless told.
template <typename Check> bool Eventually(Check check, int attempts = 300)
{
    for (int i = 0; i < attempts && !check(); ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return check();
}

class EtcdStore : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(cluster.ready); }
    EtcdCluster& cluster = EtcdCluster::Shared();
    const std::string prefix = EtcdCluster::UniquePrefix();
    const std::wstring location = cluster.Location(prefix);
};

TEST_F(EtcdStore, LargeCommitIsSeenWholeOrNotAtAllByAWatchingServer)
{
    Server writer(location);
    Server watcher(location);
    ASSERT_EQ(S_OK, writer.created);
    ASSERT_EQ(S_OK, watcher.created);
    Recorder recorder;
    IVXModifySubscription* subscription = watcher.Subscribe(
        Query(L"\\Big"), CFG_CHANGE_ALL, CFG_SUBSCRIBE_INCLUDE_NODE | CFG_SUBSCRIBE_SUBTREE, recorder);

    constexpr int kCount = 100000;
    std::atomic<bool> done{false};
    std::atomic<int> partial{0};
    std::thread reader(
        [&]
        {
            while (!done)
            {
                Vx big = watcher.Get(L"\\Big", 1);
                const std::uint64_t children = big ? big.ChildCount() : 0;
                partial += children != 0 && children != kCount;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    const HRESULT committed = CommitGeneration(writer, 7, kCount);
    // Up to a minute: slow under the sanitizers.
    const bool delivered = SUCCEEDED(committed) && Eventually([&] { return recorder.WaitFor(1); }, 6);
    done = true;
    reader.join();
    ASSERT_EQ(S_OK, committed);
    ASSERT_TRUE(delivered);
    EXPECT_EQ(0, partial.load());

    auto modifications = recorder.TakeAll(CFG_TRIGGER_NODE);
    ASSERT_EQ(1u, modifications.size());
    EXPECT_EQ(CFG_CHANGE_NODE_ADDED | CFG_CHANGE_CHILDREN | CFG_CHANGE_ATTRIBUTES, modifications[0].mask);
    ASSERT_TRUE(modifications[0].node);
    EXPECT_EQ(static_cast<std::uint64_t>(kCount), modifications[0].node.ChildCount());
    EXPECT_EQ(7, WholeGeneration(watcher, kCount));
    EXPECT_EQ(1, modifications[0].sequence);
    watcher.Unsubscribe(subscription);
}

// A child commits generation after generation until it is killed, in the middle of a commit
// that takes many transactions most of the time.
TEST_F(EtcdStore, WriterKilledInTheMiddleOfALargeCommitLeavesTheLastWholeOne)
{
    constexpr int kCount = 2000;
    const pid_t child = StartCommitter(location, kCount);
    ASSERT_GT(child, 0);
    Server watcher(location);
    ASSERT_EQ(S_OK, watcher.created);
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + std::random_device{}() % 200));
    ASSERT_EQ(0, kill(child, SIGKILL));
    ASSERT_EQ(child, waitpid(child, nullptr, 0));
    // The watcher may still be applying the last head move when the child dies.
    auto watcherReaches = [&](std::int64_t generation)
    {
        return Eventually([&] { return watcher.Get(L"\\Counter").GetI64(L"v") == generation; }) &&
               WholeGeneration(watcher, kCount) == generation;
    };

    Server fresh(location);
    ASSERT_EQ(S_OK, fresh.created);
    const std::int64_t seen = WholeGeneration(fresh, kCount);
    EXPECT_GE(seen, 1);
    EXPECT_TRUE(watcherReaches(seen));

    // The next writer waits for the dead one's lock to run out, rolls its keys back and commits.
    ASSERT_EQ(S_OK, CommitGeneration(fresh, 1000, kCount));
    EXPECT_EQ(1000, WholeGeneration(fresh, kCount));
    EXPECT_TRUE(watcherReaches(1000));
    Server reloaded(location);
    EXPECT_EQ(1000, WholeGeneration(reloaded, kCount));
}

TEST_F(EtcdStore, CommitsSurviveTheLossOfTheLeader)
{
    EtcdCluster three(3);
    ASSERT_TRUE(three.ready);
    const std::wstring onThree = three.Location(prefix);
    Server writer(onThree);
    Server watcher(onThree);
    ASSERT_EQ(S_OK, writer.created);
    ASSERT_EQ(S_OK, watcher.created);
    std::vector<int> committed;
    bool afterLoss = false;
    for (int i = 0; i < 30; ++i)
    {
        if (i == 10)
        {
            const int leader = three.Leader();
            ASSERT_NE(-1, leader);
            three.Kill(leader);
        }
        if (SUCCEEDED(writer.Put(At(L"\\Stream\\N" + std::to_wstring(i)).I64(L"v", i))))
        {
            committed.push_back(i);
            afterLoss = afterLoss || i >= 10;
        }
    }
    EXPECT_TRUE(afterLoss) << "no commit went through after the leader was lost";
    EXPECT_GE(committed.size(), 20u);
    auto holdsAll = [&](const Server& server)
    {
        for (int i : committed)
        {
            Vx node = server.Get(L"\\Stream\\N" + std::to_wstring(i));
            if (!node || node.GetI64(L"v") != i)
            {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(holdsAll(writer));
    EXPECT_TRUE(Eventually([&] { return holdsAll(watcher); }));
    Server reloaded(onThree);
    ASSERT_EQ(S_OK, reloaded.created);
    EXPECT_TRUE(holdsAll(reloaded));
    EXPECT_EQ(S_OK, watcher.Put(At(L"\\Stream\\Later")));
    EXPECT_TRUE(Eventually([&] { return static_cast<bool>(writer.Get(L"\\Stream\\Later")); }));
}

TEST_F(EtcdStore, CompactedWatchPositionReloadsAndNotifiesTheChangedSubtrees)
{
    Server writer(location);
    ASSERT_EQ(S_OK, writer.created);
    ASSERT_EQ(S_OK, writer.Put(At(L"\\Keep\\K").I64(L"v", 1)));
    ASSERT_EQ(S_OK, writer.Put(At(L"\\Changed\\X").I64(L"v", 1)));

    // A server whose watch the test can hold closed.
    std::unique_ptr<ConfigServer::IStore> store;
    const std::wstring endpoints = location.substr(std::wstring(L"etcd:").size());
    ASSERT_EQ(S_OK, ConfigServer::CreateEtcdStore(endpoints, store));
    ConfigServer::IStore* raw = store.get();
    std::shared_ptr<ConfigServer::ServerCore> core;
    ASSERT_EQ(S_OK, ConfigServer::ServerCore::Create(std::move(store), nullptr, 2, core));
    Server watcher(new ConfigServer::Proxy(core), [core] { core->Shutdown(); });
    Recorder kept;
    Recorder changed;
    IVXModifySubscription* keptSubscription = watcher.Subscribe(Query(L"\\Keep"), CFG_CHANGE_ALL, 3, kept);
    IVXModifySubscription* changedSubscription =
        watcher.Subscribe(Query(L"\\Changed"), CFG_CHANGE_ALL, 3, changed);

    ConfigServer::PauseEtcdWatch(*raw, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(S_OK, writer.Put(At(L"\\Changed\\X").I64(L"v", 2)));
    ASSERT_EQ(S_OK, writer.Put(At(L"\\Changed\\Y").I64(L"v", 3)));
    ASSERT_EQ(S_OK, writer.Remove(L"\\Changed\\X"));
    ConfigServer::Json answer;
    ASSERT_EQ(S_OK,
              cluster.Call("/v3/kv/range", {{"key", ConfigServer::Base64Encode(prefix + "/head")}}, answer));
    const std::uint64_t head = ConfigServer::JsonNumber(answer["kvs"][0], "mod_revision");
    ASSERT_EQ(S_OK, cluster.Call("/v3/kv/compaction", {{"revision", std::to_string(head)}}, answer));
    ConfigServer::PauseEtcdWatch(*raw, false);

    ASSERT_TRUE(changed.WaitFor(1));
    EXPECT_EQ(1u, changed.Settled());
    EXPECT_EQ(0u, kept.Settled());
    auto modifications = changed.TakeAll(CFG_TRIGGER_NODE);
    EXPECT_EQ(CFG_CHANGE_CHILDREN | CFG_CHANGE_ATTRIBUTES, modifications[0].mask);
    EXPECT_EQ(5, modifications[0].sequence);
    ASSERT_TRUE(modifications[0].node);
    ASSERT_EQ(1u, modifications[0].node.ChildCount());
    EXPECT_EQ(L"Y", modifications[0].node.At(0).Name());
    EXPECT_FALSE(watcher.Get(L"\\Changed\\X"));
    EXPECT_EQ(3, watcher.Get(L"\\Changed\\Y").GetI64(L"v"));
    watcher.Unsubscribe(keptSubscription);
    watcher.Unsubscribe(changedSubscription);
}

TEST_F(EtcdStore, BadLocationsUnreachableClustersAndCorruptValuesAreRefused)
{
    IConfigServerProxy* proxy = nullptr;
    for (const wchar_t* bad : {L"etcd:", L"etcd:http://127.0.0.1:2379/", L"etcd:ftp://127.0.0.1:2379/p",
                               L"etcd:http://127.0.0.1:1,/p", L"etcd:http://127.0.0.1:1/p q"})
    {
        EXPECT_EQ(E_INVALIDARG, ConfigServerCreate(bad, &proxy)) << std::string(bad, bad + wcslen(bad));
        EXPECT_EQ(nullptr, proxy);
    }

    const std::string port = std::to_string(FreePort());
    const std::wstring unreachable = L"etcd:http://127.0.0.1:" + std::wstring(port.begin(), port.end()) +
                                     L",127.0.0.1:" + std::wstring(port.begin(), port.end()) + L"/rsm/";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ConfigServer::ETCD_E_UNREACHABLE, ConfigServerCreate(unreachable.c_str(), &proxy));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

    Server server(location);
    ASSERT_EQ(S_OK, server.Put(At(L"\\Good")));
    // A value beyond the cluster's request limit is refused, and the commit leaves nothing behind.
    EXPECT_EQ(
        E_INVALIDARG,
        server.Put(At(L"\\Good\\Huge").Set(L"blob", VXN_ATTR_ASTRING, std::string(2 << 20, 'x') + '\0')));
    EXPECT_FALSE(server.Get(L"\\Good\\Huge"));
    EXPECT_EQ(S_OK, server.Put(At(L"\\Good\\Small")));
    ConfigServer::Json answer;
    ASSERT_EQ(S_OK, cluster.Call("/v3/kv/put",
                                 {{"key", ConfigServer::Base64Encode(prefix + "/tree\\Good\\Bad")},
                                  {"value", ConfigServer::Base64Encode("not a node")}},
                                 answer));
    // A running server goes on; the value is no node, so it is passed over when it comes by.
    EXPECT_EQ(S_OK, server.Put(At(L"\\Good\\Later")));
    EXPECT_EQ(HR_INVALID_DATA, ConfigServerCreate(location.c_str(), &proxy));
    ASSERT_EQ(S_OK, cluster.Call("/v3/kv/put",
                                 {{"key", ConfigServer::Base64Encode(prefix + "/head")},
                                  {"value", ConfigServer::Base64Encode("{nonsense")}},
                                 answer));
    EXPECT_EQ(HR_INVALID_DATA, ConfigServerCreate(location.c_str(), &proxy));
    EXPECT_EQ(nullptr, proxy);
}

} // namespace
