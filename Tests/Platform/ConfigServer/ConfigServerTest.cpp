// One suite run against both stores through the public interfaces.
#include "TestSupport.h"

#include "Ravlin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <unistd.h>

using namespace TestSupport;

namespace
{

class ConfigServerTest : public ::testing::TestWithParam<const char*>
{
protected:
    void SetUp() override
    {
        std::wstring location;
        if (std::string(GetParam()) == "sqlite")
        {
            m_file = std::filesystem::temp_directory_path() /
                     ("cfgsrv-" + std::to_string(getpid()) + "-" + std::to_string(++s_counter) + ".db");
            location = L"sqlite:" + m_file.wstring();
        }
        m_server = std::make_unique<Server>(location.c_str());
        ASSERT_EQ(S_OK, m_server->created);
        m_proxy = m_server->proxy;
        m_storage = m_server->storage;
        m_subscriptions = m_server->subscriptions;
    }

    void TearDown() override
    {
        m_server.reset();
        for (const char* suffix : {"", "-wal", "-shm"})
        {
            if (!m_file.empty())
            {
                std::filesystem::remove(m_file.string() + suffix);
            }
        }
    }

    HRESULT Put(const Vx& node, IConfigTransaction* transaction = nullptr)
    {
        IVXNode* nodes[] = {node.Get()};
        return m_storage->PutNodes(transaction, 0, nodes, 1);
    }
    HRESULT Remove(const std::wstring& path, IConfigTransaction* transaction = nullptr)
    {
        return m_storage->RemoveNodes(transaction, Query(path).Get());
    }
    Vx Get(const std::wstring& path, std::int64_t depth = VXN_DEPTH_ALL)
    {
        Vx result;
        std::uint64_t found = 7;
        EXPECT_EQ(S_OK, m_storage->QueryNodes(Query(path, depth).Get(), 0, result.Out(), 1, &found));
        EXPECT_EQ(found, result ? 1u : 0u);
        return result;
    }
    std::string Export(IConfigServerProxy* proxy = nullptr) { return ExportText(proxy ? proxy : m_proxy); }
    IVXModifySubscription* Subscribe(const std::wstring& path, std::int64_t mask, std::int64_t options,
                                     Recorder& recorder, bool start = true)
    {
        IVXModifySubscription* subscription = nullptr;
        EXPECT_EQ(S_OK, m_subscriptions->Subscribe(Query(path).Get(), Request(mask, options).Get(), &recorder,
                                                   &subscription));
        if (subscription && start)
        {
            EXPECT_EQ(S_OK, subscription->Start());
        }
        return subscription;
    }
    void Unsubscribe(IVXModifySubscription* subscription)
    {
        EXPECT_EQ(S_OK, m_subscriptions->Unsubscribe(subscription));
        subscription->Release();
    }

