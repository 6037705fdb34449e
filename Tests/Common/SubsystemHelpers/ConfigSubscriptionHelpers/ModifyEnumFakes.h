// Hand-made change reports: modification nodes, a node enumeration with a chosen ending, and a
// subscription with a chosen id.
#pragma once

#include "InterfacePtr.h"
#include "Common/ConfigTree/VXNodePtr.h"
#include "ConfigServer.h"

#include <atomic>
#include <string>
#include <vector>

namespace Fakes
{
template <typename... I> class RefCounted : public I...
{
public:
    std::uint32_t AddRef() override { return ++m_refs; }
    std::uint32_t Release() override
    {
        std::uint32_t left = --m_refs;
        if (left == 0)
        {
            delete this;
        }
        return left;
    }
    HRESULT QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }

protected:
    virtual ~RefCounted() = default;

private:
    std::atomic<std::uint32_t> m_refs{1};
};

inline VXNodePtr MakeModificationNode(const std::wstring& path, std::int64_t mask, bool withChild = true)
{
    VXNodePtr node = VXNodePtr::Create(L"Modification");
    node.SetStringAttribute(L"ModifiedNodePath", path);
    node.SetInt64Attribute(L"ChangesMask", mask);
    if (withChild)
    {
        VXNodePtr child = VXNodePtr::Create(path.substr(path.find_last_of(L'\\') + 1).c_str(), L"Changed");
        child.SetStringAttribute(L"Path", path);
        node.AddChild(child);
    }
    return node;
}

// Yields the nodes, then answers `end` from Next; GetNodeEnumerator fails with `open` if given,
// else starts the enumeration (itself) over.
class ModifyEnum : public RefCounted<IVXNodeModifyEnum, IVXNodeEnumerator>
{
public:
    explicit ModifyEnum(std::vector<VXNodePtr> nodes, HRESULT end = S_FALSE, HRESULT open = S_OK)
        : m_nodes(std::move(nodes)), m_end(end), m_open(open)
    {
    }
    HRESULT GetNodeEnumerator(IVXNodeEnumerator** enumerator) override
    {
        if (FAILED(m_open))
        {
            return m_open;
        }
        m_position = 0;
        AddRef();
        *enumerator = this;
        return S_OK;
    }
    HRESULT Reset() override { return E_NOTIMPL; } // callers must not rely on it
    HRESULT Next(IVXNode** node) override
    {
        if (m_position >= m_nodes.size())
        {
            return m_end;
        }
        *node = VXNodePtr(m_nodes[m_position++]).Detach();
        return S_OK;
    }

private:
    std::vector<VXNodePtr> m_nodes;
    std::size_t m_position = 0;
    HRESULT m_end;
    HRESULT m_open;
};

class Subscription : public RefCounted<IVXModifySubscription>
{
public:
    Subscription(const GUID& id, HRESULT idResult = S_OK) : m_id(id), m_idResult(idResult) {}
    HRESULT Start() override { return S_OK; }
    HRESULT Stop() override { return S_OK; }
    HRESULT GetId(GUID* id) override
    {
        if (FAILED(m_idResult))
        {
            return m_idResult;
        }
        *id = m_id;
        return S_OK;
    }

private:
    GUID m_id;
    HRESULT m_idResult;
};
inline Components::InterfacePtr<IVXNodeModifyEnum> Enum(std::vector<VXNodePtr> nodes, HRESULT end = S_FALSE,
                                                        HRESULT open = S_OK)
{
    return Components::InterfacePtr<IVXNodeModifyEnum>(new ModifyEnum(std::move(nodes), end, open), true);
}
} // namespace Fakes
