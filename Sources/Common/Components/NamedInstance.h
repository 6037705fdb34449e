// Named instances of the component framework (RLGetNamedInstance).
#pragma once

#include "InterfacePtr.h"
#include "ComponentBase.h"

namespace Components
{
// Stores the instance published under name, as interface iid, in *ppv with one reference for
// the caller. A failure is raised as HRX and *ppv stays null.
void GetNamedInstance(const wchar_t* name, const GUID& iid, void** ppv);

template <typename I> void GetNamedInstance(const wchar_t* name, const GUID& iid, InterfacePtr<I>& instance)
{
    GetNamedInstance(name, iid, instance.OutVoid());
}
} // namespace Components
