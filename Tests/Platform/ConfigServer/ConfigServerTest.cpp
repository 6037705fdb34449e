// One suite run against every store through the public interfaces (the etcd store's run is a
// program of its own, built with RSM_ETCD_SUITE, on a one-member cluster).
#include "TestSupport.h"
#ifdef RSM_ETCD_SUITE
#include "EtcdCluster.h"
#endif

#include "Ravlin.h"

#include <gtest/gtest.h>

#include <future>

using namespace TestSupport;

namespace
{

// Where the store of the kind lives.
std::wstring Place(const std::string& store, const std::wstring& file)
{
#ifdef RSM_ETCD_SUITE
    if (store == "etcd")
    {
        EXPECT_TRUE(EtcdCluster::Shared().ready);
        return EtcdCluster::Shared().Location(EtcdCluster::UniquePrefix());
    }
#endif
    return store == "sqlite" ? file : L"";
}

class ConfigServerTest : public ::testing::TestWithParam<const char*>, public TempDatabase, public Server
{
protected:
    ConfigServerTest() : Server(Place(GetParam(), Location())) {}
    void SetUp() override { ASSERT_EQ(S_OK, created); }
};

TEST_P(ConfigServerTest, PutMergesAndQueryCopiesToDepth)
{
    Vx b(L"B", L"TypeB");
    b.Str(L"s", L"one").I64(L"n", 1).Add(Vx(L"C")).Add(Vx(L"D"));
    ASSERT_EQ(S_OK, Put(At(L"\\A").Add(b)));
    Vx a = Get(L"\\A");
    EXPECT_EQ(L"\\A\\B", a.Child(L"B").FullPath()); // the path holds while the parent lives
    EXPECT_EQ(0u, Get(L"\\A", 0).ChildCount());
    EXPECT_EQ(0u, Get(L"\\A", 1).Child(L"B").ChildCount());

    // Merge: new and changed attributes, a new child after the old ones, nothing deleted.
    ASSERT_EQ(S_OK, Put(Vx(L"ignored").Path(L"\\A\\B").Str(L"s", L"two").I64(L"m", 5).Add(Vx(L"E"))));
    Vx merged = Get(L"\\A\\B");
    EXPECT_EQ(L"two", merged.GetStr(L"s"));
    EXPECT_EQ(1, merged.GetI64(L"n"));
    EXPECT_EQ(5, merged.GetI64(L"m"));
    ASSERT_EQ(3u, merged.ChildCount());
    EXPECT_EQ(L"C", merged.At(0).Name());
    EXPECT_EQ(L"E", merged.At(2).Name());

    EXPECT_FALSE(Get(L"\\A\\Missing"));
    EXPECT_FALSE(Get(L""));
    EXPECT_FALSE(Get(L"\\a")); // case matters

    EXPECT_EQ(S_OK, Remove(L"\\A\\B"));
    EXPECT_FALSE(Get(L"\\A\\B"));
    EXPECT_TRUE(Get(L"\\A"));
    EXPECT_EQ(S_OK, Remove(L"\\Nowhere"));
    EXPECT_EQ(S_OK, Remove(L""));
}

TEST_P(ConfigServerTest, TransactionAppliesAllInOrderOnceOrNothing)
{
    ASSERT_EQ(S_OK, Put(At(L"\\Old\\Child")));
    Recorder recorder;
    IVXModifySubscription* subscription =
        Subscribe(Query(L"\\"), CFG_CHANGE_ALL, CFG_SUBSCRIBE_ALL, recorder);
    const std::string before = Export();
    IConfigTransaction* transaction = nullptr;
    ASSERT_EQ(S_OK, storage->CreateTransaction(&transaction));
    EXPECT_EQ(S_OK, Put(At(L"\\New\\X"), transaction));
    EXPECT_EQ(S_OK, Remove(L"\\Old", transaction));
    EXPECT_EQ(S_OK, Put(At(L"\\Old").I64(L"again", 1), transaction));
    EXPECT_EQ(before, Export()); // nothing before the commit

    // A store failure changes nothing; the transaction stays open.
    ASSERT_EQ(S_OK, ConfigServerInjectFault(proxy, L"StoreWrite", 1, E_ACCESSDENIED));
    EXPECT_EQ(E_ACCESSDENIED, storage->CommitTransaction(transaction));
    EXPECT_EQ(before, Export());
    EXPECT_EQ(S_OK, storage->CommitTransaction(transaction));
    EXPECT_TRUE(Get(L"\\New\\X"));
    EXPECT_FALSE(Get(L"\\Old\\Child"));
    EXPECT_EQ(1, Get(L"\\Old").GetI64(L"again"));
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(1u, recorder.Settled()); // the failed attempt notified nobody
    Unsubscribe(subscription);

    EXPECT_EQ(CFG_E_CLOSED, storage->CommitTransaction(transaction));
    EXPECT_EQ(CFG_E_CLOSED, Put(At(L"\\Late"), transaction));
    EXPECT_EQ(CFG_E_CLOSED, Remove(L"\\New", transaction));
    transaction->Release();

    // A transaction of another server is refused.
    Server other;
    IConfigTransaction* foreign = nullptr;
    ASSERT_EQ(S_OK, other.storage->CreateTransaction(&foreign));
    EXPECT_EQ(E_INVALIDARG, storage->CommitTransaction(foreign));
    EXPECT_EQ(E_INVALIDARG, Put(At(L"\\F"), foreign));
    foreign->Release();
}

TEST_P(ConfigServerTest, BadInputIsRefusedAndChangesNothing)
{
    ASSERT_EQ(S_OK, Put(At(L"\\A").I64(L"v", 1)));
    const std::string before = Export();
    Vx good = At(L"\\A\\B");
    IVXNode* nodes[] = {good.Get(), good.Get()};
    std::uint64_t found = 0;
    IVXNode* out = nullptr;

    EXPECT_EQ(E_POINTER, storage->PutNodes(nullptr, 0, nullptr, 1));
    EXPECT_EQ(E_INVALIDARG, storage->PutNodes(nullptr, 0, nodes, 2));
    EXPECT_EQ(E_INVALIDARG, storage->PutNodes(nullptr, 1, nodes, 1));
    EXPECT_EQ(E_INVALIDARG, Put(Vx(nullptr)));  // no full-path name: the root
    EXPECT_EQ(E_INVALIDARG, Put(At(L"\\A\\"))); // empty last component
    const std::wstring half(16500, L'x');
    EXPECT_EQ(E_INVALIDARG, Put(At(L"\\" + half + L"\\" + half))); // over 32,767 characters
    Vx deep = At(L"\\Deep");
    Vx parent;
    ASSERT_EQ(S_OK, VxnDuplicateNodeHandle(deep.Get(), parent.Out()));
    for (int i = 0; i < 600; ++i) // a subtree over 512 levels deep
    {
        Vx child(L"L");
        parent.Add(child);
        parent = std::move(child);
    }
    EXPECT_EQ(E_INVALIDARG, Put(deep));

    Vx a = Query(L"\\A");
    EXPECT_EQ(E_POINTER, storage->RemoveNodes(nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, Remove(L"\\"));
    EXPECT_EQ(E_POINTER, storage->QueryNodes(nullptr, 0, &out, 1, &found));
    EXPECT_EQ(E_INVALIDARG, storage->QueryNodes(a.Get(), 0, &out, 2, &found));
    EXPECT_EQ(E_POINTER, storage->CommitTransaction(nullptr));
    EXPECT_EQ(E_POINTER, storage->CreateTransaction(nullptr));

    // Malformed queries, for reads, removals and subscriptions alike.
    Vx malformed[] = {Vx(nullptr, L"OtherType"),    Vx(nullptr, L"FilterByPath"),
                      Vx(nullptr, L"FilterByPath"), Query(L"A\\B"),
                      Query(L"\\A\\\\B"),           Query(L"\\A", -1)};
    malformed[0].Str(L"NodePath", L"\\A");
    malformed[2].I64(L"NodePath", 3); // wrong type code; [1] has no "NodePath" at all
    Recorder recorder;
    IVXModifySubscription* subscription = nullptr;
    Vx request = Request(4, 3);
    for (const Vx& query : malformed)
    {
        EXPECT_EQ(E_INVALIDARG, storage->QueryNodes(query.Get(), 0, &out, 1, &found));
        EXPECT_EQ(E_INVALIDARG, storage->RemoveNodes(nullptr, query.Get()));
        EXPECT_EQ(E_INVALIDARG,
                  subscriptions->Subscribe(query.Get(), request.Get(), &recorder, &subscription));
    }
    EXPECT_EQ(nullptr, out);

    EXPECT_EQ(E_POINTER, subscriptions->Subscribe(nullptr, request.Get(), &recorder, &subscription));
    EXPECT_EQ(E_POINTER, subscriptions->Subscribe(a.Get(), request.Get(), nullptr, &subscription));
    for (auto [mask, options] : {std::pair<std::int64_t, std::int64_t>{0, 3}, {32, 3}, {4, 4}})
    {
        EXPECT_EQ(E_INVALIDARG,
                  subscriptions->Subscribe(a.Get(), Request(mask, options).Get(), &recorder, &subscription));
    }
    EXPECT_EQ(E_INVALIDARG,
              subscriptions->Subscribe(Query(L"").Get(), request.Get(), &recorder, &subscription));
    EXPECT_EQ(E_INVALIDARG,
              subscriptions->Subscribe(a.Get(), Vx(L"SubscribeConfig").Get(), &recorder, &subscription));
    EXPECT_EQ(E_POINTER, subscriptions->Unsubscribe(nullptr));
    EXPECT_EQ(0u, recorder.references); // no failed call kept the callback

    EXPECT_EQ(before, Export());
}

TEST_P(ConfigServerTest, ImmediateSubscriptionDeliversTheSubscribedNodeAsOfTheCommit)
{
    Recorder recorder;
    // The subscribed text is echoed exactly, as the subscriber recognises its path by it.
    IVXModifySubscription* subscription = Subscribe(Query(L"\\Cfg\\Common"), 4, 3, recorder);
    Vx settings = At(L"\\Cfg\\Common");
    settings.Str(L"Server", L"db1").Add(Vx(L"Inner").I64(L"x", 1));
    ASSERT_EQ(S_OK, Put(settings));
    ASSERT_EQ(S_OK, Put(At(L"\\Cfg\\Common\\Empty"))); // a child alone: no attribute change
    ASSERT_EQ(S_OK, Put(settings));                    // same values: no change at all
    ASSERT_EQ(S_OK, Put(At(L"\\Cfg\\Other").I64(L"x", 1)));
    ASSERT_EQ(S_OK, Put(At(L"\\Cfg\\Common\\Inner").I64(L"x", 2)));
    ASSERT_EQ(S_OK, Remove(L"\\Cfg\\Common")); // removal is not an attribute change

    ASSERT_TRUE(recorder.WaitFor(2));
    ASSERT_EQ(2u, recorder.Settled());
    std::vector<Modification> all = recorder.TakeAll(CFG_TRIGGER_NODE);
    EXPECT_EQ(L"\\Cfg\\Common", all[0].path);
    EXPECT_EQ(4, all[0].mask); // the node was added too, but only attributes were asked for
    EXPECT_EQ(L"\\Cfg\\Common", all[0].nodePath);
    EXPECT_EQ(L"db1", all[0].node.GetStr(L"Server"));
    EXPECT_EQ(1, all[0].node.Child(L"Inner").GetI64(L"x")); // content as of that commit, not later
    EXPECT_EQ(2, all[1].node.Child(L"Inner").GetI64(L"x"));
    EXPECT_LT(all[0].sequence, all[1].sequence);
    Unsubscribe(subscription);
}

TEST_P(ConfigServerTest, ChangesUndoneWithinOneTransactionLeaveNoTrace)
{
    ASSERT_EQ(S_OK, Put(At(L"\\Keep\\E\\F").I64(L"v", 1)));
    Recorder recorder;
    IVXModifySubscription* subscription =
        Subscribe(Query(L"\\Keep"), CFG_CHANGE_ALL, CFG_SUBSCRIBE_INCLUDE_NODE, recorder);
    const std::string before = Export();
    // Made and removed again: nothing changed, nobody is told.
    ASSERT_EQ(
        S_OK,
        Transact(
            [&](IConfigTransaction* t) {
                return std::vector{Put(At(L"\\Keep\\Tmp\\Leaf").I64(L"x", 1), t), Remove(L"\\Keep\\Tmp", t)};
            }));
    EXPECT_EQ(0u, recorder.Settled());
    EXPECT_EQ(before, Export());

    // A change below a node that the same commit removes is no attribute change.
    ASSERT_EQ(S_OK, Transact(
                        [&](IConfigTransaction* t)
                        {
                            return std::vector{Put(At(L"\\Keep\\E\\F").I64(L"v", 2), t),
                                               Remove(L"\\Keep\\E\\F", t), Remove(L"\\Keep\\E", t)};
                        }));
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(std::vector<std::int64_t>{CFG_CHANGE_CHILDREN}, Masks(recorder.TakeAll(CFG_TRIGGER_NODE)));
    Unsubscribe(subscription);
}

TEST_P(ConfigServerTest, BatchSubscriptionsHoldEveryChangeKindUntilStarted)
{
    Recorder recorder;
    IVXModifySubscription* subscription =
        Subscribe(Query(L"\\Containers"), CFG_CHANGE_ALL, CFG_SUBSCRIBE_ALL, recorder, false);
    // The node alone (no subtree option), and nothing below MaxDepth counts.
    Recorder shallow;
    IVXModifySubscription* depthOne =
        Subscribe(Query(L"\\P\\S", 1), CFG_CHANGE_ALL, CFG_SUBSCRIBE_BATCH | 1, shallow, false);
    ASSERT_EQ(S_OK, Put(At(L"\\Containers")));
    ASSERT_EQ(S_OK, Put(At(L"\\Containers\\C1").I64(L"on", 1)));
    ASSERT_EQ(S_OK, Put(At(L"\\Containers").Str(L"t", L"x")));
    ASSERT_EQ(S_OK, Remove(L"\\Containers\\C1"));
    ASSERT_EQ(S_OK, Remove(L"\\Containers"));
    ASSERT_EQ(S_OK, Put(At(L"\\P\\S\\C1\\Deep")));
    ASSERT_EQ(S_OK, Put(At(L"\\P\\S\\C1\\Deep").I64(L"v", 1))); // below MaxDepth: ignored
    // The parent goes and the node is made anew, in one commit.
    ASSERT_EQ(S_OK, Transact(
                        [&](IConfigTransaction* t) {
                            return std::vector{Remove(L"\\P", t), Put(At(L"\\P\\S"), t)};
                        }));
    ASSERT_EQ(S_OK, Remove(L"\\P"));
    EXPECT_EQ(0u, recorder.Settled() + shallow.Settled());

    ASSERT_EQ(S_OK, subscription->Start());
    EXPECT_EQ(S_FALSE, subscription->Start());
    ASSERT_EQ(S_OK, depthOne->Start());
    ASSERT_TRUE(recorder.WaitFor(5));
    std::vector<Modification> all = recorder.TakeAll(CFG_TRIGGER_BATCH);
    ASSERT_EQ(
        (std::vector<std::int64_t>{CFG_CHANGE_NODE_ADDED, CFG_CHANGE_CHILDREN | CFG_CHANGE_ATTRIBUTES,
                                   CFG_CHANGE_ATTRIBUTES, CFG_CHANGE_CHILDREN, CFG_CHANGE_NODE_REMOVED}),
        Masks(all));
    EXPECT_EQ(1u, all[1].node.ChildCount());
    EXPECT_FALSE(all[4].node); // removed: no content

    ASSERT_TRUE(shallow.WaitFor(3));
    all = shallow.TakeAll(CFG_TRIGGER_BATCH);
    ASSERT_EQ(
        (std::vector<std::int64_t>{CFG_CHANGE_NODE_ADDED | CFG_CHANGE_CHILDREN,
                                   CFG_CHANGE_NODE_ADDED | CFG_CHANGE_NODE_REMOVED, CFG_CHANGE_NODE_REMOVED}),
        Masks(all));
    EXPECT_EQ(0u, all[0].node.ChildCount());
    Unsubscribe(subscription);
    Unsubscribe(depthOne);
}

TEST_P(ConfigServerTest, NoCallbackAfterUnsubscribeReturns)
{
    // A callback under way on a server thread is waited for.
    Recorder slow;
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<bool> first{true};
    slow.hook = [&](IVXModifySubscription*)
    {
        if (first.exchange(false))
        {
            entered.set_value();
            released.wait();
        }
    };
    IVXModifySubscription* subscription = Subscribe(Query(L"\\S"), CFG_CHANGE_ALL, 3, slow);
    ASSERT_EQ(S_OK, Put(At(L"\\S")));
    entered.get_future().wait();
    ASSERT_EQ(S_OK, Put(At(L"\\S").I64(L"v", 1))); // pending, must never arrive
    auto unsubscribed =
        std::async(std::launch::async, [&] { return subscriptions->Unsubscribe(subscription); });
    EXPECT_EQ(std::future_status::timeout, unsubscribed.wait_for(std::chrono::milliseconds(100)));
    release.set_value();
    EXPECT_EQ(S_OK, unsubscribed.get());
    EXPECT_EQ(1u, slow.Settled());
    EXPECT_EQ(HR_NOT_FOUND, subscriptions->Unsubscribe(subscription));
    EXPECT_EQ(CFG_E_CLOSED, subscription->Start());
    subscription->Release();

    // Unsubscribing from inside the callback does not wait for itself.
    Recorder self;
    self.hook = [&](IVXModifySubscription* fired) { EXPECT_EQ(S_OK, subscriptions->Unsubscribe(fired)); };
    subscription = Subscribe(Query(L"\\T"), CFG_CHANGE_ALL, CFG_SUBSCRIBE_ALL, self);
    ASSERT_EQ(S_OK, Put(At(L"\\T")));
    ASSERT_TRUE(self.WaitFor(1));
    ASSERT_EQ(S_OK, Put(At(L"\\T").I64(L"v", 1)));
    EXPECT_EQ(1u, self.Settled());
    EXPECT_EQ(S_FALSE, subscription->Stop());
    subscription->Release();
}

TEST_P(ConfigServerTest, InjectedFaultsHitTheChosenCall)
{
    ASSERT_EQ(S_OK, Put(At(L"\\A")));
    ASSERT_EQ(S_OK, ConfigServerInjectFault(proxy, L"QueryNodes", 2, E_ACCESSDENIED));
    ASSERT_EQ(S_OK, ConfigServerInjectFault(proxy, L"PutNodes", 1, HR_SHARING_VIOLATION));
    EXPECT_TRUE(Get(L"\\A"));
    Vx out;
    std::uint64_t found = 0;
    EXPECT_EQ(E_ACCESSDENIED, storage->QueryNodes(Query(L"\\A").Get(), 0, out.Out(), 1, &found));
    EXPECT_TRUE(Get(L"\\A"));
    EXPECT_EQ(HR_SHARING_VIOLATION, Put(At(L"\\B")));
    EXPECT_FALSE(Get(L"\\B"));

    Recorder recorder;
    IVXModifySubscription* subscription = nullptr;
    ASSERT_EQ(S_OK, ConfigServerInjectFault(proxy, L"Subscribe", 1, E_FAIL));
    EXPECT_EQ(E_FAIL,
              subscriptions->Subscribe(Query(L"\\A").Get(), Request(4, 3).Get(), &recorder, &subscription));
    EXPECT_EQ(nullptr, subscription);
    ASSERT_EQ(S_OK, ConfigServerInjectFault(proxy, L"GetId", 1, E_FAIL));
    subscription = Subscribe(Query(L"\\A"), 4, 3, recorder);
    GUID id{};
    EXPECT_EQ(E_FAIL, subscription->GetId(&id));
    Unsubscribe(subscription);

    EXPECT_EQ(E_INVALIDARG, ConfigServerInjectFault(proxy, L"NoSuchCall", 1, E_FAIL));
    EXPECT_EQ(E_INVALIDARG, ConfigServerInjectFault(proxy, L"PutNodes", 1, S_OK));
    EXPECT_EQ(E_POINTER, ConfigServerInjectFault(proxy, nullptr, 1, E_FAIL));
    ASSERT_EQ(S_OK, ConfigServerInjectFault(proxy, L"PutNodes", 1, E_FAIL));
    EXPECT_EQ(S_OK, ConfigServerClearFaults(proxy));
    EXPECT_EQ(S_OK, Put(At(L"\\B")));
}

TEST_P(ConfigServerTest, ExportImportAndReopenKeepTheTree)
{
    Vx tree = At(L"\\Root\\Settings");
    tree.Str(L"Name", L"Grüße \"quoted\" <x>").I64(L"n", -5).Set(L"empty", VXN_ATTR_EMPTY, "");
    tree.Set(L"flag", VXN_ATTR_BOOL, "\x01").Add(Vx(L"Z", L"Kind")).Add(Vx(L"Y")).Add(Vx(L"A"));
    ASSERT_EQ(S_OK, Put(tree));
    ASSERT_EQ(S_OK, Remove(L"\\Root\\Settings\\Y"));
    ASSERT_EQ(S_OK, Put(At(L"\\Root\\Settings\\Y"))); // now after A
    ASSERT_EQ(S_OK, Put(At(L"\\Second")));
    std::string text = Export();

    Server copy(L"memory:");
    EXPECT_EQ(S_OK, ConfigServerImportText(copy.proxy, text.data(), text.size()));
    EXPECT_EQ(text, copy.Export());
    std::wstring file = (directory / "export.xml").wstring();
    EXPECT_EQ(S_OK, ConfigServerExportFile(copy.proxy, file.c_str()));
    EXPECT_EQ(S_OK, ConfigServerImportFile(proxy, file.c_str())); // merging: no change
    EXPECT_EQ(text, Export());

    const char broken[] = "<nr>\n<node";
    EXPECT_EQ(HR_INVALID_DATA, ConfigServerImportText(copy.proxy, broken, sizeof(broken) - 1));
    EXPECT_EQ(MakeHr(0x80070002), ConfigServerImportFile(copy.proxy, L"/nonexistent/cfg.xml"));
    EXPECT_EQ(E_POINTER, ConfigServerImportText(copy.proxy, nullptr, 5));
    EXPECT_EQ(E_POINTER, ConfigServerExportText(copy.proxy, nullptr, nullptr));
    ConfigServerShutdown(copy.proxy);
    EXPECT_EQ(CFG_E_SERVER_STOPPED, ConfigServerImportText(copy.proxy, text.data(), text.size()));

    if (std::string(GetParam()) != "memory")
    {
        Release(); // the last reference stops the server
        Server reopened(location);
        ASSERT_EQ(S_OK, reopened.created);
        if (std::string(GetParam()) == "sqlite")
        {
            IConfigServerProxy* second = nullptr;
            EXPECT_EQ(HR_SHARING_VIOLATION, ConfigServerCreate(Location().c_str(), &second)); // one per file
        }
        EXPECT_EQ(text, reopened.Export());
        EXPECT_EQ(L"Y", reopened.Get(L"\\Root\\Settings").At(2).Name());
    }
}

#ifdef RSM_ETCD_SUITE
INSTANTIATE_TEST_SUITE_P(Etcd, ConfigServerTest, ::testing::Values("etcd"));
#else
INSTANTIATE_TEST_SUITE_P(Stores, ConfigServerTest, ::testing::Values("memory", "sqlite"));

TEST(ConfigServerHost, StartRegistersTheNamedProxyAndStopWithdrawsIt)
{
    EXPECT_EQ(E_INVALIDARG, ConfigServerStart(L"bogus:", nullptr));
    EXPECT_EQ(E_POINTER, ConfigServerCreate(nullptr, nullptr));
    IConfigServerProxy* bad = nullptr;
    EXPECT_TRUE(FAILED(ConfigServerCreate(L"sqlite:/nonexistent-dir/x.db", &bad)));
    EXPECT_EQ(nullptr, bad);

    ASSERT_EQ(S_OK, ConfigServerStart(nullptr, nullptr));
    EXPECT_EQ(CFG_E_CLOSED, ConfigServerStart(nullptr, nullptr));
    IConfigServerProxy* proxy = nullptr;
    ASSERT_EQ(S_OK, RLGetNamedInstance(L"ConfigServer.Proxy", 0, &IID_IConfigServerProxy,
                                       reinterpret_cast<void**>(&proxy)));
    IConfigServer* server = nullptr;
    EXPECT_EQ(S_OK, proxy->GetConfigServer(&server));
    void* service = nullptr;
    EXPECT_EQ(E_NOINTERFACE, server->GetService(&IID_IConfigServerProxy, &service));
    EXPECT_EQ(E_POINTER, server->GetService(nullptr, &service));

    EXPECT_EQ(S_OK, ConfigServerStop());
    EXPECT_EQ(CFG_E_SERVER_STOPPED, server->GetService(&IID_IConfigStorage, &service));
    IConfigServer* late = nullptr;
    EXPECT_EQ(CFG_E_SERVER_STOPPED, proxy->GetConfigServer(&late));
    EXPECT_EQ(nullptr, late);
    server->Release();
    proxy->Release();
    IConfigServerProxy* gone = nullptr;
    EXPECT_EQ(HR_NOT_FOUND, RLGetNamedInstance(L"ConfigServer.Proxy", 0, &IID_IConfigServerProxy,
                                               reinterpret_cast<void**>(&gone)));
    EXPECT_EQ(S_FALSE, ConfigServerStop());
}
#endif

} // namespace
