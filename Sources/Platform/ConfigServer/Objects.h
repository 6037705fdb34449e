// The client-side objects of the server: proxy, server, services, transactions and the
// modification enumeration handed to callbacks.
#pragma once

#include "ConfigServer.h"
#include "Platform/ConfigServer/ComObject.h"
#include "Platform/ConfigServer/Server.h"

#include <memory>
#include <vector>

namespace ConfigServer
{

// {0E4B7D21-93A6-4F58-B1C2-5D8E6F7A9B03}: answers the server behind a proxy.
inline constexpr GUID IID_ProxyImpl =
    RSM_GUID(0x0E4B7D21, 0x93A6, 0x4F58, 0xB1, 0xC2, 0x5D, 0x8E, 0x6F, 0x7A, 0x9B, 0x03);
// {C2D4E6F8-1A3B-4C5D-8E9F-A0B1C2D3E4F5}: answers the transaction behind the interface.
inline constexpr GUID IID_TransactionImpl =
    RSM_GUID(0xC2D4E6F8, 0x1A3B, 0x4C5D, 0x8E, 0x9F, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5);

class Proxy final : public ComObject<IConfigServerProxy, IID_IConfigServerProxy>
{
public:
    explicit Proxy(std::shared_ptr<ServerCore> core) : m_core(std::move(core)) {}
    HRESULT GetConfigServer(IConfigServer** server) override;
    const std::shared_ptr<ServerCore>& Core() const { return m_core; }

private:
    HRESULT QueryOther(const GUID& iid, void** object) override;
    std::shared_ptr<ServerCore> m_core;
};

// Nodes shared by a modification enumeration and its enumerators; closed with the last of them.
struct NodeList
{
    std::vector<IVXNode*> nodes;
    ~NodeList();
};

class ModifyEnum final : public ComObject<IVXNodeModifyEnum, IID_IVXNodeModifyEnum>
{
public:
    ModifyEnum(std::vector<IVXNode*> nodes, std::shared_ptr<FaultInjector> faults);
    HRESULT GetNodeEnumerator(IVXNodeEnumerator** enumerator) override;

private:
    std::shared_ptr<NodeList> m_nodes;
    std::shared_ptr<FaultInjector> m_faults;
};

ServerCore* CoreOf(IConfigServerProxy* proxy);

} // namespace ConfigServer
