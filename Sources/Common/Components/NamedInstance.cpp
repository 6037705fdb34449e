#include "Common/Components/NamedInstance.h"

#include "Common/ErrorHandling/HResult.h"
#include "Ravlin.h"

namespace Components
{
void GetNamedInstance(const wchar_t* name, const GUID& iid, void** ppv)
{
    if (ppv == nullptr)
    {
        RaiseHResult(E_POINTER);
    }
    *ppv = nullptr;
    void* instance = nullptr;
    HRX hr;
    hr = RLGetNamedInstance(name, 0, &iid, &instance);
    *ppv = instance;
}
} // namespace Components
