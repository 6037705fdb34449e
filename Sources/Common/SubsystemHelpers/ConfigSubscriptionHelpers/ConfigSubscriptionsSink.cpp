#include "Common/SubsystemHelpers/ConfigSubscriptionHelpers/ConfigSubscriptionsSink.h"
#include "Common/ErrorHandling/Boundary.h"
#include "Common/Logging/Log.h"
#include "Common/Logging/Trace.h"

#include <iterator>
#include <limits>

namespace CfgSubscriptionsHelpers
{
namespace
{
std::chrono::milliseconds PeriodFromSeconds(std::uint64_t seconds)
{
    constexpr std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / 1000;
    // Periods beyond the clock's range never end anyway.
    return seconds >= limit ? std::chrono::milliseconds::max()
                            : std::chrono::milliseconds(static_cast<std::int64_t>(seconds) * 1000);
}
} // namespace

CConfigSubscriptionsSink::CConfigSubscriptionsSink(std::uint64_t seconds,
                                                   ModificationsCallback modificationsCallback,
                                                   NodeCallback nodeCallback)
    : CConfigSubscriptionsSink(PeriodFromSeconds(seconds), std::move(modificationsCallback),
                               std::move(nodeCallback))
{
}

CConfigSubscriptionsSink::CConfigSubscriptionsSink(std::chrono::milliseconds period,
                                                   ModificationsCallback modificationsCallback,
                                                   NodeCallback nodeCallback)
    : m_modificationsCallback(std::move(modificationsCallback)), m_nodeCallback(std::move(nodeCallback))
{
    if (!m_modificationsCallback)
    {
        RaiseHResult(E_INVALIDARG);
    }
    m_publisher = std::make_unique<Helpers::CAsyncAction<std::function<void()>>>(
        period, period, [this] { IntPublishModifications(); });
}

HRESULT CConfigSubscriptionsSink::OnTriggered(IVXModifySubscription* subscription, std::int32_t kind,
                                              IVXNodeModifyEnum* modifications)
{
    return RSM_BOUNDARY(
        L"CfgSubscriptionsHelpers::CConfigSubscriptionsSink::OnTriggered", 162,
        [&]
        {
            if (subscription == nullptr || modifications == nullptr)
            {
                RaiseHResult(E_POINTER);
            }
            GUID id{};
            HRX hr;
            hr = subscription->GetId(&id);

            if (kind != 0)
            {
                std::vector<TNodeModification> records = NodeModifyUtils::GetModifications(modifications);
                if (records.size() != 1)
                {
                    RaiseHResult(HR_INVALID_DATA);
                }
                VXNodePtr node = records.front().ModifiedNode;
                if (!node)
                {
                    RaiseHResult(E_POINTER);
                }
                if (m_nodeCallback)
                {
                    m_nodeCallback(id, records.front().ModifiedNodePath, node);
                }
                return;
            }

            Base::LockGuard<Base::RecursiveMutex> lock(m_lock);
            RSM_LOG_AT(Logging::Dbg3, 152,
                       L"DatabaseManagement config subscription with id " << FormatGuid(id, kGuidBraced)
                                                                          << L" triggered");
            AddPending(id, modifications);
        });
}

void CConfigSubscriptionsSink::AddPending(const GUID& id, IVXNodeModifyEnum* modifications)
{
    NodeModifyUtils::ForEachModification(modifications,
                                         [this, &id](TNodeModification&& record)
                                         {
                                             // Runs right here, under the caller's lock.
                                             m_lock.AssertHeld();
                                             m_pending.emplace(id, std::move(record));
                                         });
}

void CConfigSubscriptionsSink::IntPublishModifications()
{
    RSM_TRACE_SCOPE_AT(Logging::Dbg3, 91,
                       L"CfgSubscriptionsHelpers::CConfigSubscriptionsSink::IntPublishModifications");
    Pending collected;
    {
        Base::LockGuard<Base::RecursiveMutex> lock(m_lock);
        collected.swap(m_pending);
    }
    for (auto it = collected.begin(); it != collected.end();)
    {
        const GUID id = it->first;
        auto last = collected.upper_bound(id);
        std::vector<TNodeModification> records;
        records.reserve(static_cast<std::size_t>(std::distance(it, last)));
        for (; it != last; ++it)
        {
            records.push_back(std::move(it->second));
        }
        try
        {
            m_modificationsCallback(id, std::move(records));
        }
        catch (const HRX& e)
        {
            RSM_LOG_AT(Logging::Warn, 118, L"Config modify callback returned error " << e);
        }
    }
}
} // namespace CfgSubscriptionsHelpers
