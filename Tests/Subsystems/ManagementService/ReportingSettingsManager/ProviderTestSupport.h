// A configuration server seeded with the sample deployment, and the records the manager would
// read from it, for the products settings provider's tests and benchmarks.
#pragma once

#include "InterfacePtr.h"
#include "Common/ConfigTree/VXNodePtr.h"
#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Common/ErrorHandling/HResult.h"
#include "ConfigServer.h"
#include "Platform/Core/Text.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ConnectionParamsMapping.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ProductsSettingsProvider.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsMetaStorage.h"
#include "Subsystems/ManagementService/ReportingSettingsManager/ReportingSettingsPaths.h"

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
} // namespace ProviderTestSupport
