// Component objects: the component class T lists its interfaces, CComponentObject<T> adds the
// reference count behaviour, the interface lookup, the creation protocol with FinalConstruct and
// the bookkeeping of live objects (alive-objects tracker, module object count).
#pragma once

#include "Common/Components/ComponentRoot.h"
#include "Common/Components/DbgAliveObjectsTracker.h"
#include "Common/Components/ModuleObject.h"
#include "Common/ErrorHandling/HResult.h"
#include "ComponentBase.h"

#include <atomic>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace Components
{
// One row of a component's interface table.
template <const GUID& Iid, typename I> struct Interface
{
    static constexpr const GUID& kIid = Iid;
    using Type = I;
};

// A component's interfaces after the primary one, in lookup order.
template <typename... Entries> struct InterfaceList
{
    template <typename Object> static void* Find(Object* object, const GUID& iid) noexcept
    {
        // Both stay unused for a component with no interface beyond the primary one.
        (void)object;
        (void)iid;
        void* found = nullptr;
        (void)((IsEqualGUID(iid, Entries::kIid) &&
                (found = static_cast<typename Entries::Type*>(object), true)) ||
               ...);
        return found;
    }
};

namespace Detail
{
// Allocation is out of line so that the zero fill cannot be dropped as a store before the
// object's lifetime starts.
void* AllocateZeroed(std::size_t size);
void Free(void* memory) noexcept;
// "CComponentObject<class X>::CComponentObject" from a compiler function signature of the form
// "... [with T = X; ...]" or "... [with T = X]".
std::string MakeObjectTag(std::string_view signature);

template <typename T> const std::string& ObjectTag()
{
    static const std::string tag = MakeObjectTag(__PRETTY_FUNCTION__);
    return tag;
}
} // namespace Detail

template <typename T> class CComponentObject final : public T
{
public:
    CComponentObject(const CComponentObject&) = delete;
    CComponentObject& operator=(const CComponentObject&) = delete;

    std::uint32_t AddRef() override { return ++this->m_refCount; }

    std::uint32_t Release() override
    {
        std::uint32_t left = --this->m_refCount;
        if (left == 0)
        {
            delete this;
        }
        return left;
    }

    HRESULT QueryInterface(const GUID* iid, void** ppv) override
    {
        HRESULT hr = FindInterface(iid, ppv);
        if (hr == S_OK)
        {
            AddRef();
        }
        return hr;
    }

    // Creation steps 1 to 3: construct, register, FinalConstruct. On success *object holds the
    // one reference set by construction.
    template <typename... Args>
    static HRESULT CreateObject(CComponentObject** object, Args&&... args) noexcept
    {
        if (object == nullptr)
        {
            return E_POINTER;
        }
        *object = nullptr;
        CComponentObject* created = nullptr;
        try
        {
            created = new CComponentObject(std::forward<Args>(args)...);
        }
        catch (const HRX& e)
        {
            return e.Code();
        }
        catch (const std::bad_alloc&)
        {
            return E_OUTOFMEMORY;
        }
        catch (...)
        {
            return E_UNEXPECTED;
        }
        HRESULT hr = E_UNEXPECTED;
        try
        {
            hr = created->FinalConstruct();
        }
        catch (const HRX& e)
        {
            hr = e.Code();
        }
        catch (const std::bad_alloc&)
        {
            hr = E_OUTOFMEMORY;
        }
        catch (...)
        {
            hr = E_UNEXPECTED;
        }
        if (FAILED(hr))
        {
            delete created;
            return hr;
        }
        *object = created;
        return S_OK;
    }

    // The whole creation protocol: the caller gets the requested interface with the one
    // reference set by construction; a missing interface leaves nothing alive.
    template <typename... Args>
    static HRESULT CreateInstance(const GUID* iid, void** ppv, Args&&... args) noexcept
    {
        CComponentObject* object = nullptr;
        HRESULT hr = CreateObject(&object, std::forward<Args>(args)...);
        if (object == nullptr)
        {
            return hr;
        }
        hr = object->FindInterface(iid, ppv);
        if (hr != S_OK)
        {
            object->Release();
        }
        return hr;
    }

    // Creator with the registry's signature.
    static HRESULT Creator(const GUID* iid, void** ppv) noexcept { return CreateInstance(iid, ppv); }

    static const std::string& Tag() { return Detail::ObjectTag<T>(); }

    static void* operator new(std::size_t size) { return Detail::AllocateZeroed(size); }
    static void operator delete(void* memory) noexcept { Detail::Free(memory); }

private:
    template <typename... Args> explicit CComponentObject(Args&&... args) : T(std::forward<Args>(args)...)
    {
        GetAliveObjectsTracker().Register(this, Tag().c_str());
        GetModuleObject().LockModule();
    }

    ~CComponentObject()
    {
        GetAliveObjectsTracker().Unregister(this);
        GetModuleObject().UnlockModule();
    }

    // The lookup of QueryInterface without the AddRef.
    HRESULT FindInterface(const GUID* iid, void** ppv) noexcept
    {
        if (iid == nullptr || ppv == nullptr)
        {
            return E_INVALIDARG;
        }
        void* found = nullptr;
        if (IsEqualGUID(*iid, IID_IComponentBase))
        {
            found = static_cast<IPrimaryComponentBase*>(this);
        }
        else
        {
            found = T::Interfaces::Find(this, *iid);
        }
        if (found == nullptr)
        {
            return E_NOINTERFACE;
        }
        *ppv = found;
        return S_OK;
    }
};
} // namespace Components
