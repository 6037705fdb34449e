// Store locations: a scheme prefix chooses the kind of store, the rest is the kind's own.
#include "Platform/ConfigServer/Store.h"

#include "Platform/ConfigServer/EtcdStore.h"

#include "Platform/Core/System.h"

#include <array>

namespace ConfigServer
{
namespace
{

HRESULT OpenMemory(std::wstring_view rest, std::unique_ptr<IStore>& store)
{
    if (!rest.empty())
    {
        return E_INVALIDARG;
    }
    store = CreateMemoryStore();
    return S_OK;
}

HRESULT OpenSqlite(std::wstring_view rest, std::unique_ptr<IStore>& store)
{
    if (rest.empty())
    {
        return E_INVALIDARG;
    }
    return CreateSqliteStore(Platform::ToFileSystemPath(std::wstring(rest)), store);
}

struct Scheme
{
    std::wstring_view prefix;
    HRESULT (*open)(std::wstring_view rest, std::unique_ptr<IStore>& store);
};

constexpr std::array<Scheme, 3> kSchemes = {{
    {L"memory:", OpenMemory},
    {L"sqlite:", OpenSqlite},
    {L"etcd:", CreateEtcdStore},
}};

} // namespace

HRESULT OpenStore(const wchar_t* location, std::unique_ptr<IStore>& store)
{
    const std::wstring_view text = location ? location : L"";
    if (text.empty())
    {
        store = CreateMemoryStore();
        return S_OK;
    }
    for (const Scheme& scheme : kSchemes)
    {
        if (text.substr(0, scheme.prefix.size()) == scheme.prefix)
        {
            return scheme.open(text.substr(scheme.prefix.size()), store);
        }
    }
    return E_INVALIDARG;
}

} // namespace ConfigServer
