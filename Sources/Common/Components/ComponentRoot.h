// Bases of component classes and of the module object.
#pragma once

#include "ComponentBase.h"

#include <atomic>
#include <cstdint>

namespace Components
{
// The primary interface of an object: IComponentBase only. A type of its own so that it is a
// separate base from the IComponentBase that every other interface begins with.
class IPrimaryComponentBase : public IComponentBase
{
protected:
    ~IPrimaryComponentBase() = default;
};

// Base of every component class: the primary interface, the reference count (1 after
// construction) and the default second construction step.
class CComponentRoot : public IPrimaryComponentBase
{
public:
    // Components whose construction can fail override this; it runs right after the constructor.
    HRESULT FinalConstruct() { return S_OK; }

    // The object's identity, e.g. for publishing it as a named instance.
    IComponentBase* PrimaryInterface() noexcept { return this; }

protected:
    CComponentRoot() = default;
    ~CComponentRoot() = default;

    std::atomic<std::uint32_t> m_refCount{1};
};

} // namespace Components
