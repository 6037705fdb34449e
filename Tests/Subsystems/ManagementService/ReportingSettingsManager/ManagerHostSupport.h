// A host's setting for the manager: the module loaded with dlopen, the configuration server
// started and registered as "ConfigServer.Proxy", seeded from the sample deployment, and small
// helpers over the data layer's flat functions. Written against the public headers only.
#pragma once

#include "ComponentBase.h"
#include "ConfigServer.h"
#include "InterfacePtr.h"
#include "Ravlin.h"
#include "ReportingSettingsManager.h"
#include "Tessel.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ManagerHost
{
using Components::InterfacePtr;
using Clock = std::chrono::steady_clock;

// A counted node handle of the test's own.
class Node
{
public:
    Node() = default;
    Node(const Node& other) { VxnDuplicateNodeHandle(other.m_node, &m_node); }
    Node(Node&& other) noexcept : m_node(std::exchange(other.m_node, nullptr)) {}
    Node& operator=(Node other) noexcept
    {
        std::swap(m_node, other.m_node);
        return *this;
    }
    ~Node()
    {
        if (m_node != nullptr)
        {
            VxnCloseNodeHandle(m_node);
        }
    }
    // The node a call that is expected to succeed hands out.
    static Node Of(const std::function<HRESULT(IVXNode**)>& call)
    {
        Node n;
        EXPECT_EQ(call(n.Out()), S_OK);
        return n;
    }
    static Node Create(const wchar_t* name, const wchar_t* type = nullptr)
    {
        return Of([&](IVXNode** n) { return VxnCreateNode(name, type, n); });
    }
    IVXNode* Get() const { return m_node; }
    IVXNode** Out() { return &m_node; }
    explicit operator bool() const { return m_node != nullptr; }

    Node ChildAt(std::uint64_t index) const
    {
        return Of([&](IVXNode** c) { return VxnGetChildByIndex(m_node, index, c); });
    }
    std::uint64_t ChildCount() const
    {
        std::uint64_t count = 0;
        VxnGetChildCount(m_node, &count);
        return count;
    }
    Node Clone() const
    {
        return Of([&](IVXNode** c) { return VxnCloneNode(m_node, VXN_DEPTH_ALL, 0, c); });
    }
    std::wstring Name() const
    {
        wchar_t buffer[1024];
        std::uint32_t length = 1024;
        return VxnGetNodeName(m_node, VXN_NAME_OWN, buffer, &length) == S_OK ? buffer : L"";
    }
    std::wstring Type() const
    {
        wchar_t buffer[256];
        std::uint32_t length = 256;
        return VxnGetNodeType(m_node, buffer, &length) == S_OK ? buffer : L"";
    }
    // The attribute's size in bytes, or -1 when absent.
    std::int64_t Size(const wchar_t* name) const
    {
        std::uint64_t size = 0;
        return Read(name, nullptr, size) == S_OK ? static_cast<std::int64_t>(size) : -1;
    }
    bool Has(const wchar_t* name) const { return Size(name) >= 0; }
    // Text values are UTF-16LE in the data layer; the tests use ASCII and BMP text only.
    std::wstring String(const wchar_t* name) const
    {
        std::uint64_t size = std::max<std::int64_t>(Size(name), 0);
        std::u16string buffer(size / 2, u'\0');
        if (Read(name, buffer.data(), size) != S_OK)
        {
            return L"<absent>";
        }
        std::wstring text(buffer.begin(), buffer.end());
        return text.substr(0, text.find(L'\0'));
    }
    // -1 when absent.
    int Bool(const wchar_t* name) const
    {
        std::uint8_t value = 0;
        std::uint64_t size = 1;
        return Read(name, &value, size) == S_OK ? value != 0 : -1;
    }
    std::int64_t Int64(const wchar_t* name) const
    {
        std::int64_t value = -1;
        std::uint64_t size = 8;
        Read(name, &value, size);
        return value;
    }
    void SetString(const wchar_t* name, const std::wstring& value) const
    {
        const std::u16string text(value.begin(), value.end());
        Set(name, VXN_ATTR_STRING, text.c_str(), (text.size() + 1) * 2);
    }
    void SetBool(const wchar_t* name, bool value) const { Set(name, VXN_ATTR_BOOL, &value, 1); }
    void SetInt64(const wchar_t* name, std::int64_t value) const { Set(name, VXN_ATTR_INT64, &value, 8); }
    void Delete(const wchar_t* name) const { VxnDeleteAttribute(m_node, name); }
    // The whole subtree as text, for equality checks.
    std::string Serialized() const
    {
        std::string out;
        IVXSerializationContext* context = nullptr;
        auto writer = [](const void* data, std::uint64_t size, void* target) -> HRESULT
        {
            static_cast<std::string*>(target)->append(static_cast<const char*>(data), size);
            return S_OK;
        };
        VxnStartSerialization(VXN_SERIALIZATION_XML, 0, writer, &out, &context);
        IVXNode* nodes[] = {m_node};
        VxnSerializeNodes(context, nodes, 1, VXN_DEPTH_ALL);
        VxnFinalizeSerialization(context);
        VxnCloseSerializationContext(context);
        return out;
    }

private:
    HRESULT Read(const wchar_t* name, void* buffer, std::uint64_t& size) const
    {
        return VxnGetAttribute(m_node, name, nullptr, buffer, &size, nullptr);
    }
    void Set(const wchar_t* name, std::uint16_t type, const void* data, std::uint64_t size) const
    {
        EXPECT_EQ(VxnSetAttribute(m_node, name, type, data, size), S_OK);
    }

    IVXNode* m_node = nullptr;
};

inline const char* LogFolder()
{
    return RSM_HOST_TEST_DIR "/" RSM_TEST_NAME "Logs";
}

// Loads the module once per process, its log in a folder of this test program.
inline IComponentsModule* Module()
{
    static IComponentsModule* module = []() -> IComponentsModule*
    {
        std::filesystem::remove_all(LogFolder());
        std::filesystem::create_directories(LogFolder());
        setenv("GS_Logger_Path", (std::string(LogFolder()) + "/").c_str(), 1);
        setenv("GS_Debug_EnableAliveObjectsTracking", "1", 1);
        void* handle = dlopen(RSM_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(handle, nullptr) << dlerror();
        auto get =
            handle == nullptr
                ? nullptr
                : reinterpret_cast<PFN_GetComponentsModuleObject>(dlsym(handle, "GetComponentsModuleObject"));
        void* p = nullptr;
        return get != nullptr && get(&p) == S_OK ? static_cast<IComponentsModule*>(p) : nullptr;
    }();
    return module;
}

inline std::uint32_t ObjectsInUse()
{
    std::uint32_t inUse = 0xFFFF;
    EXPECT_EQ(Module()->IsModuleLocked(&inUse), S_OK);
    return inUse;
}

// How often the module's log (UTF-16LE) holds the ASCII text.
inline std::size_t LogCount(const std::string& ascii)
{
    std::ifstream file(std::string(LogFolder()) + "/ReportingSettingsManager.log", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string utf16;
    for (char c : ascii)
    {
        utf16 += {c, '\0'};
    }
    std::size_t count = 0;
    for (std::size_t at = bytes.find(utf16); at != std::string::npos; at = bytes.find(utf16, at + 1))
    {
        ++count;
    }
    return count;
}

inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = Clock::now() + limit;
    while (!condition())
    {
        if (Clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A subscriber that records what it is told, and the last node per type.
class Subscriber final : public IReportingSettingsSubscriber
{
public:
    struct Received
    {
        std::uint32_t type;
        std::uint32_t periodic;
        Node node;
    };

    std::uint32_t AddRef() override { return ++refs; }
    std::uint32_t Release() override { return --refs; }
    // The manager only calls it, never asks it for other interfaces.
    HRESULT QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }
    HRESULT OnReportingSettingsChanged(std::uint32_t type, std::uint32_t periodic, IVXNode* node) override
    {
        if (onCall)
        {
            onCall(type);
        }
        Node copy = Node::Of([&](IVXNode** c) { return VxnCloneNode(node, VXN_DEPTH_ALL, 0, c); });
        std::lock_guard lock(m_lock);
        m_last[type] = copy;
        // Republished items go on for ever; quiet means no change for a while.
        m_lastChange = periodic == 0 ? Clock::now() : m_lastChange;
        m_received.push_back(Received{type, periodic, std::move(copy)});
        return S_OK;
    }

    std::vector<Received> Take()
    {
        std::lock_guard lock(m_lock);
        return std::exchange(m_received, {});
    }
    std::size_t Count()
    {
        std::lock_guard lock(m_lock);
        return m_received.size();
    }
    // Waits for at least count items; takes them all.
    std::vector<Received> WaitTake(std::size_t count)
    {
        WaitFor([&] { return Count() >= count; });
        return Take();
    }
    std::map<std::uint32_t, Node> Last()
    {
        std::lock_guard lock(m_lock);
        return m_last;
    }
    Clock::time_point LastChange()
    {
        std::lock_guard lock(m_lock);
        return m_lastChange;
    }

    std::atomic<std::uint32_t> refs{0};
    std::function<void(std::uint32_t)> onCall;

private:
    std::mutex m_lock;
    std::vector<Received> m_received;
    std::map<std::uint32_t, Node> m_last;
    Clock::time_point m_lastChange = Clock::now();
};

// The server started over a store and seeded from the sample, and a manager created through the
// module object; the manager's configuration node read back from the store.
class Deployment
{
public:
    explicit Deployment(const std::wstring& storeLocation = L"memory:")
    {
        EXPECT_NE(Module(), nullptr);
        EXPECT_EQ(ConfigServerStart(storeLocation.c_str(), proxy.Out()), S_OK);
        EXPECT_EQ(ConfigServerImportFile(proxy.Get(), RSM_SAMPLES_DIR L"/ReportingDeployment.xml"), S_OK);
        EXPECT_EQ(proxy->GetConfigServer(server.Out()), S_OK);
        EXPECT_EQ(server->GetService(&IID_IConfigStorage, storage.OutVoid()), S_OK);
    }
    ~Deployment()
    {
        storage.Reset();
        server.Reset();
        proxy.Reset();
        ConfigServerStop();
    }

    Node Read(const std::wstring& path) const
    {
        Node query = Node::Create(nullptr, L"FilterByPath");
        query.SetString(L"NodePath", path);
        query.SetBool(L"IsParent", false);
        query.SetInt64(L"MaxDepth", VXN_DEPTH_ALL);
        Node found;
        std::uint64_t count = 0;
        storage->QueryNodes(query.Get(), 0, found.Out(), 1, &count);
        return count == 0 ? Node() : std::move(found);
    }
    // Stores node at path (its subtree included).
    HRESULT Write(const std::wstring& path, const Node& node) const
    {
        EXPECT_EQ(VxnSetNodeName(node.Get(), VXN_NAME_FULL_PATH, path.c_str()), S_OK);
        IVXNode* nodes[] = {node.Get()};
        return storage->PutNodes(nullptr, 0, nodes, 1);
    }
    // Reads the node at path, sets one text attribute and stores it again.
    HRESULT WriteString(const std::wstring& path, const wchar_t* name, const std::wstring& value) const
    {
        Node node = Read(path);
        node.SetString(name, value);
        return Write(path, node);
    }
    // The sample's configuration node, with a short sink period and no republishing unless asked.
    Node Config(std::int64_t notifySeconds = 1, std::int64_t republishSeconds = 0) const
    {
        Node config = Read(L"\\ManagementService\\ReportingSettingsManager").Clone();
        config.SetInt64(L"NotifyIntervalSec", notifySeconds);
        config.SetInt64(L"SubscriptorsNotifyIntervalSec", republishSeconds);
        return config;
    }

    InterfacePtr<IReportingSettingsManager> CreateManager() const
    {
        InterfacePtr<IReportingSettingsManager> manager;
        EXPECT_EQ(Module()->CreateInstance(&CLSID_ReportingSettingsManager, &IID_IReportingSettingsManager,
                                           manager.OutVoid()),
                  S_OK);
        return manager;
    }
    template <typename I> static InterfacePtr<I> As(IComponentBase* object, const GUID& iid)
    {
        InterfacePtr<I> result;
        EXPECT_EQ(object->QueryInterface(&iid, result.OutVoid()), S_OK);
        return result;
    }
    static HRESULT Configure(IReportingSettingsManager* manager, const Node& config)
    {
        return As<IConfigurableComponent>(manager, IID_IConfigurableComponent)->Configure(config.Get());
    }
    static HRESULT Shutdown(IReportingSettingsManager* manager)
    {
        return As<IComponentShutdown>(manager, IID_IComponentShutdown)->Shutdown();
    }

    InterfacePtr<IConfigServerProxy> proxy;
    InterfacePtr<IConfigServer> server;
    InterfacePtr<IConfigStorage> storage;
};

inline Node Acquire(IReportingSettingsManager* manager, std::uint32_t type)
{
    return Node::Of([&](IVXNode** n) { return manager->AcquireConnectionSettings(type, n); });
}

inline Node Subscribe(IReportingSettingsManager* manager, std::uint32_t types, Subscriber& subscriber)
{
    Node cookie;
    EXPECT_EQ(manager->CreateReportingSettingsSubscription(types, &subscriber, cookie.Out()), S_OK);
    return cookie;
}
} // namespace ManagerHost
