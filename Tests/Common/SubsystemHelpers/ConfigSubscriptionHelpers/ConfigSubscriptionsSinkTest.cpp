#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "Common/SubsystemHelpers/ConfigSubscriptionHelpers/ModifyEnumFakes.h"

#include <future>
#include <thread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using CfgSubscriptionsHelpers::CConfigSubscriptionsSink;
using Components::InterfacePtr;
using Fakes::Enum;
using TestSupport::LogCapture;

namespace
{
constexpr std::int32_t kNode = CFG_TRIGGER_NODE;
constexpr std::int32_t kBatch = CFG_TRIGGER_BATCH;
constexpr wchar_t kOnTriggered[] = L"CfgSubscriptionsHelpers::CConfigSubscriptionsSink::OnTriggered failed: ";

InterfacePtr<IVXModifySubscription> Subscription(std::uint32_t data1, HRESULT idResult = S_OK)
{
    return InterfacePtr<IVXModifySubscription>(new Fakes::Subscription(GUID{data1, 0, 0, {}}, idResult),
                                               true);
}

VXNodePtr Change(const std::wstring& path, const std::wstring& value)
{
    VXNodePtr node = Fakes::MakeModificationNode(path, 4);
    node.GetChild(0).SetStringAttribute(L"Value", value);
    return node;
}
} // namespace

