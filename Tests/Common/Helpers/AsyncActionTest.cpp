#include "Common/Helpers/AsyncAction.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Helpers::CAsyncAction;
using Clock = std::chrono::steady_clock;

namespace
{
// Start and end of every run.
class RunLog
{
public:
    void Record(Clock::time_point start, Clock::time_point end)
    {
        std::lock_guard lock(m_lock);
        m_runs.push_back({start, end});
        m_changed.notify_all();
    }
    // All runs once there are count of them, or after 10 s.
    std::vector<std::pair<Clock::time_point, Clock::time_point>> WaitFor(std::size_t count)
    {
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, 10s, [&] { return m_runs.size() >= count; });
        return m_runs;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> m_runs;
};
} // namespace

TEST(AsyncActionTest, RunsAfterTheDelayThenOncePerPeriodAfterEachRunEnds)
{
    RunLog log;
    Clock::time_point created = Clock::now();
    {
        CAsyncAction action(20ms, 30ms,
                            [&]
                            {
                                auto start = Clock::now();
                                std::this_thread::sleep_for(5ms);
                                log.Record(start, Clock::now());
                            });
        ASSERT_GE(log.WaitFor(4).size(), 4u);
    }
    auto runs = log.WaitFor(4);
    EXPECT_GE(runs[0].first - created, 30ms);
    for (std::size_t i = 1; i < runs.size(); ++i)
    {
        // The period counts from the end of the previous run, and runs never overlap.
        EXPECT_GE(runs[i].first - runs[i - 1].second, 20ms);
    }
}

TEST(AsyncActionTest, NonPositiveDelayRunsAtOnceNonPositivePeriodOnceAndEarlyStopNever)
{
    for (auto value : {std::chrono::seconds(0), std::chrono::seconds(-5)})
    {
        RunLog log;
        {
            CAsyncAction action(value, value, [&] { log.Record(Clock::now(), Clock::now()); });
            ASSERT_EQ(log.WaitFor(1).size(), 1u);
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_EQ(log.WaitFor(1).size(), 1u) << value.count();
    }
    std::atomic<int> runs{0};
    for (auto delay : {std::chrono::seconds(3600), std::chrono::seconds::max(),
                       std::chrono::seconds(std::numeric_limits<std::int64_t>::max() - 1)})
    {
        CAsyncAction action(std::chrono::seconds(1), delay, [&] { ++runs; });
        action.Stop();
        action.Stop(); // twice is harmless
    }
    EXPECT_EQ(runs, 0);
}

TEST(AsyncActionTest, FailingRunsKeepTheScheduleAndDestructionWaitsForTheRunInProgress)
{
    std::promise<void> entered;
    std::atomic<int> runs{0};
    std::atomic<bool> finished{false};
    const void* seen = nullptr;
    const void* self = nullptr;
    {
        CAsyncAction action(1ms, 0ms,
                            [&](auto& owner)
                            {
                                seen = &owner;
                                const int run = ++runs;
                                if (run == 5)
                                {
                                    entered.set_value();
                                    std::this_thread::sleep_for(30ms);
                                    finished = true;
                                    return;
                                }
                                if (run % 2 == 0)
                                {
                                    RaiseHResult(E_FAIL);
                                }
                                throw std::runtime_error("not an HRESULT");
                            });
        self = &action;
        entered.get_future().wait();
    }
    EXPECT_TRUE(finished);
    EXPECT_EQ(runs, 5);
    EXPECT_EQ(seen, self);
}
