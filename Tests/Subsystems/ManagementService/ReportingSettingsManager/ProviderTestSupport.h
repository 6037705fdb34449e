// A configuration server seeded with the sample deployment, and the records the manager would
// read from it, for the products settings provider's tests and benchmarks.
#pragma once

#include "InterfacePtr.h"
#include "Common/ConfigTree/VXNodePtr.h"
#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Common/ErrorHandling/HResult.h"
#include "ConfigServer.h"
#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ConnectionParamsMapping.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ProductsSettingsProvider.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsMetaStorage.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsPaths.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ProviderTestSupport
{
using namespace ManagementService;

using TestSupport::CodeOf;

struct SampleDeployment
{
    Components::InterfacePtr<IConfigServerProxy> proxy;
    Components::InterfacePtr<IConfigServer> server;
    Components::InterfacePtr<IConfigStorage> storage;
    std::shared_ptr<const ReportingSettingsPaths> paths;
    std::shared_ptr<const ReportingSettingsPathKeys> defaultPaths;
    std::shared_ptr<const CConnectionParamsMapping> mapping;
    std::shared_ptr<CReportingSettingsMetaStorage> meta;
    std::unique_ptr<CProductsSettingsProvider> provider;

    SampleDeployment()
    {
        HRX hr;
        hr = ConfigServerCreate(L"memory:", proxy.Out());
        std::wstring file = Platform::FromUtf8(RSM_SAMPLES_DIR "/ReportingDeployment.xml");
        hr = ConfigServerImportFile(proxy.Get(), file.c_str());
        hr = proxy->GetConfigServer(server.Out());
        hr = server->GetService(&IID_IConfigStorage, storage.OutVoid());
        VXNodePtr config = Read(L"\\ManagementService\\ReportingSettingsManager");
        paths = std::make_shared<const ReportingSettingsPaths>(
            config.GetChild(std::wstring(L"ReportingSettingsPaths"), true));
        defaultPaths = std::make_shared<const ReportingSettingsPathKeys>(
            config.GetChild(std::wstring(L"DefaultReportingSettingsPaths"), true));
        mapping = std::make_shared<const CConnectionParamsMapping>(
            config.GetChild(std::wstring(L"ConnectionParamsMapping"), true));
        meta = std::make_shared<CReportingSettingsMetaStorage>(paths);
        for (ReportingSettingsType type : kAllReportingSettingsTypes)
        {
            meta->SetMetaInformation(type, Read(defaultPaths->PathOf(type)));
        }
        provider = std::make_unique<CProductsSettingsProvider>(server.Get(), mapping, meta, paths);
    }

    ~SampleDeployment()
    {
        provider.reset();
        ConfigServerShutdown(proxy.Get());
    }

    VXNodePtr Read(const std::wstring& path, bool mandatory = true) const
    {
        return QueryNodeByPath(storage.Get(), path, mandatory);
    }

    // The common settings in connection terms, as the manager would have acquired them.
    VXNodePtr CommonConnectionSettings(bool enabled = true) const
    {
        VXNodePtr common = VXNodePtr::Create(nullptr, L"CreateSessionRequest");
        mapping->ConvertConfigServerAttributes(Read(paths->PathOf(Common)), common);
        common.SetBoolAttribute(L"Enabled", enabled);
        return common;
    }

    // A per-type wrapper whose first child carries connection settings and "Enabled".
    static VXNodePtr Wrapper(bool innerEnabled, const wchar_t* database = L"Db")
    {
        VXNodePtr wrapper = VXNodePtr::Create(L"ConnectionSettingsContainer");
        VXNodePtr request = VXNodePtr::Create(nullptr, L"CreateSessionRequest");
        request.SetStringAttribute(L"SQLInstance", L"SQLPROD01\\AUDIT");
        request.SetStringAttribute(L"Database", database);
        request.SetBoolAttribute(L"Enabled", innerEnabled);
        wrapper.AddChild(request);
        return wrapper;
    }
};
// Keeps logging to warnings, so that benchmark figures measure the work rather than the log file.
inline void QuietLog()
{
    std::wstring warn = L"WARN";
    Platform::SetEnvironmentVariable(L"GS_Logger_MaxSeverity", &warn);
}

// A containers node ("\\Containers") with count containers. Each has a reporting settings child
// with extras enabled miscellaneous settings (none: no "MiscReportingSettings" child) and the
// first systems of three enabled audited systems.
inline VXNodePtr MakeContainers(std::int64_t count, int extras, int systems)
{
    static const wchar_t* const kSystemKinds[] = {L"FileServer", L"MailServer", L"Directory"};
    VXNodePtr containers = VXNodePtr::Create(nullptr, L"ContainersRoot");
    containers.SetName(kNameFullPath, L"\\Containers");
    for (std::int64_t i = 0; i < count; ++i)
    {
        VXNodePtr container = VXNodePtr::Create(FormatGuid(NewGuid(), kGuidBraced).c_str(), L"Container");
        container.SetStringAttribute(L"Name", L"Container " + std::to_wstring(i));
        VXNodePtr reporting = VXNodePtr::Create(L"ReportingSettings", L"ContainerReportingSettings");
        reporting.SetBoolAttribute(L"Enabled", true);
        reporting.SetStringAttribute(L"Database", L"Audit_" + std::to_wstring(i));
        if (extras > 0)
        {
            VXNodePtr misc = VXNodePtr::Create(L"MiscReportingSettings");
            for (int m = 0; m < extras; ++m)
            {
                VXNodePtr extra =
                    VXNodePtr::Create((L"Extra" + std::to_wstring(m)).c_str(), L"ReportingSettings");
                extra.SetBoolAttribute(L"Enabled", true);
                extra.SetStringAttribute(L"SqlServerInstance", L"SQLARCH0" + std::to_wstring(m));
                extra.SetStringAttribute(L"DatabaseName", L"Archive_" + std::to_wstring(i));
                misc.AddChild(extra);
            }
            reporting.AddChild(misc);
        }
        container.AddChild(reporting);
        VXNodePtr audited = VXNodePtr::Create(L"AuditedSystems");
        for (int k = 0; k < systems && k < 3; ++k)
        {
            VXNodePtr system = VXNodePtr::Create(kSystemKinds[k], L"AuditedSystem");
            system.SetBoolAttribute(L"Enabled", true);
            audited.AddChild(system);
        }
        container.AddChild(audited);
        containers.AddChild(container);
    }
    return containers;
}
} // namespace ProviderTestSupport
