#include "Common/Components/DbgAliveObjectsTracker.h"

#include "Common/Logging/Log.h"
#include "Common/Settings/GlobalSettings.h"
#include "Platform/Core/System.h"

#include <cstdio>

namespace Components
{
DbgAliveObjectsTracker::DbgAliveObjectsTracker()
{
    m_enabled = Settings::GetGlobalSettingNumberOr(L"Debug", L"EnableAliveObjectsTracking", 0) != 0;
    if (m_enabled)
    {
        m_framesToSkip = Settings::GetGlobalSettingNumberOr(L"Debug", L"AliveObjectsTrackingFramesToSkip", 0);
    }
}

DbgAliveObjectsTracker::DbgAliveObjectsTracker(bool enabled, std::uint32_t framesToSkip)
    : m_enabled(enabled), m_framesToSkip(enabled ? framesToSkip : 0)
{
}

DbgAliveObjectsTracker::~DbgAliveObjectsTracker()
{
    Base::LockGuard<Base::RecursiveMutex> guard(m_lock);
    m_enabled = false;
    m_records.clear();
}

__attribute__((noinline)) void DbgAliveObjectsTracker::Register(const void* object, const char* tag) noexcept
{
    if (!m_enabled)
    {
        return;
    }
    try
    {
        TRecord record{};
        // One more than asked: the capture starts inside Register.
        Platform::CaptureStackBackTrace(m_framesToSkip + 1, kFrames, record.frames);
        record.tag = tag == nullptr ? "" : tag;
        Base::LockGuard<Base::RecursiveMutex> guard(m_lock);
        m_records.insert_or_assign(object, std::move(record));
    }
    catch (...)
    {
        // Allocation failure: the object simply goes untracked.
    }
}

void DbgAliveObjectsTracker::Unregister(const void* object) noexcept
{
    if (!m_enabled)
    {
        return;
    }
    Base::LockGuard<Base::RecursiveMutex> guard(m_lock);
    m_records.erase(object);
}

void DbgAliveObjectsTracker::Dump() noexcept
{
    if (!m_enabled)
    {
        return;
    }
    try
    {
        Base::LockGuard<Base::RecursiveMutex> guard(m_lock);
        if (m_records.empty())
        {
            return;
        }
        RSM_LOG_AT(Logging::Warn, 59, L"Alive component objects: " << m_records.size());
        for (const auto& entry : m_records)
        {
            // Named references: clang 14 cannot capture structured bindings in a lambda.
            const void* const object = entry.first;
            const auto& record = entry.second;
            RSM_LOG_AT(Logging::Warn, 72,
                       [&]
                       {
                           std::wstring frames;
                           for (void* frame : record.frames)
                           {
                               frames += FormatAddress(frame);
                               frames += L';';
                           }
                           if (!frames.empty())
                           {
                               frames.pop_back();
                           }
                           std::wstring tag;
                           for (char c : record.tag)
                           {
                               tag += static_cast<wchar_t>(static_cast<unsigned char>(c));
                           }
                           return L"ObjTag='" + tag + L"' Ptr=" + FormatAddress(object) + L" EIPs=" + frames;
                       }());
        }
    }
    catch (...)
    {
        // The lock itself failed; there is nothing to report it to.
    }
}

std::size_t DbgAliveObjectsTracker::Count() const
{
    Base::LockGuard<Base::RecursiveMutex> guard(m_lock);
    return m_records.size();
}

DbgAliveObjectsTracker& GetAliveObjectsTracker()
{
    static DbgAliveObjectsTracker tracker;
    return tracker;
}

std::wstring FormatAddress(const void* address)
{
    wchar_t text[24];
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"0x%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(address)));
    return text;
}
} // namespace Components
