// Named instances of the component framework: a process-wide table from name to object.
#include "Ravlin.h"
#include "Common/Base/Locks.h"

#include <map>
#include <string>

namespace
{
struct Registry
{
    Base::SharedMutex lock;
    std::map<std::wstring, IComponentBase*> instances RSM_GUARDED_BY(lock);
};

// Never destroyed: instances still published at exit may live in libraries that are already
// gone, so the table must not call into them then.
Registry& TheRegistry()
{
    static Registry* registry = new Registry;
    return *registry;
}

constexpr std::size_t kMaxNameLength = 1024;

bool NameIsValid(const wchar_t* name)
{
    if (name == nullptr || name[0] == L'\0')
    {
        return false;
    }
    return std::wstring_view(name).size() <= kMaxNameLength;
}
} // namespace

extern "C"
{
    RSM_EXPORT HRESULT RLGetNamedInstance(const wchar_t* name, std::uint32_t reserved, const GUID* iid,
                                          void** ppv)
    {
        if (ppv == nullptr)
        {
            return E_POINTER;
        }
        if (!NameIsValid(name) || iid == nullptr || reserved != 0)
        {
            return E_INVALIDARG;
        }
        IComponentBase* instance = nullptr;
        {
            Registry& registry = TheRegistry();
            Base::SharedLockGuard guard(registry.lock);
            auto it = registry.instances.find(name);
            if (it == registry.instances.end())
            {
                return HR_NOT_FOUND;
            }
            instance = it->second;
            instance->AddRef();
        }
        HRESULT hr = instance->QueryInterface(iid, ppv);
        instance->Release();
        return hr;
    }

    RSM_EXPORT HRESULT RLRegisterNamedInstance(const wchar_t* name, IComponentBase* instance)
    {
        if (!NameIsValid(name))
        {
            return E_INVALIDARG;
        }
        IComponentBase* previous = nullptr;
        {
            Registry& registry = TheRegistry();
            Base::LockGuard<Base::SharedMutex> guard(registry.lock);
            auto it = registry.instances.find(name);
            if (it != registry.instances.end())
            {
                previous = it->second;
                registry.instances.erase(it);
            }
            if (instance != nullptr)
            {
                instance->AddRef();
                registry.instances.emplace(name, instance);
            }
        }
        // Released outside the lock: the object's destruction may look names up itself.
        if (previous != nullptr)
        {
            previous->Release();
        }
        else if (instance == nullptr)
        {
            return HR_NOT_FOUND;
        }
        return S_OK;
    }
}
