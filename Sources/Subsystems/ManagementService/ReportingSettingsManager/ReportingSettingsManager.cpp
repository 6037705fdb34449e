#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsManager.h"

#include "Common/Components/NamedInstance.h"
#include "Common/ErrorHandling/Boundary.h"
#include "Common/ErrorHandling/HResult.h"

namespace ManagementService
{
namespace
{
constexpr wchar_t kConfigServerProxyName[] = L"ConfigServer.Proxy";
} // namespace

CReportingSettingsManager::CReportingSettingsManager() = default;

CReportingSettingsManager::~CReportingSettingsManager() = default;

HRESULT CReportingSettingsManager::FinalConstruct()
{
    return RSM_BOUNDARY(L"ManagementService::CReportingSettingsManager::FinalConstruct", 75,
                        [&]
                        {
                            Components::InterfacePtr<IConfigServerProxy> proxy;
                            Components::GetNamedInstance(kConfigServerProxyName, IID_IConfigServerProxy,
                                                         proxy);
                            HRX hr;
                            hr = proxy->GetConfigServer(m_configServer.Out());
                        });
}

HRESULT CReportingSettingsManager::Configure(IVXNode*)
{
    return E_NOTIMPL;
}

HRESULT CReportingSettingsManager::Shutdown()
{
    return S_OK;
}

HRESULT CReportingSettingsManager::AcquireCommonConnectionSettings(std::uint32_t, IVXNode*, IVXNode**)
{
    return E_NOTIMPL;
}

HRESULT CReportingSettingsManager::AcquireConnectionSettings(std::uint32_t, IVXNode**)
{
    return E_NOTIMPL;
}

HRESULT CReportingSettingsManager::ConvertReportingSettings(IVXNode*, std::uint32_t, IVXNode**)
{
    return E_NOTIMPL;
}

HRESULT CReportingSettingsManager::CreateReportingSettingsSubscription(std::uint32_t,
                                                                       IReportingSettingsSubscriber*,
                                                                       IVXNode**)
{
    return E_NOTIMPL;
}

HRESULT CReportingSettingsManager::RemoveReportingSettingsSubscription(IVXNode*)
{
    return E_NOTIMPL;
}

HRESULT CReportingSettingsManager::AcquireProductsSettings(std::uint32_t, IVXNode**)
{
    return E_NOTIMPL;
}

HRESULT CReportingSettingsManager::SetReportingSettingsEnabled(std::uint32_t, std::uint32_t)
{
    return E_NOTIMPL;
}
} // namespace ManagementService
