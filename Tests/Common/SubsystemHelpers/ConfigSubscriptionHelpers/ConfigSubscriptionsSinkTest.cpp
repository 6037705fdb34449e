#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "Common/SubsystemHelpers/ConfigSubscriptionHelpers/ModifyEnumFakes.h"

#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using CfgSubscriptionsHelpers::CConfigSubscriptionsSink;
using Components::InterfacePtr;
using Fakes::Enum;
using TestSupport::LogCapture;

namespace
{
constexpr wchar_t kOnTriggered[] = L"CfgSubscriptionsHelpers::CConfigSubscriptionsSink::OnTriggered failed: ";

// What the sink handed on: per call the id and "path|mask|value" of each record.
class Collector
{
public:
    using Call = std::pair<GUID, std::vector<std::wstring>>;
    void Add(const GUID& id, const std::vector<TNodeModification>& records)
    {
        std::vector<std::wstring> texts;
        for (const auto& r : records)
        {
            texts.push_back(r.ModifiedNodePath + L"|" + std::to_wstring(r.ChangesMask) + L"|" +
                            (r.ModifiedNode ? r.ModifiedNode.GetStringAttribute(L"Value") : L"-"));
        }
        std::lock_guard lock(m_lock);
        m_calls.emplace_back(id, std::move(texts));
        m_records += records.size();
    }
    // The calls once count records arrived.
    std::vector<Call> WaitForRecords(std::size_t count)
    {
        for (int i = 0; i < 10000; ++i, std::this_thread::sleep_for(1ms))
        {
            std::lock_guard lock(m_lock);
            if (m_records >= count)
            {
                return m_calls;
            }
        }
        ADD_FAILURE() << "fewer than " << count << " records";
        return {};
    }

private:
    std::mutex m_lock;
    std::size_t m_records = 0;
    std::vector<Call> m_calls;
};

InterfacePtr<IVXModifySubscription> Subscription(std::uint32_t data1, HRESULT idResult = S_OK)
{
    return InterfacePtr<IVXModifySubscription>(new Fakes::Subscription(GUID{data1, 0, 0, {}}, idResult),
                                               true);
}

VXNodePtr Change(const std::wstring& path, const std::wstring& value, bool withChild = true)
{
    VXNodePtr node = Fakes::MakeModificationNode(path, 4, withChild);
    if (withChild)
    {
        node.GetChild(0).SetStringAttribute(L"Value", value);
    }
    return node;
}

// A configuration server in memory with its storage and subscription services.
struct Server
{
    InterfacePtr<IConfigServerProxy> proxy;
    InterfacePtr<IConfigStorage> storage;
    InterfacePtr<IConfigSubscriptionService> subscriptions;

    Server()
    {
        EXPECT_EQ(ConfigServerCreate(nullptr, proxy.Out()), S_OK);
        InterfacePtr<IConfigServer> server;
        EXPECT_EQ(proxy->GetConfigServer(server.Out()), S_OK);
        EXPECT_EQ(server->GetService(&IID_IConfigStorage, storage.OutVoid()), S_OK);
        EXPECT_EQ(server->GetService(&IID_IConfigSubscriptionService, subscriptions.OutVoid()), S_OK);
    }
    ~Server() { ConfigServerShutdown(proxy.Get()); }

    InterfacePtr<IVXModifySubscription> Subscribe(const std::wstring& path, std::int64_t options,
                                                  IConfigModifyCallback* sink)
    {
        VXNodePtr request = VXNodePtr::Create(L"SubscribeConfig");
        request.SetInt64Attribute(L"ChangesMask", CFG_CHANGE_ATTRIBUTES);
        request.SetInt64Attribute(L"SubscribeOptions", options);
        InterfacePtr<IVXModifySubscription> subscription;
        EXPECT_EQ(subscriptions->Subscribe(MakePathQuery(path, false, 1).Get(), request.Get(), sink,
                                           subscription.Out()),
                  S_OK);
        EXPECT_EQ(subscription->Start(), S_OK);
        return subscription;
    }
    void Put(const std::wstring& path, const std::wstring& value)
    {
        VXNodePtr node = VXNodePtr::Create();
        node.SetName(kNameFullPath, path);
        node.SetStringAttribute(L"Value", value);
        IVXNode* nodes[] = {node.Get()};
        EXPECT_EQ(storage->PutNodes(nullptr, 0, nodes, 1), S_OK);
    }
};
} // namespace

