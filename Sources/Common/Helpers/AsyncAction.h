// Runs an action repeatedly on a worker thread of its own: first after an initial delay, then
// each time a period has passed since the previous run ended, until the object is destroyed.
// The action takes no arguments or the running CAsyncAction. Destruction waits for a run in
// progress, never for a period.
#pragma once

#include "Common/Base/Locks.h"
#include "Common/ErrorHandling/Boundary.h"
#include "Common/Logging/Trace.h"

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

namespace Helpers
{
namespace AsyncActionDetail
{
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<std::int64_t>;

// Raises the failure to start a thread as the HRESULT of its error.
[[noreturn]] void RaiseThreadStartFailure(const std::system_error& error);

// from + delay into deadline; false when the sum leaves the clock's range (wait without limit).
inline bool Deadline(Clock::time_point from, std::chrono::milliseconds delay, Clock::time_point& deadline)
{
    if (delay.count() <= 0)
    {
        deadline = from;
        return true;
    }
    auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - from);
    if (delay >= room)
    {
        return false;
    }
    deadline = from + delay;
    return true;
}

// Seconds as milliseconds, saturating; negative counts as 0.
inline std::chrono::milliseconds ToMilliseconds(Seconds seconds)
{
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max() / 1000;
    std::int64_t s = seconds.count();
    return std::chrono::milliseconds(
        s <= 0 ? 0 : (s >= limit ? std::numeric_limits<std::int64_t>::max() : s * 1000));
}
} // namespace AsyncActionDetail

template <typename Action> class CAsyncAction
{
public:
    using Seconds = AsyncActionDetail::Seconds;

    // A period of 0 (or less) runs the action once; an initial delay of Seconds::max() waits for
    // the stop without running. The worker is running when the constructor returns.
    CAsyncAction(Seconds period, Seconds initialDelay, Action action)
        : CAsyncAction(AsyncActionDetail::ToMilliseconds(period),
                       AsyncActionDetail::ToMilliseconds(initialDelay), initialDelay == Seconds::max(),
                       std::move(action))
    {
    }
    // Finer periods for callers that need them; the same rules otherwise.
    CAsyncAction(std::chrono::milliseconds period, std::chrono::milliseconds initialDelay, Action action)
        : CAsyncAction(period, initialDelay, false, std::move(action))
    {
    }

    CAsyncAction(const CAsyncAction&) = delete;
    CAsyncAction& operator=(const CAsyncAction&) = delete;

    ~CAsyncAction()
    {
        Stop();
        if (m_worker.joinable())
        {
            m_worker.join();
        }
    }

    void Stop() RSM_EXCLUDES(m_lock)
    {
        {
            Base::LockGuard<Base::Mutex> lock(m_lock);
            m_stopRequested = true;
        }
        m_wakeUp.NotifyAll();
    }

private:
    using Clock = AsyncActionDetail::Clock;

    struct StartData
    {
        CAsyncAction* owner;
        std::chrono::milliseconds initialDelay;
        bool noInitialLimit;
        Action action;
    };

    CAsyncAction(std::chrono::milliseconds period, std::chrono::milliseconds initialDelay,
                 bool noInitialLimit, Action action)
        : m_period(period)
    {
        auto start =
            std::make_unique<StartData>(StartData{this, initialDelay, noInitialLimit, std::move(action)});
        try
        {
            m_worker = std::thread([data = std::move(start)]() mutable { data->owner->Run(*data); });
        }
        catch (const std::system_error& e)
        {
            AsyncActionDetail::RaiseThreadStartFailure(e);
        }
    }

    // Waits until the deadline passes (true) or a stop is requested (false).
    bool WaitUntil(Base::UniqueLock& lock, bool limited, Clock::time_point deadline) RSM_REQUIRES(m_lock)
    {
        for (;;)
        {
            if (m_stopRequested)
            {
                return false;
            }
            if (!limited)
            {
                m_wakeUp.Wait(lock);
            }
            else if (Clock::now() >= deadline)
            {
                return true;
            }
            else
            {
                m_wakeUp.WaitUntil(lock, deadline);
            }
        }
    }

    void Run(StartData& data) RSM_EXCLUDES(m_lock)
    {
        RSM_TRACE_SCOPE_AT(Logging::Dbg, 50, L"AsyncAction thread");
        Base::UniqueLock lock(m_lock);
        Clock::time_point start = Clock::now();
        Clock::time_point deadline{};
        bool limited =
            !data.noInitialLimit && AsyncActionDetail::Deadline(start, data.initialDelay, deadline);
        WaitUntil(lock, limited, deadline);
        while (!m_stopRequested)
        {
            lock.Unlock();
            RSM_WORKER(L"Executing AsyncAction", 86,
                       [&]
                       {
                           RSM_TRACE_SCOPE_AT(Logging::Dbg2, 80, L"Executing AsyncAction");
                           if constexpr (std::is_invocable_v<Action&, CAsyncAction&>)
                           {
                               data.action(*this);
                           }
                           else
                           {
                               data.action();
                           }
                       });
            lock.Lock();
            m_lastRun = Clock::now();
            // A period of 0, or one beyond the clock's range, waits for the stop alone.
            limited = m_period.count() > 0 && AsyncActionDetail::Deadline(m_lastRun, m_period, deadline);
            WaitUntil(lock, limited, deadline);
        }
    }

    std::thread m_worker;
    Base::Mutex m_lock;
    Base::CondVar m_wakeUp;
    const std::chrono::milliseconds m_period;
    Clock::time_point m_lastRun RSM_GUARDED_BY(m_lock){};
    bool m_stopRequested RSM_GUARDED_BY(m_lock) = false;
};
} // namespace Helpers
