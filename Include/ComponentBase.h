// The component framework's base interfaces. Every interface starts with AddRef, Release,
// QueryInterface in that order; interfaces have no virtual destructor.
#pragma once

#include "RsmTypes.h"

inline constexpr GUID IID_IComponentBase =
    RSM_GUID(0x51C3FBA2, 0x85FE, 0x436B, 0xA0, 0xFF, 0x1C, 0x61, 0xA5, 0xC0, 0xC5, 0x85);
inline constexpr GUID IID_IComponentsModule =
    RSM_GUID(0x989524A9, 0x625D, 0x48C8, 0xAB, 0x03, 0x7C, 0x08, 0x4E, 0xB5, 0x26, 0x5D);

class IComponentBase
{
public:
    virtual std::uint32_t AddRef() = 0;
    virtual std::uint32_t Release() = 0;
    virtual HRESULT QueryInterface(const GUID* iid, void** ppv) = 0;

protected:
    ~IComponentBase() = default;
};

class IComponentsModule : public IComponentBase
{
public:
    virtual HRESULT Reserved() = 0;
    virtual HRESULT DumpAliveObjects() = 0;
    virtual std::uint32_t LockModule() = 0;
    virtual std::uint32_t UnlockModule() = 0;
    virtual HRESULT IsModuleLocked(std::uint32_t* inUse) = 0;
    virtual HRESULT CreateInstance(const GUID* classId, const GUID* iid, void** ppv) = 0;

protected:
    ~IComponentsModule() = default;
};

// Signature of the one function a component module exports.
extern "C"
{
    typedef HRESULT (*PFN_GetComponentsModuleObject)(void** ppv);
}
