#include "Platform/ConfigServer/Faults.h"

#include <algorithm>
#include <array>

namespace ConfigServer
{

bool FaultInjector::IsKnownOperation(std::wstring_view operation)
{
    static constexpr std::array<std::wstring_view, 15> kOperations = {L"GetConfigServer",
                                                                      L"GetService",
                                                                      L"CreateTransaction",
                                                                      L"CommitTransaction",
                                                                      L"PutNodes",
                                                                      L"RemoveNodes",
                                                                      L"QueryNodes",
                                                                      L"Subscribe",
                                                                      L"Unsubscribe",
                                                                      L"Start",
                                                                      L"Stop",
                                                                      L"GetId",
                                                                      L"GetNodeEnumerator",
                                                                      L"Next",
                                                                      L"StoreWrite"};
    return std::find(kOperations.begin(), kOperations.end(), operation) != kOperations.end();
}

void FaultInjector::Arm(std::wstring_view operation, std::uint32_t nth, HRESULT result)
{
    Base::LockGuard<Base::Mutex> lock(m_mutex);
    m_faults.push_back({std::wstring(operation), nth, result});
}

void FaultInjector::Clear()
{
    Base::LockGuard<Base::Mutex> lock(m_mutex);
    m_faults.clear();
}

HRESULT FaultInjector::Check(std::wstring_view operation)
{
    Base::LockGuard<Base::Mutex> lock(m_mutex);
    HRESULT result = S_OK;
    for (auto it = m_faults.begin(); it != m_faults.end();)
    {
        if (it->operation == operation && --it->remaining == 0)
        {
            if (result == S_OK)
            {
                result = it->result;
            }
            it = m_faults.erase(it);
        }
        else
        {
            ++it;
        }
    }
    return result;
}

} // namespace ConfigServer