TEST(ConfigSubscriptionsSinkTest, SingleNodesGoStraightToTheOwnerAndMalformedReportsFailWithOneErrLine)
{
    LogCapture log;
    std::vector<std::wstring> nodes; // "id path value" per call
    auto sink = CConfigSubscriptionsSink::Create(
        std::uint64_t{3600}, [](const GUID&, std::vector<TNodeModification>&&) {},
        [&](const GUID& id, const std::wstring& path, const VXNodePtr& node)
        {
            nodes.push_back(std::to_wstring(id.Data1) + L" " + path + L" " +
                            node.GetStringAttribute(L"Value"));
            if (path == L"\\Refuse")
            {
                RaiseHResult(E_ACCESSDENIED);
            }
        });
    auto subscription = Subscription(1);
    auto one = [](const wchar_t* path) { return Enum({Change(path, L"1")}); };
    auto trigger = [&](std::int32_t kind, const InterfacePtr<IVXNodeModifyEnum>& changes)
    { return sink->OnTriggered(subscription.Get(), kind, changes.Get()); };

    EXPECT_EQ(trigger(kNode, Enum({Change(L"\\A", L"1"), Change(L"\\B", L"2")})), HR_INVALID_DATA);
    auto errors = log.Find(Logging::Err, kOnTriggered);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message.rfind(std::wstring(kOnTriggered) + L"0x8007000D The data is invalid [0x", 0),
              0u);
    EXPECT_EQ(errors[0].line, 162u);

    EXPECT_EQ(trigger(kNode, Enum({})), HR_INVALID_DATA);
    EXPECT_EQ(trigger(kNode, Enum({Fakes::MakeModificationNode(L"\\A", 4, false)})), E_POINTER);
    EXPECT_EQ(sink->OnTriggered(nullptr, kNode, one(L"\\A").Get()), E_POINTER);
    EXPECT_EQ(sink->OnTriggered(subscription.Get(), kBatch, nullptr), E_POINTER);
    EXPECT_EQ(sink->OnTriggered(Subscription(1, E_ACCESSDENIED).Get(), kNode, one(L"\\A").Get()),
              E_ACCESSDENIED);
    EXPECT_EQ(trigger(kBatch, Enum({}, S_FALSE, HR_NOT_FOUND)), HR_NOT_FOUND);
    EXPECT_TRUE(nodes.empty());

    // Any kind but the batch kind is a single node, handed on at once; a failing Next ends the
    // list, and the single record before it is delivered.
    EXPECT_EQ(trigger(7, Enum({Change(L"\\A", L"1")}, E_FAIL)), S_OK);
    EXPECT_EQ(nodes, std::vector<std::wstring>{L"1 \\A 1"});
    // The owner's failure goes back to the server.
    EXPECT_EQ(trigger(kNode, one(L"\\Refuse")), E_ACCESSDENIED);
    EXPECT_EQ(nodes.size(), 2u);

    // Without a node callback a single node is accepted and dropped; an empty batch is logged.
    int batches = 0;
    auto quiet = CConfigSubscriptionsSink::Create(
        std::uint64_t{3600}, [&](const GUID&, std::vector<TNodeModification>&&) { ++batches; });
    EXPECT_EQ(quiet->OnTriggered(subscription.Get(), kNode, one(L"\\A").Get()), S_OK);
    EXPECT_EQ(quiet->OnTriggered(subscription.Get(), kBatch, Enum({}).Get()), S_OK);
    // The batch whose enumeration could not be opened was announced too.
    auto triggered = log.Find(Logging::Dbg3, L"DatabaseManagement config subscription with id ");
    ASSERT_EQ(triggered.size(), 2u);
    EXPECT_EQ(
        triggered[1].message,
        L"DatabaseManagement config subscription with id {00000001-0000-0000-0000-000000000000} triggered");
    EXPECT_EQ(triggered[1].line, 152u);
    EXPECT_EQ(log.Find(Logging::Err, L"").size(), 8u);

    // Released while waiting, the sink drops what is pending.
    EXPECT_EQ(
        quiet->OnTriggered(subscription.Get(), kBatch, Enum(std::vector(100, Change(L"\\N", L"n"))).Get()),
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
    std::vector<std::pair<GUID, std::vector<std::wstring>>> calls; // per call: id, "path|mask|value"s
    std::promise<void> gateEntered, gateOpen, lastDone;
    std::shared_future<void> open = gateOpen.get_future().share();
    // Byte order differs from numeric order: 0x100 is stored 00 01 .., 0x2 as 02 00 ..
    const GUID gate{0, 0, 0, {}};
    const GUID a{0x2, 0, 0, {}};
    const GUID b{0x100, 0, 0, {}};

    auto sink = CConfigSubscriptionsSink::Create(
        5ms,
        [&](const GUID& id, std::vector<TNodeModification>&& records)
        {
            auto& texts = calls.emplace_back(id, std::vector<std::wstring>{}).second;
            for (const auto& r : records)
            {
                texts.push_back(r.ModifiedNodePath + L"|" + std::to_wstring(r.ChangesMask) + L"|" +
                                (r.ModifiedNode ? r.ModifiedNode.GetStringAttribute(L"Value") : L"-"));
            }
            if (id == gate)
            {
                gateEntered.set_value();
                open.wait(); // holds the publisher while the next batches arrive
            }
            if (id == a) // published last
            {
                lastDone.set_value();
                RaiseHResult(E_FAIL);
            }
        });

    ASSERT_EQ(sink->OnTriggered(Subscription(0).Get(), kBatch, Enum({Change(L"\\Gate", L"g")}).Get()), S_OK);
    gateEntered.get_future().wait();

    auto subA = Subscription(a.Data1);
    auto subB = Subscription(b.Data1);
    ASSERT_EQ(
        sink->OnTriggered(subA.Get(), kBatch, Enum({Change(L"\\A", L"a1"), Change(L"\\A", L"a2")}).Get()),
        S_OK);
    ASSERT_EQ(sink->OnTriggered(subB.Get(), kBatch, Enum({Change(L"\\B", L"b1")}).Get()), S_OK);
    ASSERT_EQ(
        sink->OnTriggered(subA.Get(), kBatch, Enum({Fakes::MakeModificationNode(L"\\A", 4, false)}).Get()),
        S_OK);
    // A batch that breaks halfway keeps what it delivered before the break.
    VXNodePtr broken = VXNodePtr::Create(L"M");
    ASSERT_EQ(sink->OnTriggered(subB.Get(), kBatch,
                                Enum({Change(L"\\B", L"b2"), broken, Change(L"\\B", L"b3")}).Get()),
              HR_NOT_FOUND);
    gateOpen.set_value();
    ASSERT_EQ(lastDone.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(calls, (std::vector<std::pair<GUID, std::vector<std::wstring>>>{
                         {gate, {L"\\Gate|4|g"}},
                         {b, {L"\\B|4|b1", L"\\B|4|b2"}},
                         {a, {L"\\A|4|a1", L"\\A|4|a2", L"\\A|4|-"}}}));

    sink.Reset(); // waits for the publication in progress, which logs after the callback
    auto warnings = log.Find(Logging::Warn, L"Config modify callback returned error 0x80004005 ");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].line, 118u);
}