    static inline std::atomic<int> s_counter{0};
    std::filesystem::path m_file;
    std::unique_ptr<Server> m_server;
    IConfigServerProxy* m_proxy = nullptr;
    IConfigStorage* m_storage = nullptr;
    IConfigSubscriptionService* m_subscriptions = nullptr;
};

TEST_P(ConfigServerTest, PutMergesAndQueryCopiesToDepth)
{
    Vx b(L"B", L"TypeB");
    b.Str(L"s", L"one").I64(L"n", 1).Add(Vx(L"C")).Add(Vx(L"D"));
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\A").Add(b)));

    Vx a = Get(L"\\A");
    ASSERT_TRUE(a);
    EXPECT_EQ(L"\\A", a.Name(VXN_NAME_FULL_PATH));
    Vx gotB = a.Child(L"B");
    EXPECT_EQ(L"\\A\\B", gotB.Name(VXN_NAME_FULL_PATH));
    EXPECT_EQ(L"one", gotB.GetStr(L"s"));
    EXPECT_EQ(L"C", gotB.Child(std::uint64_t{0}).Name(VXN_NAME_OWN));
    EXPECT_EQ(L"D", gotB.Child(std::uint64_t{1}).Name(VXN_NAME_OWN));
    EXPECT_EQ(0u, Get(L"\\A", 0).ChildCount());
    EXPECT_EQ(0u, Get(L"\\A", 1).Child(L"B").ChildCount());

    // Merge: new and changed attributes, a new child after the old ones, nothing deleted.
    Vx update(L"ignored");
    update.Path(L"\\A\\B").Str(L"s", L"two").I64(L"m", 5).Add(Vx(L"E"));
    ASSERT_EQ(S_OK, Put(update));
    gotB = Get(L"\\A\\B");
    EXPECT_EQ(L"two", gotB.GetStr(L"s"));
    EXPECT_EQ(1, gotB.GetI64(L"n"));
    EXPECT_EQ(5, gotB.GetI64(L"m"));
    ASSERT_EQ(3u, gotB.ChildCount());
    EXPECT_EQ(L"E", gotB.Child(std::uint64_t{2}).Name(VXN_NAME_OWN));

    EXPECT_FALSE(Get(L"\\A\\Missing"));
    EXPECT_FALSE(Get(L""));
    EXPECT_FALSE(Get(L"\\a")); // case matters

    EXPECT_EQ(S_OK, Remove(L"\\A\\B"));
    EXPECT_FALSE(Get(L"\\A\\B"));
    EXPECT_TRUE(Get(L"\\A"));
    EXPECT_EQ(S_OK, Remove(L"\\Nowhere"));
    EXPECT_EQ(S_OK, Remove(L""));
}

TEST_P(ConfigServerTest, TransactionAppliesAllInOrderOnce)
{
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Old\\Child")));
    IConfigTransaction* transaction = nullptr;
    ASSERT_EQ(S_OK, m_storage->CreateTransaction(&transaction));
    EXPECT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\New\\X"), transaction));
    EXPECT_EQ(S_OK, Remove(L"\\Old", transaction));
    EXPECT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Old").I64(L"again", 1), transaction));
    EXPECT_FALSE(Get(L"\\New")); // nothing before the commit
    EXPECT_TRUE(Get(L"\\Old\\Child"));

    EXPECT_EQ(S_OK, m_storage->CommitTransaction(transaction));
    EXPECT_TRUE(Get(L"\\New\\X"));
    EXPECT_FALSE(Get(L"\\Old\\Child"));
    EXPECT_EQ(1, Get(L"\\Old").GetI64(L"again"));

    std::string before = Export();
    EXPECT_EQ(CFG_E_CLOSED, m_storage->CommitTransaction(transaction));
    EXPECT_EQ(CFG_E_CLOSED, Put(Vx(nullptr).Path(L"\\Late"), transaction));
    EXPECT_EQ(CFG_E_CLOSED, Remove(L"\\New", transaction));
    EXPECT_EQ(before, Export());
    transaction->Release();

    // A transaction of another server is refused.
    Server other;
    IConfigTransaction* foreign = nullptr;
    ASSERT_EQ(S_OK, other.storage->CreateTransaction(&foreign));
    EXPECT_EQ(E_INVALIDARG, m_storage->CommitTransaction(foreign));
    EXPECT_EQ(E_INVALIDARG, Put(Vx(nullptr).Path(L"\\F"), foreign));
    foreign->Release();
}

TEST_P(ConfigServerTest, FailureInTheMiddleOfACommitChangesNothing)
{
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Keep").I64(L"v", 1)));
    Recorder recorder;
    IVXModifySubscription* subscription = Subscribe(L"\\", CFG_CHANGE_ALL, 11, recorder);
    std::string before = Export();

    IConfigTransaction* transaction = nullptr;
    ASSERT_EQ(S_OK, m_storage->CreateTransaction(&transaction));
    EXPECT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Keep").I64(L"v", 2), transaction));
    EXPECT_EQ(S_OK, Remove(L"\\Keep", transaction));
    for (int i = 0; i < 50; ++i)
    {
        EXPECT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Big\\N" + std::to_wstring(i)), transaction));
    }
    ASSERT_EQ(S_OK, ConfigServerInjectFault(m_proxy, L"StoreWrite", 1, E_ACCESSDENIED));
    EXPECT_EQ(E_ACCESSDENIED, m_storage->CommitTransaction(transaction));
    EXPECT_EQ(before, Export());
    EXPECT_EQ(1, Get(L"\\Keep").GetI64(L"v"));

    // The failed transaction stays open and succeeds when tried again.
    EXPECT_EQ(S_OK, m_storage->CommitTransaction(transaction));
    EXPECT_FALSE(Get(L"\\Keep"));
    EXPECT_EQ(50u, Get(L"\\Big").ChildCount());
    ASSERT_TRUE(recorder.WaitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1u, recorder.Delivered()); // the failed attempt notified nobody
    transaction->Release();
    Unsubscribe(subscription);
}

TEST_P(ConfigServerTest, BadInputIsRefusedAndChangesNothing)
{
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\A").I64(L"v", 1)));
    std::string before = Export();
    Vx good(nullptr);
    good.Path(L"\\A\\B");
    IVXNode* nodes[] = {good.Get(), good.Get()};
    IVXNode* nullNode[] = {nullptr};
    std::uint64_t found = 0;
    IVXNode* out = nullptr;

    EXPECT_EQ(E_POINTER, m_storage->PutNodes(nullptr, 0, nullptr, 1));
    EXPECT_EQ(E_POINTER, m_storage->PutNodes(nullptr, 0, nullNode, 1));
    EXPECT_EQ(E_INVALIDARG, m_storage->PutNodes(nullptr, 0, nodes, 0));
    EXPECT_EQ(E_INVALIDARG, m_storage->PutNodes(nullptr, 0, nodes, 2));
    EXPECT_EQ(E_INVALIDARG, m_storage->PutNodes(nullptr, 1, nodes, 1));
    EXPECT_EQ(E_INVALIDARG, Put(Vx(nullptr)));                // no full-path name: the root
    EXPECT_EQ(E_INVALIDARG, Put(Vx(nullptr).Path(L"\\A\\"))); // empty last component
    std::wstring longPath, deepPath;
    for (int i = 0; i < 600; ++i)
    {
        longPath += L"\\" + std::wstring(60, L'x');
        deepPath += L"\\d";
    }
    EXPECT_EQ(E_INVALIDARG, Put(Vx(nullptr).Path(longPath.substr(0, 33000)))); // over 32,767 characters
    EXPECT_EQ(E_INVALIDARG, Put(Vx(nullptr).Path(deepPath)));                  // over 512 levels
    Vx deep(nullptr);
    deep.Path(L"\\Deep");
    {
        Vx top(L"L0");
        Vx parent;
        VxnDuplicateNodeHandle(top.Get(), parent.Out());
        for (int i = 1; i < 600; ++i)
        {
            Vx child(L"L");
            parent.Add(child);
            parent = std::move(child);
        }
        deep.Add(top);
    }
    EXPECT_EQ(E_INVALIDARG, Put(deep));

    EXPECT_EQ(E_POINTER, m_storage->RemoveNodes(nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, Remove(L"\\"));
    EXPECT_EQ(E_POINTER, m_storage->QueryNodes(nullptr, 0, &out, 1, &found));
    EXPECT_EQ(E_POINTER, m_storage->QueryNodes(Query(L"\\A").Get(), 0, nullptr, 1, &found));
    EXPECT_EQ(E_POINTER, m_storage->QueryNodes(Query(L"\\A").Get(), 0, &out, 1, nullptr));
    EXPECT_EQ(E_INVALIDARG, m_storage->QueryNodes(Query(L"\\A").Get(), 0, &out, 0, &found));
    EXPECT_EQ(E_INVALIDARG, m_storage->QueryNodes(Query(L"\\A").Get(), 0, &out, 2, &found));
    EXPECT_EQ(E_POINTER, m_storage->CommitTransaction(nullptr));
    EXPECT_EQ(E_POINTER, m_storage->CreateTransaction(nullptr));

    // Malformed queries, for reads, removals and subscriptions alike.
    std::vector<Vx> malformed;
    malformed.emplace_back(nullptr, L"OtherType");
    malformed.back().Str(L"NodePath", L"\\A");
    malformed.emplace_back(nullptr, L"FilterByPath"); // no "NodePath"
    malformed.emplace_back(nullptr, L"FilterByPath");
    malformed.back().I64(L"NodePath", 3); // wrong type code
    malformed.push_back(Query(L"A\\B"));
    malformed.push_back(Query(L"\\A\\\\B"));
    malformed.push_back(Query(L"\\A", -1));
    Recorder recorder;
    IVXModifySubscription* subscription = nullptr;
    for (const Vx& query : malformed)
    {
        EXPECT_EQ(E_INVALIDARG, m_storage->QueryNodes(query.Get(), 0, &out, 1, &found));
        EXPECT_EQ(E_INVALIDARG, m_storage->RemoveNodes(nullptr, query.Get()));
        EXPECT_EQ(E_INVALIDARG,
                  m_subscriptions->Subscribe(query.Get(), Request(4, 3).Get(), &recorder, &subscription));
    }
    EXPECT_EQ(nullptr, out);

    EXPECT_EQ(E_POINTER, m_subscriptions->Subscribe(nullptr, Request(4, 3).Get(), &recorder, &subscription));
    EXPECT_EQ(E_POINTER, m_subscriptions->Subscribe(Query(L"\\A").Get(), nullptr, &recorder, &subscription));
    EXPECT_EQ(E_POINTER,
              m_subscriptions->Subscribe(Query(L"\\A").Get(), Request(4, 3).Get(), nullptr, &subscription));
    EXPECT_EQ(E_POINTER,
              m_subscriptions->Subscribe(Query(L"\\A").Get(), Request(4, 3).Get(), &recorder, nullptr));
    for (auto [mask, options] :
         {std::pair<std::int64_t, std::int64_t>{0, 3}, {32, 3}, {-1, 3}, {4, 4}, {4, -1}})
    {
        EXPECT_EQ(E_INVALIDARG, m_subscriptions->Subscribe(Query(L"\\A").Get(), Request(mask, options).Get(),
                                                           &recorder, &subscription));
    }
    EXPECT_EQ(E_INVALIDARG,
              m_subscriptions->Subscribe(Query(L"").Get(), Request(4, 3).Get(), &recorder, &subscription));
    EXPECT_EQ(E_INVALIDARG, m_subscriptions->Subscribe(Query(L"\\A").Get(), Vx(L"SubscribeConfig").Get(),
                                                       &recorder, &subscription));
    EXPECT_EQ(E_POINTER, m_subscriptions->Unsubscribe(nullptr));
    EXPECT_EQ(0u, recorder.References()); // no failed call kept the callback

    EXPECT_EQ(before, Export());
}

TEST_P(ConfigServerTest, ImmediateSubscriptionDeliversTheSubscribedNodeAsOfTheCommit)
{
    Recorder recorder;
    // The subscribed text is echoed exactly, as the subscriber recognises its path by it.
    IVXModifySubscription* subscription = Subscribe(L"\\Cfg\\Common", 4, 3, recorder);
    Vx settings(nullptr);
    settings.Path(L"\\Cfg\\Common").Str(L"Server", L"db1").Add(Vx(L"Inner").I64(L"x", 1));
    ASSERT_EQ(S_OK, Put(settings));
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Cfg\\Common\\Empty"))); // a child alone: no attribute change
    ASSERT_EQ(S_OK, Put(settings));                                  // same values: no change at all
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Cfg\\Other").I64(L"x", 1)));
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Cfg\\Common\\Inner").I64(L"x", 2)));
    ASSERT_EQ(S_OK, Remove(L"\\Cfg\\Common")); // removal is not an attribute change

    ASSERT_TRUE(recorder.WaitFor(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto deliveries = recorder.Take();
    ASSERT_EQ(2u, deliveries.size());
    for (const auto& delivery : deliveries)
    {
        EXPECT_EQ(CFG_TRIGGER_NODE, delivery.kind);
        EXPECT_NE(std::this_thread::get_id(), delivery.thread);
        ASSERT_EQ(1u, delivery.modifications.size());
        EXPECT_EQ(L"\\Cfg\\Common", delivery.modifications[0].path);
        EXPECT_EQ(4, delivery.modifications[0].mask);
    }
    const Vx& first = deliveries[0].modifications[0].node;
    EXPECT_EQ(L"\\Cfg\\Common", deliveries[0].modifications[0].nodePath);
    EXPECT_EQ(L"db1", first.GetStr(L"Server"));
    EXPECT_EQ(1, first.Child(L"Inner").GetI64(L"x")); // content as of that commit, not later
    EXPECT_EQ(2, deliveries[1].modifications[0].node.Child(L"Inner").GetI64(L"x"));
    EXPECT_LT(deliveries[0].modifications[0].sequence, deliveries[1].modifications[0].sequence);
    Unsubscribe(subscription);
}

TEST_P(ConfigServerTest, BatchSubscriptionHoldsUntilStartAndLosesNothing)
{
    Recorder recorder;
    IVXModifySubscription* subscription = Subscribe(L"\\Containers", CFG_CHANGE_ALL, 11, recorder, false);
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Containers")));
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Containers\\C1").I64(L"on", 1)));
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Containers").Str(L"t", L"x")));
    ASSERT_EQ(S_OK, Remove(L"\\Containers\\C1"));
    ASSERT_EQ(S_OK, Remove(L"\\Containers"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0u, recorder.Delivered());

    ASSERT_EQ(S_OK, subscription->Start());
    EXPECT_EQ(S_FALSE, subscription->Start());
    ASSERT_TRUE(recorder.WaitFor(5));
    std::vector<Modification> all = recorder.TakeAll(CFG_TRIGGER_BATCH);
    ASSERT_EQ(5u, all.size());
    const std::int64_t expected[] = {CFG_CHANGE_NODE_ADDED, CFG_CHANGE_CHILDREN | CFG_CHANGE_ATTRIBUTES,
                                     CFG_CHANGE_ATTRIBUTES, CFG_CHANGE_CHILDREN, CFG_CHANGE_NODE_REMOVED};
    for (std::size_t i = 0; i < all.size(); ++i)
    {
        EXPECT_EQ(expected[i], all[i].mask) << i;
        EXPECT_EQ(L"\\Containers", all[i].path);
        if (i > 0)
        {
            EXPECT_EQ(all[i - 1].sequence + 1, all[i].sequence);
        }
    }
    EXPECT_EQ(1u, all[1].node.ChildCount());
    EXPECT_FALSE(all[4].node); // removed: no content

    Unsubscribe(subscription);
    EXPECT_EQ(0u, recorder.References());
}

TEST_P(ConfigServerTest, ChangeKindsFollowTheSubscribedSubtreeAndDepth)
{
    Recorder recorder;
    IVXModifySubscription* subscription = nullptr;
    ASSERT_EQ(S_OK, m_subscriptions->Subscribe(Query(L"\\P\\S", 1).Get(),
                                               Request(CFG_CHANGE_ALL, CFG_SUBSCRIBE_BATCH | 1).Get(),
                                               &recorder, &subscription));
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\P\\S\\C1\\Deep")));
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\P\\S\\C1\\Deep").I64(L"v", 1))); // below MaxDepth: ignored
    IConfigTransaction* transaction = nullptr;
    ASSERT_EQ(S_OK, m_storage->CreateTransaction(&transaction));
    ASSERT_EQ(S_OK, Remove(L"\\P", transaction)); // the parent goes and the node is made anew
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\P\\S"), transaction));
    ASSERT_EQ(S_OK, m_storage->CommitTransaction(transaction));
    transaction->Release();
    ASSERT_EQ(S_OK, Remove(L"\\P"));
    ASSERT_EQ(S_OK, subscription->Start());
    ASSERT_TRUE(recorder.WaitFor(3));
    std::vector<Modification> all = recorder.TakeAll(CFG_TRIGGER_BATCH);
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ(CFG_CHANGE_NODE_ADDED | CFG_CHANGE_CHILDREN, all[0].mask);
    EXPECT_EQ(0u, all[0].node.ChildCount()); // the node alone without the subtree option
    EXPECT_EQ(CFG_CHANGE_NODE_ADDED | CFG_CHANGE_NODE_REMOVED, all[1].mask);
    EXPECT_EQ(CFG_CHANGE_NODE_REMOVED, all[2].mask);
    Unsubscribe(subscription);
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
    IVXModifySubscription* subscription = Subscribe(L"\\S", CFG_CHANGE_ALL, 3, slow);
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\S")));
    entered.get_future().wait();
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\S").I64(L"v", 1))); // pending, must never arrive
    auto unsubscribed =
        std::async(std::launch::async, [&] { return m_subscriptions->Unsubscribe(subscription); });
    EXPECT_EQ(std::future_status::timeout, unsubscribed.wait_for(std::chrono::milliseconds(100)));
    release.set_value();
    EXPECT_EQ(S_OK, unsubscribed.get());
    EXPECT_EQ(1u, slow.Delivered());
    EXPECT_EQ(HR_NOT_FOUND, m_subscriptions->Unsubscribe(subscription));
    EXPECT_EQ(CFG_E_CLOSED, subscription->Start());
    subscription->Release();

    // Unsubscribing from inside the callback does not wait for itself.
    Recorder self;
    self.hook = [&](IVXModifySubscription* fired) { EXPECT_EQ(S_OK, m_subscriptions->Unsubscribe(fired)); };
    subscription = Subscribe(L"\\T", CFG_CHANGE_ALL, 11, self);
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\T")));
    ASSERT_TRUE(self.WaitFor(1));
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\T").I64(L"v", 1)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1u, self.Delivered());
    EXPECT_EQ(S_FALSE, subscription->Stop());
    subscription->Release();
}

TEST_P(ConfigServerTest, InjectedFaultsHitTheChosenCall)
{
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\A")));
    ASSERT_EQ(S_OK, ConfigServerInjectFault(m_proxy, L"QueryNodes", 2, E_ACCESSDENIED));
    ASSERT_EQ(S_OK, ConfigServerInjectFault(m_proxy, L"PutNodes", 1, HR_SHARING_VIOLATION));
    EXPECT_TRUE(Get(L"\\A"));
    Vx out;
    std::uint64_t found = 0;
    EXPECT_EQ(E_ACCESSDENIED, m_storage->QueryNodes(Query(L"\\A").Get(), 0, out.Out(), 1, &found));
    EXPECT_TRUE(Get(L"\\A"));
    EXPECT_EQ(HR_SHARING_VIOLATION, Put(Vx(nullptr).Path(L"\\B")));
    EXPECT_FALSE(Get(L"\\B"));

    Recorder recorder;
    IVXModifySubscription* subscription = nullptr;
    ASSERT_EQ(S_OK, ConfigServerInjectFault(m_proxy, L"Subscribe", 1, E_FAIL));
    EXPECT_EQ(E_FAIL,
              m_subscriptions->Subscribe(Query(L"\\A").Get(), Request(4, 3).Get(), &recorder, &subscription));
    EXPECT_EQ(nullptr, subscription);
    ASSERT_EQ(S_OK, ConfigServerInjectFault(m_proxy, L"GetId", 1, E_FAIL));
    subscription = Subscribe(L"\\A", 4, 3, recorder);
    GUID id{};
    EXPECT_EQ(E_FAIL, subscription->GetId(&id));
    EXPECT_EQ(S_OK, subscription->GetId(&id));
    Unsubscribe(subscription);

    EXPECT_EQ(E_INVALIDARG, ConfigServerInjectFault(m_proxy, L"NoSuchCall", 1, E_FAIL));
    EXPECT_EQ(E_INVALIDARG, ConfigServerInjectFault(m_proxy, L"PutNodes", 0, E_FAIL));
    EXPECT_EQ(E_INVALIDARG, ConfigServerInjectFault(m_proxy, L"PutNodes", 1, S_OK));
    EXPECT_EQ(E_POINTER, ConfigServerInjectFault(nullptr, L"PutNodes", 1, E_FAIL));
    EXPECT_EQ(E_POINTER, ConfigServerInjectFault(m_proxy, nullptr, 1, E_FAIL));
    ASSERT_EQ(S_OK, ConfigServerInjectFault(m_proxy, L"PutNodes", 1, E_FAIL));
    EXPECT_EQ(S_OK, ConfigServerClearFaults(m_proxy));
    EXPECT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\B")));
}

TEST_P(ConfigServerTest, ExportImportRoundTrip)
{
    Vx tree(nullptr);
    tree.Path(L"\\Root\\Settings").Str(L"Name", L"Grüße \"quoted\" <x>").I64(L"n", -5);
    tree.Add(Vx(L"Z", L"Kind")).Add(Vx(L"A"));
    ASSERT_EQ(S_OK, Put(tree));
    ASSERT_EQ(S_OK, Put(Vx(nullptr).Path(L"\\Second")));
    std::string text = Export();

    IConfigServerProxy* copy = nullptr;
    ASSERT_EQ(S_OK, ConfigServerCreate(L"memory:", &copy));
    EXPECT_EQ(S_OK, ConfigServerImportText(copy, text.data(), text.size()));
    EXPECT_EQ(text, Export(copy));
    std::string file =
        (std::filesystem::temp_directory_path() / ("cfgsrv-export-" + std::to_string(getpid()))).string();
    EXPECT_EQ(S_OK, ConfigServerExportFile(copy, Platform::FromUtf8(file).c_str()));
    EXPECT_EQ(S_OK, ConfigServerImportFile(m_proxy, Platform::FromUtf8(file).c_str())); // merging: no change
    EXPECT_EQ(text, Export());
    std::filesystem::remove(file);

    const char broken[] = "<nr>\n<node";
    EXPECT_EQ(HR_INVALID_DATA, ConfigServerImportText(copy, broken, sizeof(broken) - 1));
    EXPECT_EQ(MakeHr(0x80070002), ConfigServerImportFile(copy, L"/nonexistent/cfg.xml"));
    EXPECT_EQ(E_POINTER, ConfigServerImportText(copy, nullptr, 5));
    EXPECT_EQ(E_POINTER, ConfigServerExportText(copy, nullptr, nullptr));
    ConfigServerShutdown(copy);
    EXPECT_EQ(CFG_E_SERVER_STOPPED, ConfigServerImportText(copy, text.data(), text.size()));
    copy->Release();
}

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

} // namespace
