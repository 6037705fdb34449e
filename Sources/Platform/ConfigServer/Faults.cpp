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

namespace
{
class FaultStore final : public IStore
{
public:
    FaultStore(std::unique_ptr<IStore> inner, std::shared_ptr<FaultInjector> faults)
        : m_inner(std::move(inner)), m_faults(std::move(faults))
    {
    }

    HRESULT Load(NodeP& root, StoreState& state) override { return m_inner->Load(root, state); }
    HRESULT Persist(const ChangeSet& changes, const StoreState& base, StoreState& committed) override
    {
        if (HRESULT injected = m_faults->Check(L"StoreWrite"); FAILED(injected))
        {
            return injected;
        }
        return m_inner->Persist(changes, base, committed);
    }
    void Watch(IStoreObserver* observer) override { m_inner->Watch(observer); }

private:
    std::unique_ptr<IStore> m_inner;
    std::shared_ptr<FaultInjector> m_faults;
};
} // namespace

std::unique_ptr<IStore> WithFaults(std::unique_ptr<IStore> inner, std::shared_ptr<FaultInjector> faults)
{
    return std::make_unique<FaultStore>(std::move(inner), std::move(faults));
}

} // namespace ConfigServer
