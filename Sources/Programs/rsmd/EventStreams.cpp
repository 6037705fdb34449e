#include "Programs/rsmd/EventStreams.h"

#include "Programs/HostCommon/HostText.h"
#include "Programs/HostCommon/NodeJson.h"

#include <vector>

namespace Rsmd
{
EventStream::EventStream(EventHub& hub, std::uint32_t types) : m_hub(hub), m_types(types) {}

std::uint32_t EventStream::AddRef()
{
    return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::uint32_t EventStream::Release()
{
    const std::uint32_t left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0)
    {
        delete this;
    }
    return left;
}

HRESULT EventStream::QueryInterface(const GUID* iid, void** ppv)
{
    if (iid == nullptr || ppv == nullptr)
    {
        return E_INVALIDARG;
    }
    if (*iid != IID_IComponentBase && *iid != IID_IReportingSettingsSubscriber)
    {
        return E_NOINTERFACE;
    }
    AddRef();
    *ppv = static_cast<IReportingSettingsSubscriber*>(this);
    return S_OK;
}

HRESULT EventStream::OnReportingSettingsChanged(std::uint32_t type, std::uint32_t periodic, IVXNode* node)
{
    try
    {
        std::string event = "event: settings\ndata: {\"type\":" + std::to_string(type) +
                            ",\"periodic\":" + (periodic != 0 ? "true" : "false") + ",\"settings\":";
        if (node == nullptr)
        {
            event += "null";
        }
        else if (HRESULT hr = HostCommon::RenderNodeJson(node, event); FAILED(hr))
        {
            return hr;
        }
        event += "}\n\n";
        m_hub.CountDelivery();
        Base::LockGuard<Base::Mutex> lock(m_lock);
        if (m_closed)
        {
            return S_OK;
        }
        if (m_queuedBytes + event.size() > kMaxQueuedBytes)
        {
            m_closed = true; // too far behind: the client reconnects and starts afresh
        }
        else
        {
            m_queuedBytes += event.size();
            m_events.push_back(std::move(event));
        }
        m_ready.NotifyAll();
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

bool EventStream::Next(std::string& out, std::chrono::milliseconds timeout)
{
    out.clear();
    std::size_t count = 0;
    {
        Base::UniqueLock lock(m_lock);
        m_ready.WaitFor(lock, timeout,
                        [&]() RSM_NO_THREAD_SAFETY_ANALYSIS { return m_closed || !m_events.empty(); });
        for (; !m_events.empty(); ++count)
        {
            out += m_events.front();
            m_events.pop_front();
        }
        m_queuedBytes = 0;
        if (m_closed && count == 0)
        {
            return false;
        }
    }
    return true;
}

void EventStream::Close()
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    m_closed = true;
    m_ready.NotifyAll();
}

std::size_t EventStream::QueuedEvents()
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    return m_events.size();
}

bool EventHub::Add(EventStream* stream)
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    if (m_closed)
    {
        return false;
    }
    m_streams.insert(stream);
    return true;
}

void EventHub::Remove(EventStream* stream)
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    m_streams.erase(stream);
}

void EventHub::CloseAll()
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    m_closed = true;
    for (EventStream* stream : m_streams)
    {
        stream->Close();
    }
}

std::size_t EventHub::OpenStreams()
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    return m_streams.size();
}

std::size_t EventHub::QueuedEvents()
{
    Base::LockGuard<Base::Mutex> lock(m_lock);
    std::size_t total = 0;
    for (EventStream* stream : m_streams)
    {
        total += stream->QueuedEvents();
    }
    return total;
}
} // namespace Rsmd
