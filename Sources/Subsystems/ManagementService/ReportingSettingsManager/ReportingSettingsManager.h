// The module's one component: owner of the reporting settings of every product area and
// container, configured from its configuration node and reached through four interfaces.
#pragma once

#include "Common/Components/ComponentObject.h"
#include "InterfacePtr.h"
#include "ConfigServer.h"
// Angle brackets: the public header has the same name as this one.
#include <ReportingSettingsManager.h>

namespace ManagementService
{
class CReportingSettingsManager : public Components::CComponentRoot,
                                  public IConfigurableComponent,
                                  public IComponentShutdown,
                                  public IReportingSettingsManager
{
public:
    using Interfaces = Components::InterfaceList<
        Components::Interface<IID_IConfigurableComponent, IConfigurableComponent>,
        Components::Interface<IID_IComponentShutdown, IComponentShutdown>,
        Components::Interface<IID_IReportingSettingsManager, IReportingSettingsManager>>;

    HRESULT FinalConstruct();

    // IConfigurableComponent
    HRESULT Configure(IVXNode* config) override;

    // IComponentShutdown
    HRESULT Shutdown() override;

    // IReportingSettingsManager
    HRESULT AcquireCommonConnectionSettings(std::uint32_t mode, IVXNode* commonSettings,
                                            IVXNode** result) override;
    HRESULT AcquireConnectionSettings(std::uint32_t type, IVXNode** result) override;
    HRESULT ConvertReportingSettings(IVXNode* settings, std::uint32_t isCommon, IVXNode** result) override;
    HRESULT CreateReportingSettingsSubscription(std::uint32_t types, IReportingSettingsSubscriber* subscriber,
                                                IVXNode** cookie) override;
    HRESULT RemoveReportingSettingsSubscription(IVXNode* cookie) override;
    HRESULT AcquireProductsSettings(std::uint32_t types, IVXNode** result) override;
    HRESULT SetReportingSettingsEnabled(std::uint32_t type, std::uint32_t enabled) override;

    IConfigServer* ConfigServer() const noexcept { return m_configServer.Get(); }

protected:
    // Only CComponentObject<CReportingSettingsManager> builds and destroys managers.
    CReportingSettingsManager();
    ~CReportingSettingsManager();

private:
    Components::InterfacePtr<IConfigServer> m_configServer;
};

using CReportingSettingsManagerObject = Components::CComponentObject<CReportingSettingsManager>;
} // namespace ManagementService
