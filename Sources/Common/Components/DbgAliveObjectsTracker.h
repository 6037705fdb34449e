// Debugging aid: remembers every live component object with a tag and the return addresses of
// its construction, and writes the list to the log on request. Off unless the "Debug" setting
// "EnableAliveObjectsTracking" is non-zero.
#pragma once

#include "Common/Base/Locks.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace Components
{
class DbgAliveObjectsTracker
{
public:
    static constexpr std::uint32_t kFrames = 4;

    // Reads its switches from the global settings, once.
    DbgAliveObjectsTracker();
    DbgAliveObjectsTracker(bool enabled, std::uint32_t framesToSkip);
    ~DbgAliveObjectsTracker();
    DbgAliveObjectsTracker(const DbgAliveObjectsTracker&) = delete;
    DbgAliveObjectsTracker& operator=(const DbgAliveObjectsTracker&) = delete;

    // A debugging aid never fails the code it watches: these swallow their own failures.
    void Register(const void* object, const char* tag) noexcept;
    void Unregister(const void* object) noexcept;
    void Dump() noexcept;

    bool IsEnabled() const noexcept { return m_enabled; }
    std::uint32_t FramesToSkip() const noexcept { return m_framesToSkip; }
    std::size_t Count() const;

private:
    struct TRecord
    {
        void* frames[kFrames];
        std::string tag;
    };

    bool m_enabled = false;
    std::uint32_t m_framesToSkip = 0;
    // Recursive: code run under the lock (the dump logs) may register or unregister objects on
    // the same thread.
    mutable Base::RecursiveMutex m_lock;
    std::map<const void*, TRecord> m_records RSM_GUARDED_BY(m_lock);
};

// The module's tracker; built before the module object.
DbgAliveObjectsTracker& GetAliveObjectsTracker();

// "0x" and the address as 16 upper-case hexadecimal digits.
std::wstring FormatAddress(const void* address);
} // namespace Components
