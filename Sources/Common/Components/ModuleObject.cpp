#include "Common/Components/ModuleObject.h"

#include "Common/Components/DbgAliveObjectsTracker.h"

#include <cstring>

namespace Components
{
bool GuidLess::operator()(const GUID& a, const GUID& b) const noexcept
{
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

CComponentsModuleObject::CComponentsModuleObject()
{
    // The tracker must outlive the module object: objects still alive at unload unregister
    // through it.
    GetAliveObjectsTracker();
}

CComponentsModuleObject::~CComponentsModuleObject() = default;

std::uint32_t CComponentsModuleObject::AddRef()
{
    return 0xFFFFFFFFu;
}

std::uint32_t CComponentsModuleObject::Release()
{
    return 0xFFFFFFFFu;
}

HRESULT CComponentsModuleObject::QueryInterface(const GUID* iid, void** ppv)
{
    if (iid == nullptr || ppv == nullptr)
    {
        return E_INVALIDARG;
    }
    if (IsEqualGUID(*iid, IID_IComponentBase))
    {
        *ppv = static_cast<IPrimaryComponentBase*>(this);
        return S_OK;
    }
    if (IsEqualGUID(*iid, IID_IComponentsModule))
    {
        *ppv = static_cast<IComponentsModule*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT CComponentsModuleObject::Reserved()
{
    return S_OK;
}

HRESULT CComponentsModuleObject::DumpAliveObjects()
{
    GetAliveObjectsTracker().Dump();
    return S_OK;
}

std::uint32_t CComponentsModuleObject::LockModule()
{
    return ++m_objectCount;
}

std::uint32_t CComponentsModuleObject::UnlockModule()
{
    return --m_objectCount;
}

HRESULT CComponentsModuleObject::IsModuleLocked(std::uint32_t* inUse)
{
    if (inUse == nullptr)
    {
        return E_POINTER;
    }
    *inUse = m_objectCount.load() != 0 ? 1 : 0;
    return S_OK;
}

HRESULT CComponentsModuleObject::CreateInstance(const GUID* classId, const GUID* iid, void** ppv)
{
    if (classId == nullptr)
    {
        return E_INVALIDARG;
    }
    ComponentCreator creator = nullptr;
    {
        // Only the copy happens under the lock; creators may create further components.
        Base::LockGuard<Base::Mutex> guard(m_registryLock);
        auto it = m_classes.find(*classId);
        if (it != m_classes.end())
        {
            creator = it->second;
        }
    }
    if (creator == nullptr)
    {
        return REGDB_E_CLASSNOTREG;
    }
    return creator(iid, ppv);
}

void CComponentsModuleObject::RegisterClass(const GUID& classId, ComponentCreator creator)
{
    Base::LockGuard<Base::Mutex> guard(m_registryLock);
    m_classes.emplace(classId, creator);
}

void CComponentsModuleObject::UnregisterClass(const GUID& classId) noexcept
{
    Base::LockGuard<Base::Mutex> guard(m_registryLock);
    m_classes.erase(classId);
}

CComponentsModuleObject& GetModuleObject()
{
    static CComponentsModuleObject moduleObject;
    return moduleObject;
}

namespace
{
// Built at load even before the first registration asks for it.
[[maybe_unused]] const CComponentsModuleObject& g_builtAtLoad = GetModuleObject();
} // namespace

CClassRegistration::CClassRegistration(const GUID& classId, ComponentCreator creator) : m_classId(classId)
{
    GetModuleObject().RegisterClass(classId, creator);
}

CClassRegistration::~CClassRegistration()
{
    GetModuleObject().UnregisterClass(m_classId);
}
} // namespace Components
