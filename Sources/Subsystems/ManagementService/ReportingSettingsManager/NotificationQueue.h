// The manager's queue of notifications for its subscribers: a FIFO with one consumer (the
// notification thread). Stop lets the consumer drain what was queued before it and then ends the
// consumer's loop, so that no change reported before a shutdown is lost.
#pragma once

#include "Common/Base/Locks.h"
#include "Common/ConfigTree/VXNodePtr.h"
#include "InterfacePtr.h"
#include <ReportingSettingsManager.h>

#include <cstdint>
#include <deque>
#include <optional>

namespace ManagementService
{
struct TNotificationItem
{
    std::uint32_t type = 0;
    VXNodePtr node; // a "ConnectionSettingsContainer"; an item without one is dropped
    bool periodic = false;
    // Only this subscriber is told; empty: every subscriber whose mask matches.
    Components::InterfacePtr<IReportingSettingsSubscriber> target;
};

class CNotificationQueue
{
public:
    CNotificationQueue() = default;
    CNotificationQueue(const CNotificationQueue&) = delete;
    CNotificationQueue& operator=(const CNotificationQueue&) = delete;

    // After Stop nothing is taken any more: no consumer would be left to deliver it.
    void Push(TNotificationItem item) RSM_EXCLUDES(m_lock);
    void Stop() RSM_EXCLUDES(m_lock);
    // Waits for an item; nothing once the queue is stopped and empty.
    std::optional<TNotificationItem> Pop() RSM_EXCLUDES(m_lock);

private:
    Base::Mutex m_lock;
    Base::CondVar m_changed;
    std::deque<TNotificationItem> m_items RSM_GUARDED_BY(m_lock);
    bool m_stopped RSM_GUARDED_BY(m_lock) = false;
};
} // namespace ManagementService
