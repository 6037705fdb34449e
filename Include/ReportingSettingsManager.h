// Public interfaces of the reporting settings manager component.
#pragma once

#include "ComponentBase.h"
#include "Tessel.h"

inline constexpr GUID CLSID_ReportingSettingsManager =
    RSM_GUID(0x99AE2E7C, 0x7E8D, 0x4D9B, 0xA9, 0xA7, 0x67, 0xE9, 0xCE, 0xE1, 0xA8, 0xD4);
inline constexpr GUID IID_IConfigurableComponent =
    RSM_GUID(0x9FD0681A, 0xA35D, 0x48EF, 0xA2, 0x26, 0xDE, 0x38, 0x46, 0xE1, 0x9D, 0x38);
inline constexpr GUID IID_IComponentShutdown =
    RSM_GUID(0x45622F80, 0x2F68, 0x4571, 0xBC, 0xBC, 0x70, 0x65, 0x16, 0x01, 0x77, 0x1B);
inline constexpr GUID IID_IReportingSettingsManager =
    RSM_GUID(0x316334B1, 0xA966, 0x4688, 0xA9, 0xC5, 0x01, 0x5B, 0x02, 0x09, 0x7A, 0x4A);
inline constexpr GUID IID_IReportingSettingsSubscriber =
    RSM_GUID(0x6993C5AE, 0xBD96, 0x48B3, 0x8D, 0x44, 0x18, 0x63, 0xF3, 0xCD, 0x46, 0x8F);

class IConfigurableComponent : public IComponentBase
{
public:
    virtual HRESULT Configure(IVXNode* config) = 0;

protected:
    ~IConfigurableComponent() = default;
};

class IComponentShutdown : public IComponentBase
{
public:
    virtual HRESULT Shutdown() = 0;

protected:
    ~IComponentShutdown() = default;
};

class IReportingSettingsSubscriber : public IComponentBase
{
public:
    // node stays the caller's; the result is ignored.
    virtual HRESULT OnReportingSettingsChanged(std::uint32_t type, std::uint32_t periodic, IVXNode* node) = 0;

protected:
    ~IReportingSettingsSubscriber() = default;
};

class IReportingSettingsManager : public IComponentBase
{
public:
    virtual HRESULT AcquireCommonConnectionSettings(std::uint32_t mode, IVXNode* commonSettings,
                                                    IVXNode** result) = 0;
    virtual HRESULT AcquireConnectionSettings(std::uint32_t type, IVXNode** result) = 0;
    virtual HRESULT ConvertReportingSettings(IVXNode* settings, std::uint32_t isCommon, IVXNode** result) = 0;
    virtual HRESULT CreateReportingSettingsSubscription(std::uint32_t types,
                                                        IReportingSettingsSubscriber* subscriber,
                                                        IVXNode** cookie) = 0;
    virtual HRESULT RemoveReportingSettingsSubscription(IVXNode* cookie) = 0;
    virtual HRESULT AcquireProductsSettings(std::uint32_t types, IVXNode** result) = 0;
    virtual HRESULT SetReportingSettingsEnabled(std::uint32_t type, std::uint32_t enabled) = 0;

protected:
    ~IReportingSettingsManager() = default;
};
