// The module object: one per loaded module, handed to the host by the module's export. It creates
// components by class id and counts the objects (and host locks) that keep the module in use.
#pragma once

#include "Common/Components/ComponentRoot.h"
#include "Common/Base/Locks.h"
#include "ComponentBase.h"

#include <atomic>
#include <cstdint>
#include <map>

namespace Components
{
// Creates a component and returns its interface iid with one reference for the caller.
using ComponentCreator = HRESULT (*)(const GUID* iid, void** ppv);

struct GuidLess
{
    bool operator()(const GUID& a, const GUID& b) const noexcept;
};

class CComponentsModuleObject final : public IPrimaryComponentBase, public IComponentsModule
{
public:
    CComponentsModuleObject();
    ~CComponentsModuleObject();
    CComponentsModuleObject(const CComponentsModuleObject&) = delete;
    CComponentsModuleObject& operator=(const CComponentsModuleObject&) = delete;

    // Not reference counted: the object lives as long as the module.
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;
    HRESULT QueryInterface(const GUID* iid, void** ppv) override;

    HRESULT Reserved() override;
    HRESULT DumpAliveObjects() override;
    std::uint32_t LockModule() override;
    std::uint32_t UnlockModule() override;
    HRESULT IsModuleLocked(std::uint32_t* inUse) override;
    HRESULT CreateInstance(const GUID* classId, const GUID* iid, void** ppv) override;

    // The first registration of a class id stays; unregistering an unknown id does nothing.
    void RegisterClass(const GUID& classId, ComponentCreator creator);
    void UnregisterClass(const GUID& classId) noexcept;

    std::uint32_t ObjectCount() const noexcept { return m_objectCount.load(); }

private:
    std::atomic<std::uint32_t> m_objectCount{0};
    Base::Mutex m_registryLock;
    std::map<GUID, ComponentCreator, GuidLess> m_classes RSM_GUARDED_BY(m_registryLock);
};

// The module object of this module, built on first use (at the latest during static
// initialisation).
CComponentsModuleObject& GetModuleObject();

// Registers a component class for the lifetime of the registration object (a static of the
// module: registered at load, removed at unload).
class CClassRegistration
{
public:
    CClassRegistration(const GUID& classId, ComponentCreator creator);
    ~CClassRegistration();
    CClassRegistration(const CClassRegistration&) = delete;
    CClassRegistration& operator=(const CClassRegistration&) = delete;

private:
    GUID m_classId;
};
} // namespace Components