TEST(ConfigSubscriptionsSinkTest, ServerDeliversSingleNodesAtOnceAndBatchesPerPeriod)
{
    Server server;
    Collector collector;
    // Single nodes are collected with mask 0, batched records keep theirs.
    auto sink = CConfigSubscriptionsSink::Create(
        20ms, [&](const GUID& id, std::vector<TNodeModification>&& records) { collector.Add(id, records); },
        [&](const GUID& id, const std::wstring& path, const VXNodePtr& node) {
            collector.Add(id, {{path, 0, node}});
        });
    auto immediate =
        server.Subscribe(L"\\Cfg\\Common", CFG_SUBSCRIBE_INCLUDE_NODE | CFG_SUBSCRIBE_SUBTREE, sink.Get());
    auto batched = server.Subscribe(L"\\Cfg\\Quorl", CFG_SUBSCRIBE_ALL, sink.Get());
    GUID immediateId{}, batchedId{};
    ASSERT_EQ(immediate->GetId(&immediateId), S_OK);
    ASSERT_EQ(batched->GetId(&batchedId), S_OK);

    server.Put(L"\\Cfg\\Common", L"db1");
    EXPECT_EQ(collector.WaitForRecords(1),
              (std::vector<Collector::Call>{{immediateId, {L"\\Cfg\\Common|0|db1"}}}));
    server.Put(L"\\Cfg\\Quorl", L"q1");
    server.Put(L"\\Cfg\\Quorl", L"q2");
    auto calls = collector.WaitForRecords(3);
    std::vector<std::wstring> records;
    for (std::size_t i = 1; i < calls.size(); ++i)
    {
        EXPECT_EQ(calls[i].first, batchedId);
        records.insert(records.end(), calls[i].second.begin(), calls[i].second.end());
    }
    EXPECT_EQ(records, (std::vector<std::wstring>{L"\\Cfg\\Quorl|4|q1", L"\\Cfg\\Quorl|4|q2"}));
    EXPECT_EQ(server.subscriptions->Unsubscribe(immediate.Get()), S_OK);
    EXPECT_EQ(server.subscriptions->Unsubscribe(batched.Get()), S_OK);
}

TEST(ConfigSubscriptionsSinkTest, MalformedReportsFailWithOneErrLineAndNoCallback)
{
    LogCapture log;
    int nodeCalls = 0;
    auto sink = CConfigSubscriptionsSink::Create(
        std::uint64_t{3600}, [](const GUID&, std::vector<TNodeModification>&&) {},
        [&](const GUID&, const std::wstring& path, const VXNodePtr&)
        {
            ++nodeCalls;
            if (path == L"\\Refuse")
            {
                RaiseHResult(E_ACCESSDENIED);
            }
        });
    auto subscription = Subscription(1);
    auto trigger = [&](std::uint32_t kind, IVXModifySubscription* s, IVXNodeModifyEnum* e)
    { return sink->OnTriggered(s, kind, e); };
    auto one = [](const wchar_t* path) { return Enum({Change(path, L"1")}); };

    EXPECT_EQ(trigger(1, subscription.Get(), Enum({Change(L"\\A", L"1"), Change(L"\\B", L"2")}).Get()),
              HR_INVALID_DATA);
    auto errors = log.Find(Logging::Err, kOnTriggered);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message.rfind(std::wstring(kOnTriggered) + L"0x8007000D The data is invalid [0x", 0),
              0u);
    EXPECT_EQ(errors[0].line, 162u);

    EXPECT_EQ(trigger(1, subscription.Get(), Enum({}).Get()), HR_INVALID_DATA);
    EXPECT_EQ(trigger(1, subscription.Get(), Enum({Change(L"\\A", L"", false)}).Get()), E_POINTER);
    EXPECT_EQ(trigger(1, nullptr, one(L"\\A").Get()), E_POINTER);
    EXPECT_EQ(trigger(0, subscription.Get(), nullptr), E_POINTER);
    EXPECT_EQ(trigger(1, Subscription(1, E_ACCESSDENIED).Get(), one(L"\\A").Get()), E_ACCESSDENIED);
    EXPECT_EQ(trigger(0, subscription.Get(), Enum({}, S_FALSE, HR_NOT_FOUND).Get()), HR_NOT_FOUND);
    EXPECT_EQ(nodeCalls, 0);

    // A failing Next ends the list: the single record before it is delivered.
    EXPECT_EQ(trigger(7, subscription.Get(), Enum({Change(L"\\A", L"1")}, E_FAIL).Get()), S_OK);
    EXPECT_EQ(nodeCalls, 1);
    // The owner's failure goes back to the server.
    EXPECT_EQ(trigger(1, subscription.Get(), one(L"\\Refuse").Get()), E_ACCESSDENIED);
    EXPECT_EQ(nodeCalls, 2);

    // Without a node callback a single node is accepted and dropped; an empty batch is logged.
    int batches = 0;
    auto quiet = CConfigSubscriptionsSink::Create(
        std::uint64_t{3600}, [&](const GUID&, std::vector<TNodeModification>&&) { ++batches; });
    EXPECT_EQ(quiet->OnTriggered(subscription.Get(), 1, one(L"\\A").Get()), S_OK);
    EXPECT_EQ(quiet->OnTriggered(subscription.Get(), 0, Enum({}).Get()), S_OK);
    // The batch whose enumeration could not be opened was announced too.
    auto triggered = log.Find(Logging::Dbg3, L"DatabaseManagement config subscription with id ");
    ASSERT_EQ(triggered.size(), 2u);
    EXPECT_EQ(
        triggered[1].message,
        L"DatabaseManagement config subscription with id {00000001-0000-0000-0000-000000000000} triggered");
    EXPECT_EQ(triggered[1].line, 152u);
    EXPECT_EQ(log.Find(Logging::Err, L"").size(), 8u);

    // Released while waiting, the sink drops what is pending.
    EXPECT_EQ(quiet->OnTriggered(subscription.Get(), 0, Enum(std::vector(100, Change(L"\\N", L"n"))).Get()),
              S_OK);
    quiet.Reset();
    EXPECT_EQ(batches, 0);

    // Creation needs the modifications callback.
    EXPECT_EQ(TestSupport::CodeOf([] { CConfigSubscriptionsSink::Create(std::uint64_t{1}, nullptr); }),
              E_INVALIDARG);
}

