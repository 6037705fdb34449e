#include "Subsystems/ManagementService/ReportingSettingsManager/NotificationQueue.h"

namespace ManagementService
{
void CNotificationQueue::Push(TNotificationItem item)
{
    {
        Base::LockGuard<Base::Mutex> lock(m_lock);
        if (m_stopped)
        {
            return;
        }
        m_items.push_back(std::move(item));
    }
    m_changed.NotifyOne();
}

void CNotificationQueue::Stop()
{
    {
        Base::LockGuard<Base::Mutex> lock(m_lock);
        m_stopped = true;
    }
    m_changed.NotifyAll();
}

std::optional<TNotificationItem> CNotificationQueue::Pop()
{
    Base::UniqueLock lock(m_lock);
    m_changed.Wait(lock, [this]() RSM_NO_THREAD_SAFETY_ANALYSIS { return !m_items.empty() || m_stopped; });
    if (m_items.empty())
    {
        return std::nullopt;
    }
    std::optional<TNotificationItem> item(std::move(m_items.front()));
    m_items.pop_front();
    return item;
}
} // namespace ManagementService
