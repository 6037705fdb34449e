// Reference counting and interface lookup shared by the server's objects.
#pragma once

#include "ComponentBase.h"

#include <atomic>

namespace ConfigServer
{

// Iid is the interface's id; the object also answers IID_IComponentBase and, through
// QueryOther, any private id a derived class adds.
template <typename Interface, const GUID& Iid> class ComObject : public Interface
{
public:
    std::uint32_t AddRef() override { return ++m_references; }
    std::uint32_t Release() override
    {
        std::uint32_t left = --m_references;
        if (left == 0)
        {
            delete this;
        }
        return left;
    }
    HRESULT QueryInterface(const GUID* iid, void** object) override
    {
        if (object == nullptr)
        {
            return E_POINTER;
        }
        *object = nullptr;
        if (iid == nullptr)
        {
            return E_POINTER;
        }
        if (*iid == Iid || *iid == IID_IComponentBase)
        {
            AddRef();
            *object = static_cast<Interface*>(this);
            return S_OK;
        }
        return QueryOther(*iid, object);
    }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;
    virtual HRESULT QueryOther(const GUID&, void**) { return E_NOINTERFACE; }

private:
    std::atomic<std::uint32_t> m_references{1};
};

// Hands out the implementation behind one of our interface pointers (no reference added), so
// that objects of another implementation are told apart from ours.
template <typename Impl> Impl* ImplementationOf(IComponentBase* object, const GUID& privateIid)
{
    void* impl = nullptr;
    if (object == nullptr || FAILED(object->QueryInterface(&privateIid, &impl)))
    {
        return nullptr;
    }
    return static_cast<Impl*>(impl);
}

} // namespace ConfigServer