TEST(ConfigSubscriptionsSinkTest, PublicationGroupsPerSubscriptionInByteOrderAndSurvivesFailures)
{
    LogCapture log;
    Collector collector;
    std::promise<void> gateEntered;
    std::promise<void> gateOpen;
    std::shared_future<void> open = gateOpen.get_future().share();
    // Byte order differs from numeric order: 0x100 is stored 00 01 .., 0x2 as 02 00 ..
    const GUID gate{0, 0, 0, {}};
    const GUID a{0x2, 0, 0, {}};
    const GUID b{0x100, 0, 0, {}};

    auto sink = CConfigSubscriptionsSink::Create(
        5ms,
        [&](const GUID& id, std::vector<TNodeModification>&& records)
        {
            collector.Add(id, records);
            if (id == gate)
            {
                gateEntered.set_value();
                open.wait(); // holds the publisher while the next batches arrive
            }
            if (id == a)
            {
                RaiseHResult(E_FAIL);
            }
        });

    ASSERT_EQ(sink->OnTriggered(Subscription(0).Get(), 0, Enum({Change(L"\\Gate", L"g")}).Get()), S_OK);
    gateEntered.get_future().wait();

    auto subA = Subscription(a.Data1);
    auto subB = Subscription(b.Data1);
    ASSERT_EQ(sink->OnTriggered(subA.Get(), 0, Enum({Change(L"\\A", L"a1"), Change(L"\\A", L"a2")}).Get()),
              S_OK);
    ASSERT_EQ(sink->OnTriggered(subB.Get(), 0, Enum({Change(L"\\B", L"b1")}).Get()), S_OK);
    ASSERT_EQ(sink->OnTriggered(subA.Get(), 0, Enum({Change(L"\\A", L"a3", false)}).Get()), S_OK);
    // A batch that breaks halfway keeps what it delivered before the break.
    VXNodePtr broken = VXNodePtr::Create(L"M");
    ASSERT_EQ(
        sink->OnTriggered(subB.Get(), 0, Enum({Change(L"\\B", L"b2"), broken, Change(L"\\B", L"b3")}).Get()),
        HR_NOT_FOUND);
    gateOpen.set_value();
    EXPECT_EQ(collector.WaitForRecords(1 + 3 + 2),
              (std::vector<Collector::Call>{{gate, {L"\\Gate|4|g"}},
                                            {b, {L"\\B|4|b1", L"\\B|4|b2"}},
                                            {a, {L"\\A|4|a1", L"\\A|4|a2", L"\\A|4|-"}}}));

    sink.Reset(); // waits for the publication in progress, which logs after the callback
    auto warnings = log.Find(Logging::Warn, L"Config modify callback returned error 0x80004005 ");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].line, 118u);
}
