// Node building and a recording callback for the configuration server tests.
#pragma once

#include "ConfigServer.h"
#include "Platform/Core/Text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport
{

// Owns one data layer handle.
class Vx
{
public:
    Vx() = default;
    static Vx Attach(IVXNode* node)
    {
        Vx owner;
        owner.m_node = node;
        return owner;
    }
    Vx(const wchar_t* name, const wchar_t* type = nullptr) { VxnCreateNode(name, type, &m_node); }
    ~Vx() { Reset(); }
    Vx(Vx&& other) noexcept : m_node(other.m_node) { other.m_node = nullptr; }
    Vx& operator=(Vx&& other) noexcept
    {
        std::swap(m_node, other.m_node);
        return *this;
    }
    void Reset()
    {
        if (m_node)
        {
            VxnCloseNodeHandle(m_node);
        }
        m_node = nullptr;
    }
    IVXNode* Get() const { return m_node; }
    IVXNode** Out()
    {
        Reset();
        return &m_node;
    }
    explicit operator bool() const { return m_node != nullptr; }

    Vx& Str(const wchar_t* name, const std::wstring& value)
    {
        std::string bytes = Platform::ToUtf16Le(value);
        bytes.append(2, '\0');
        VxnSetAttribute(m_node, name, VXN_ATTR_STRING, bytes.data(), bytes.size());
        return *this;
    }
    Vx& I64(const wchar_t* name, std::int64_t value)
    {
        VxnSetAttribute(m_node, name, VXN_ATTR_INT64, &value, sizeof(value));
        return *this;
    }
    Vx& Path(const std::wstring& fullPath)
    {
        EXPECT_EQ(S_OK, VxnSetNodeName(m_node, VXN_NAME_FULL_PATH, fullPath.c_str()));
        return *this;
    }
    Vx& Add(const Vx& child)
    {
        EXPECT_EQ(S_OK, VxnAddChild(m_node, child.Get()));
        return *this;
    }

    std::wstring GetStr(const wchar_t* name) const
    {
        std::uint64_t size = 0;
        if (FAILED(VxnGetAttribute(m_node, name, nullptr, nullptr, &size, nullptr)))
        {
            return L"<absent>";
        }
        std::string bytes(size, '\0');
        VxnGetAttribute(m_node, name, nullptr, bytes.data(), &size, nullptr);
        std::wstring text = Platform::FromUtf16Le(bytes.data(), bytes.size());
        return text.substr(0, text.find(L'\0'));
    }
    std::int64_t GetI64(const wchar_t* name) const
    {
        std::int64_t value = -1;
        std::uint64_t size = sizeof(value);
        VxnGetAttribute(m_node, name, nullptr, &value, &size, nullptr);
        return value;
    }
    std::wstring Name(std::uint32_t kind) const
    {
        wchar_t buffer[1024] = {};
        std::uint32_t length = 1024;
        VxnGetNodeName(m_node, kind, buffer, &length);
        return buffer;
    }
    std::uint64_t ChildCount() const
    {
        std::uint64_t count = 0;
        VxnGetChildCount(m_node, &count);
        return count;
    }
    Vx Child(std::uint64_t index) const
    {
        Vx child;
        VxnGetChildByIndex(m_node, index, child.Out());
        return child;
    }
    Vx Child(const wchar_t* name) const
    {
        Vx child;
        VxnGetChildByName(m_node, name, child.Out());
        return child;
    }

private:
    IVXNode* m_node = nullptr;
};

inline Vx Query(const std::wstring& path, std::int64_t maxDepth = VXN_DEPTH_ALL)
{
    Vx query(nullptr, L"FilterByPath");
    query.Str(L"NodePath", path).I64(L"MaxDepth", maxDepth);
    std::uint8_t no = 0;
    VxnSetAttribute(query.Get(), L"IsParent", VXN_ATTR_BOOL, &no, 1);
    return query;
}

inline Vx Request(std::int64_t mask, std::int64_t options)
{
    Vx request(L"SubscribeConfig");
    request.I64(L"ChangesMask", mask).I64(L"SubscribeOptions", options);
    return request;
}

// A server with its storage and subscription services; shut down at the end unless released first.
struct Server
{
    explicit Server(const wchar_t* location = nullptr)
    {
        created = ConfigServerCreate(location, &proxy);
        IConfigServer* server = nullptr;
        if (SUCCEEDED(created) && SUCCEEDED(proxy->GetConfigServer(&server)))
        {
            server->GetService(&IID_IConfigStorage, reinterpret_cast<void**>(&storage));
            server->GetService(&IID_IConfigSubscriptionService, reinterpret_cast<void**>(&subscriptions));
            server->Release();
        }
    }
    ~Server()
    {
        if (proxy)
        {
            ConfigServerShutdown(proxy);
        }
        Release();
    }
    void Release()
    {
        for (IComponentBase* held :
             {static_cast<IComponentBase*>(storage), static_cast<IComponentBase*>(subscriptions),
              static_cast<IComponentBase*>(proxy)})
        {
            if (held)
            {
                held->Release();
            }
        }
        proxy = nullptr;
        storage = nullptr;
        subscriptions = nullptr;
    }

    HRESULT created = E_FAIL;
    IConfigServerProxy* proxy = nullptr;
    IConfigStorage* storage = nullptr;
    IConfigSubscriptionService* subscriptions = nullptr;
};

inline std::string ExportText(IConfigServerProxy* proxy)
{
    std::string text;
    EXPECT_EQ(S_OK, ConfigServerExportText(
                        proxy,
                        [](const void* data, std::uint64_t size, void* context)
                        {
                            static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
                            return S_OK;
                        },
                        &text));
    return text;
}

struct Modification
{
    std::wstring path;
    std::int64_t mask;
    std::int64_t sequence;
    Vx node;               // child 0, empty when absent
    std::wstring nodePath; // its full path while the modification node lives
};

struct Delivery
{
    std::uint32_t kind;
    std::thread::id thread;
    std::vector<Modification> modifications;
};

// Records every OnTriggered; an optional hook runs inside the callback.
class Recorder final : public IConfigModifyCallback
{
public:
    std::uint32_t AddRef() override { return ++m_references; }
    std::uint32_t Release() override { return --m_references; } // lives on the test's stack
    HRESULT QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }

    HRESULT OnTriggered(IVXModifySubscription* subscription, std::uint32_t kind,
                        IVXNodeModifyEnum* modifications) override
    {
        Delivery delivery{kind, std::this_thread::get_id(), {}};
        IVXNodeEnumerator* enumerator = nullptr;
        EXPECT_EQ(S_OK, modifications->GetNodeEnumerator(&enumerator));
        enumerator->Reset();
        IVXNode* raw = nullptr;
        while (enumerator->Next(&raw) == S_OK)
        {
            Vx node = Vx::Attach(raw);
            Vx content = node.Child(std::uint64_t{0});
            std::wstring contentPath = content ? content.Name(VXN_NAME_FULL_PATH) : std::wstring();
            delivery.modifications.push_back({node.GetStr(L"ModifiedNodePath"), node.GetI64(L"ChangesMask"),
                                              node.GetI64(L"CommitSequence"), std::move(content),
                                              contentPath});
        }
        enumerator->Release();
        if (hook)
        {
            hook(subscription);
        }
        std::lock_guard lock(m_mutex);
        m_deliveries.push_back(std::move(delivery));
        m_changed.notify_all();
        return S_OK;
    }

    // Waits until the modifications delivered so far reach count (true) or 10 s pass (false).
    bool WaitFor(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return Count() >= count; });
    }
    std::vector<Delivery> Take()
    {
        std::lock_guard lock(m_mutex);
        return std::move(m_deliveries);
    }
    std::vector<Modification> TakeAll(std::uint32_t kind)
    {
        std::vector<Modification> all;
        for (auto& delivery : Take())
        {
            EXPECT_EQ(kind, delivery.kind);
            std::move(delivery.modifications.begin(), delivery.modifications.end(), std::back_inserter(all));
        }
        return all;
    }
    std::size_t Delivered()
    {
        std::lock_guard lock(m_mutex);
        return Count();
    }
    std::uint32_t References() const { return m_references; }

    std::function<void(IVXModifySubscription*)> hook;

private:
    std::size_t Count() const
    {
        std::size_t count = 0;
        for (const auto& delivery : m_deliveries)
        {
            count += delivery.modifications.size();
        }
        return count;
    }

    std::atomic<std::uint32_t> m_references{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Delivery> m_deliveries;
};

} // namespace TestSupport
