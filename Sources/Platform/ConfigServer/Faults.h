// Armed failures for tests of callers: the nth call of a named operation fails with a chosen
// result and does nothing else.
#pragma once

#include "Common/Base/Locks.h"
#include "Platform/ConfigServer/Store.h"
#include "RsmTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ConfigServer
{

class FaultInjector
{
public:
    static bool IsKnownOperation(std::wstring_view operation);

    void Arm(std::wstring_view operation, std::uint32_t nth, HRESULT result) RSM_EXCLUDES(m_mutex);
    void Clear() RSM_EXCLUDES(m_mutex);
    // S_OK, or the armed result when this call is the one chosen (the fault is then spent).
    HRESULT Check(std::wstring_view operation) RSM_EXCLUDES(m_mutex);

private:
    struct Fault
    {
        std::wstring operation;
        std::uint32_t remaining;
        HRESULT result;
    };
    Base::Mutex m_mutex;
    std::vector<Fault> m_faults RSM_GUARDED_BY(m_mutex);
};

// Passes everything to the inner store; an armed "StoreWrite" fault makes the next commit's write
// fail with its result, with nothing of the commit kept.
std::unique_ptr<IStore> WithFaults(std::unique_ptr<IStore> inner, std::shared_ptr<FaultInjector> faults);

} // namespace ConfigServer
