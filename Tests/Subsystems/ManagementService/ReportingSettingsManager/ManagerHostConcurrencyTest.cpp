// The manager under load: callers on four threads, a writer changing the store, subscribers
// coming and going; then every subscriber that stayed holds, for each type, what the manager
// serves. And Shutdown racing with change callbacks that take the settings lock.
#include "ManagerHostSupport.h"

#include <future>
#include <random>
#include <tuple>

namespace
{
using namespace ManagerHost;

// Runs f on its own thread and tells whether it ended within the limit; a hang ends the process
// rather than the test run's time.
bool EndsWithin(std::function<void()> f, std::chrono::seconds limit)
{
    auto done = std::async(std::launch::async, std::move(f));
    if (done.wait_for(limit) != std::future_status::ready)
    {
        ADD_FAILURE() << "deadlock";
        std::_Exit(3);
    }
    return true;
}

constexpr std::uint32_t kTypes[] = {1, 2, 4, 8, 16, 32, 64, 128, 256};

TEST(ManagerHostConcurrency, CallersWriterAndSubscribersAgreeAtTheEnd)
{
    Deployment d;
    InterfacePtr<IReportingSettingsManager> m = d.CreateManager();
    ASSERT_EQ(Deployment::Configure(m.Get(), d.Config(1, 1)), S_OK);

    Subscriber stayed[3];
    const std::uint32_t masks[] = {0x1FF, 2 | 4 | 1, 8 | 64 | 256};
    std::vector<Node> cookies;
    for (std::size_t i = 0; i < 3; ++i)
    {
        cookies.push_back(Subscribe(m.Get(), masks[i], stayed[i]));
    }

    const Node quorl = d.Read(L"\\Settings\\Products\\Quorl");
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::mutex transientLock;
    std::vector<std::unique_ptr<Subscriber>> transient; // outlive the manager's references

    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                std::mt19937 random(static_cast<unsigned>(t));
                while (!stop)
                {
                    const std::uint32_t type = kTypes[random() % 9];
                    Node result;
                    EXPECT_EQ(m->AcquireConnectionSettings(type, result.Out()), S_OK);
                    Node common;
                    EXPECT_EQ(m->AcquireCommonConnectionSettings(random() % 2, nullptr, common.Out()), S_OK);
                    Node source = quorl.Clone();
                    Node converted;
                    EXPECT_EQ(m->ConvertReportingSettings(source.Get(), random() % 2, converted.Out()), S_OK);
                    Node products;
                    EXPECT_EQ(m->AcquireProductsSettings(0x1F8, products.Out()), S_OK);
                    // Requests for the state the areas are in already, and an invalid one.
                    EXPECT_EQ(m->SetReportingSettingsEnabled(8, 1), S_OK);
                    EXPECT_EQ(m->SetReportingSettingsEnabled(128, 0), S_OK);
                    EXPECT_EQ(m->SetReportingSettingsEnabled(1, 1), MakeHr(0x8007000D));
                    // A subscriber that comes and goes.
                    auto subscriber = std::make_unique<Subscriber>();
                    Node cookie;
                    EXPECT_EQ(m->CreateReportingSettingsSubscription(type, subscriber.get(), cookie.Out()),
                              S_OK);
                    EXPECT_EQ(m->RemoveReportingSettingsSubscription(cookie.Get()), S_OK);
                    std::lock_guard lock(transientLock);
                    transient.push_back(std::move(subscriber));
                }
            });
    }
    // The writer's changes: path, attribute, value prefix, how many values it cycles through.
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, int> writes[] = {
        {L"\\Settings\\Products\\Quorl", L"DatabaseName", L"Q", 1 << 30},
        {L"\\Settings\\Reporting\\Common", L"SqlServerInstance", L"SQL", 3},
        {L"\\Settings\\Products\\Pentrel\\Reporting\\Database", L"SqlUserName", L"P", 1 << 30},
        {L"\\Containers\\{5B0C3A44-2F1E-4C8A-9D61-1A2B3C4D5E02}\\ReportingSettings", L"Database", L"C",
         1 << 30}};
    threads.emplace_back(
        [&]
        {
            for (int n = 1; !stop; ++n)
            {
                for (const auto& [path, name, prefix, values] : writes)
                {
                    EXPECT_EQ(d.WriteString(path, name, prefix + std::to_wstring(n % values)), S_OK);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });

    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop = true;
    for (auto& thread : threads)
    {
        thread.join();
    }

    // Quiet: no change delivered for longer than the sink's period.
    const auto quiet = [](Subscriber& s)
    { return Clock::now() - s.LastChange() >= std::chrono::milliseconds(2500); };
    ASSERT_TRUE(WaitFor([&] { return std::ranges::all_of(stayed, quiet); }, std::chrono::seconds(60)));
    // The republisher is still running: stop it before comparing.
    EndsWithin([&] { EXPECT_EQ(Deployment::Shutdown(m.Get()), S_OK); }, std::chrono::seconds(60));

    for (std::size_t i = 0; i < 3; ++i)
    {
        std::map<std::uint32_t, Node> last = stayed[i].Last();
        for (std::uint32_t type : kTypes)
        {
            if ((masks[i] & type) == 0)
            {
                EXPECT_EQ(last.count(type), 0u);
                continue;
            }
            ASSERT_EQ(last.count(type), 1u) << "subscriber " << i << " type " << type;
            EXPECT_EQ(last[type].Serialized(), Acquire(m.Get(), type).Serialized())
                << "subscriber " << i << " type " << type;
        }
    }
    m.Reset();
    EXPECT_EQ(ObjectsInUse(), 0u);
}

// Removing a server subscription waits for its callback in progress, and the callback takes the
// settings lock: Shutdown must get through while common settings changes keep arriving.
TEST(ManagerHostConcurrency, ShutdownWhileChangeCallbacksRun)
{
    Deployment d;
    for (int round = 0; round < 5; ++round)
    {
        InterfacePtr<IReportingSettingsManager> m = d.CreateManager();
        ASSERT_EQ(Deployment::Configure(m.Get(), d.Config()), S_OK);
        Subscriber subscriber;
        Node cookie = Subscribe(m.Get(), 0x1FF, subscriber);
        std::atomic<bool> stop{false};
        std::thread writer(
            [&]
            {
                for (int n = 0; !stop; ++n)
                {
                    d.WriteString(L"\\Settings\\Reporting\\Common", L"SqlServerInstance",
                                  L"SQL" + std::to_wstring(n));
                }
            });
        std::thread caller(
            [&]
            {
                while (!stop)
                {
                    Node result;
                    m->AcquireConnectionSettings(1, result.Out());
                }
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + 50 * round));
        EndsWithin([&] { EXPECT_EQ(Deployment::Shutdown(m.Get()), S_OK); }, std::chrono::seconds(60));
        stop = true;
        writer.join();
        caller.join();
        m.Reset();
        EXPECT_EQ(ObjectsInUse(), 0u);
        EXPECT_EQ(subscriber.refs, 0u);
    }
}
} // namespace
