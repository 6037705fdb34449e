// Server-Sent Events streams: each open GET /v1/events is one subscriber of the manager. The
// manager's notification thread only renders the node and queues the text; the HTTP worker
// that serves the stream writes it, so a slow client never holds up the other subscribers.
#pragma once

#include "Common/Base/Locks.h"
#include "ReportingSettingsManager.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <set>
#include <string>

namespace Rsmd
{
class EventHub;

class EventStream final : public IReportingSettingsSubscriber
{
public:
    // A stream that falls this far behind is closed; its client reconnects.
    static constexpr std::size_t kMaxQueuedBytes = 64u << 20;

    EventStream(EventHub& hub, std::uint32_t types);

    std::uint32_t AddRef() override;
    std::uint32_t Release() override;
    HRESULT QueryInterface(const GUID* iid, void** ppv) override;
    HRESULT OnReportingSettingsChanged(std::uint32_t type, std::uint32_t periodic, IVXNode* node) override;

    // Waits up to timeout for queued events and moves them into out. False once the stream is
    // closed and nothing is left to write.
    bool Next(std::string& out, std::chrono::milliseconds timeout) RSM_EXCLUDES(m_lock);
    void Close() RSM_EXCLUDES(m_lock);
    std::size_t QueuedEvents() RSM_EXCLUDES(m_lock);
    std::uint32_t Types() const { return m_types; }

private:
    ~EventStream() = default;

    std::atomic<std::uint32_t> m_refs{1};
    EventHub& m_hub;
    const std::uint32_t m_types;
    Base::Mutex m_lock;
    Base::CondVar m_ready;
    std::deque<std::string> m_events RSM_GUARDED_BY(m_lock);
    std::size_t m_queuedBytes RSM_GUARDED_BY(m_lock) = 0;
    bool m_closed RSM_GUARDED_BY(m_lock) = false;
};

// The open streams, for shutdown and the metrics.
class EventHub
{
public:
    // False once the hub is closed: no new stream is accepted.
    bool Add(EventStream* stream) RSM_EXCLUDES(m_lock);
    void Remove(EventStream* stream) RSM_EXCLUDES(m_lock);
    // Ends every stream and refuses new ones.
    void CloseAll() RSM_EXCLUDES(m_lock);

    std::size_t OpenStreams() RSM_EXCLUDES(m_lock);
    std::size_t QueuedEvents() RSM_EXCLUDES(m_lock);
    void CountDelivery() { m_deliveries.fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t Deliveries() const { return m_deliveries.load(std::memory_order_relaxed); }

private:
    Base::Mutex m_lock;
    std::set<EventStream*> m_streams RSM_GUARDED_BY(m_lock);
    bool m_closed RSM_GUARDED_BY(m_lock) = false;
    std::atomic<std::uint64_t> m_deliveries{0};
};
} // namespace Rsmd
