// Component framework services: named instances, per-thread error information and
// counted strings (BSTR).
#pragma once

#include "ComponentBase.h"

using BSTR = wchar_t*;

inline constexpr GUID IID_IErrorInfo =
    RSM_GUID(0x1CF2B120, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19);
inline constexpr GUID IID_ICreateErrorInfo =
    RSM_GUID(0x22F03340, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19);

class IErrorInfo : public IComponentBase
{
public:
    virtual HRESULT GetGUID(GUID* guid) = 0;
    virtual HRESULT GetSource(BSTR* source) = 0;
    virtual HRESULT GetDescription(BSTR* description) = 0;
    virtual HRESULT GetHelpFile(BSTR* helpFile) = 0;
    virtual HRESULT GetHelpContext(std::uint32_t* helpContext) = 0;

protected:
    ~IErrorInfo() = default;
};

class ICreateErrorInfo : public IComponentBase
{
public:
    virtual HRESULT SetGUID(const GUID* guid) = 0;
    virtual HRESULT SetSource(const wchar_t* source) = 0;
    virtual HRESULT SetDescription(const wchar_t* description) = 0;
    virtual HRESULT SetHelpFile(const wchar_t* helpFile) = 0;
    virtual HRESULT SetHelpContext(std::uint32_t helpContext) = 0;

protected:
    ~ICreateErrorInfo() = default;
};

extern "C"
{
    // Named instances. The lookup adds one reference for the caller; reserved must be 0.
    RSM_EXPORT HRESULT RLGetNamedInstance(const wchar_t* name, std::uint32_t reserved, const GUID* iid,
                                          void** ppv);
    // Publishes (instance not null, one reference taken) or withdraws (instance null) a named instance.
    RSM_EXPORT HRESULT RLRegisterNamedInstance(const wchar_t* name, IComponentBase* instance);

    // Counted strings; a null BSTR is a valid empty string.
    RSM_EXPORT BSTR SysAllocString(const wchar_t* text);
    RSM_EXPORT BSTR SysAllocStringLen(const wchar_t* text, std::uint32_t length);
    RSM_EXPORT void SysFreeString(BSTR text);
    RSM_EXPORT std::uint32_t SysStringLen(BSTR text);

    // Per-thread error information. GetErrorInfo hands over the thread's object (S_FALSE and null
    // when there is none) and clears the slot; SetErrorInfo replaces it (null clears it).
    RSM_EXPORT HRESULT CreateErrorInfo(ICreateErrorInfo** created);
    RSM_EXPORT HRESULT SetErrorInfo(std::uint32_t reserved, IErrorInfo* info);
    RSM_EXPORT HRESULT GetErrorInfo(std::uint32_t reserved, IErrorInfo** info);
}
