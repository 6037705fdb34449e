// A host's view of the module: only the public headers, the module loaded with dlopen and
// reached through its one export.
#include "ComponentBase.h"
#include "ConfigServer.h"
#include "Ravlin.h"
#include "ReportingSettingsManager.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace
{
constexpr wchar_t kProxyName[] = L"ConfigServer.Proxy";
constexpr char kLogFolder[] = RSM_HOST_TEST_DIR "/ModuleHostTestLogs";
void* const kSentinel = reinterpret_cast<void*>(0x5A5A);

// Names of the symbols a shared object defines in its dynamic symbol table.
std::vector<std::string> DefinedDynamicSymbols(const std::string& path)
{
    std::vector<std::string> names;
    FILE* nm = popen(("nm -D --defined-only '" + path + "'").c_str(), "r");
    if (nm == nullptr)
    {
        ADD_FAILURE() << "nm cannot be run";
        return names;
    }
    char line[4096];
    while (std::fgets(line, sizeof(line), nm) != nullptr)
    {
        std::istringstream fields(line); // address, kind, name
        std::string address, kind, name;
        fields >> address >> kind >> name;
        names.push_back(name);
    }
    EXPECT_EQ(pclose(nm), 0);
    return names;
}

// The proxy a host publishes as "ConfigServer.Proxy", serving itself as the server. It can be
// told to fail or to hide its proxy interface; only the reference counts matter beyond that.
class FakeProxy final : public IConfigServerProxy, public IConfigServer
{
public:
    std::atomic<std::uint32_t> refs{1};
    HRESULT getServerResult = S_OK;
    bool answersProxyInterface = true;

    std::uint32_t AddRef() override { return ++refs; }
    std::uint32_t Release() override { return --refs; }
    HRESULT QueryInterface(const GUID* iid, void** ppv) override
    {
        if (iid == nullptr || ppv == nullptr)
        {
            return E_INVALIDARG;
        }
        if (*iid != IID_IComponentBase && !(answersProxyInterface && *iid == IID_IConfigServerProxy))
        {
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IConfigServerProxy*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT GetConfigServer(IConfigServer** server) override
    {
        if (SUCCEEDED(getServerResult))
        {
            AddRef();
            *server = this;
        }
        return getServerResult;
    }
    HRESULT GetService(const GUID*, void**) override { return E_NOTIMPL; }
};

// Publishes a proxy for the scope of a test (the proxy is a local of the test).
struct ProxyPublication
{
    explicit ProxyPublication(IComponentBase* proxy)
    {
        EXPECT_EQ(RLRegisterNamedInstance(kProxyName, proxy), S_OK);
    }
    ~ProxyPublication() { RLRegisterNamedInstance(kProxyName, nullptr); }
};

class ModuleHost : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // The module's log goes to a folder of this test.
        std::filesystem::remove_all(kLogFolder);
        std::filesystem::create_directories(kLogFolder);
        setenv("GS_Logger_Path", (std::string(kLogFolder) + "/").c_str(), 1);
        s_handle = dlopen(RSM_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(s_handle, nullptr) << dlerror();
        s_getModule =
            reinterpret_cast<PFN_GetComponentsModuleObject>(dlsym(s_handle, "GetComponentsModuleObject"));
        ASSERT_NE(s_getModule, nullptr);
    }
    static void TearDownTestSuite()
    {
        if (s_handle != nullptr)
        {
            dlclose(s_handle);
        }
    }
    void SetUp() override
    {
        ASSERT_NE(s_getModule, nullptr);
        void* p = nullptr;
        ASSERT_EQ(s_getModule(&p), S_OK);
        module = static_cast<IComponentsModule*>(p);
        RLRegisterNamedInstance(kProxyName, nullptr);
    }

    std::uint32_t InUse()
    {
        std::uint32_t inUse = 7;
        EXPECT_EQ(module->IsModuleLocked(&inUse), S_OK);
        return inUse;
    }
    // The description of the error information the last failing call left on this thread.
    static std::wstring TakeErrorDescription()
    {
        IErrorInfo* info = nullptr;
        if (GetErrorInfo(0, &info) != S_OK || info == nullptr)
        {
            return L"";
        }
        BSTR text = nullptr;
        info->GetDescription(&text);
        std::wstring description = text == nullptr ? L"" : text;
        SysFreeString(text);
        info->Release();
        return description;
    }

    // The module's log file as text.
    static std::wstring ReadLog()
    {
        std::ifstream file(std::string(kLogFolder) + "/ReportingSettingsManager.log", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::wstring text;
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        {
            text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8));
        }
        return text;
    }

    static inline void* s_handle = nullptr;
    static inline PFN_GetComponentsModuleObject s_getModule = nullptr;
    IComponentsModule* module = nullptr;
};

TEST_F(ModuleHost, ExportsOnlyTheModuleObjectFunction)
{
    EXPECT_EQ(DefinedDynamicSymbols(RSM_MODULE_PATH), std::vector<std::string>{"GetComponentsModuleObject"});
    EXPECT_EQ(s_getModule(nullptr), E_INVALIDARG);
}

TEST_F(ModuleHost, ModuleObjectBehaviour)
{
    EXPECT_EQ(module->AddRef(), 0xFFFFFFFFu);
    EXPECT_EQ(module->Release(), 0xFFFFFFFFu);

    void* p = kSentinel;
    EXPECT_EQ(module->QueryInterface(nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(module->QueryInterface(&IID_IComponentBase, nullptr), E_INVALIDARG);
    EXPECT_EQ(module->QueryInterface(&IID_IConfigServerProxy, &p), E_NOINTERFACE);
    EXPECT_EQ(p, kSentinel);
    void* primary = nullptr;
    ASSERT_EQ(module->QueryInterface(&IID_IComponentBase, &primary), S_OK);
    void* viaPrimary = nullptr;
    ASSERT_EQ(static_cast<IComponentBase*>(primary)->QueryInterface(&IID_IComponentsModule, &viaPrimary),
              S_OK);
    EXPECT_EQ(viaPrimary, static_cast<void*>(module));
    EXPECT_EQ(module->Reserved(), S_OK);
    EXPECT_EQ(module->DumpAliveObjects(), S_OK);
    EXPECT_EQ(module->IsModuleLocked(nullptr), E_POINTER);
    EXPECT_EQ(InUse(), 0u);
    EXPECT_EQ(module->LockModule(), 1u);
    EXPECT_EQ(InUse(), 1u);
    EXPECT_EQ(module->UnlockModule(), 0u);
    EXPECT_EQ(InUse(), 0u);

    const GUID unknownClass = IID_IReportingSettingsManager;
    EXPECT_EQ(module->CreateInstance(&unknownClass, &IID_IComponentBase, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(module->CreateInstance(nullptr, &IID_IComponentBase, &p), E_INVALIDARG);
    EXPECT_EQ(p, kSentinel);
    EXPECT_EQ(InUse(), 0u);
}

TEST_F(ModuleHost, ManagerCreationFailsWithoutUsableProxy)
{
    void* p = kSentinel;
    EXPECT_EQ(module->CreateInstance(&CLSID_ReportingSettingsManager, &IID_IReportingSettingsManager, &p),
              static_cast<HRESULT>(0x80070490));
    EXPECT_EQ(TakeErrorDescription().rfind(L"0x80070490 ", 0), 0u);
    std::wstring log = ReadLog();
    std::wstring line = L"ManagementService::CReportingSettingsManager::FinalConstruct failed: 0x80070490 ";
    EXPECT_NE(log.find(line), std::wstring::npos) << std::string(log.begin(), log.end());
    EXPECT_EQ(p, kSentinel);
    EXPECT_EQ(InUse(), 0u);

    FakeProxy proxy;
    ProxyPublication publication(static_cast<IConfigServerProxy*>(&proxy));
    proxy.getServerResult = E_ACCESSDENIED;
    EXPECT_EQ(module->CreateInstance(&CLSID_ReportingSettingsManager, &IID_IComponentBase, &p),
              E_ACCESSDENIED);
    proxy.getServerResult = S_OK;
    proxy.answersProxyInterface = false;
    EXPECT_EQ(module->CreateInstance(&CLSID_ReportingSettingsManager, &IID_IComponentBase, &p),
              E_NOINTERFACE);
    EXPECT_EQ(p, kSentinel);
    EXPECT_EQ(InUse(), 0u);
    EXPECT_EQ(proxy.refs, 2u); // the registration's reference only
}

TEST_F(ModuleHost, ManagerWithProxyServesItsFourInterfaces)
{
    FakeProxy proxy;
    ProxyPublication publication(static_cast<IConfigServerProxy*>(&proxy));

    // An interface the manager lacks: nothing stays alive.
    void* p = kSentinel;
    EXPECT_EQ(module->CreateInstance(&CLSID_ReportingSettingsManager, &IID_IConfigServer, &p), E_NOINTERFACE);
    EXPECT_EQ(module->CreateInstance(&CLSID_ReportingSettingsManager, nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(module->CreateInstance(&CLSID_ReportingSettingsManager, &IID_IComponentBase, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(p, kSentinel);
    EXPECT_EQ(InUse(), 0u);
    EXPECT_EQ(proxy.refs, 2u);

    ASSERT_EQ(module->CreateInstance(&CLSID_ReportingSettingsManager, &IID_IReportingSettingsManager, &p),
              S_OK);
    auto* manager = static_cast<IReportingSettingsManager*>(p);
    EXPECT_EQ(InUse(), 1u);
    EXPECT_EQ(proxy.refs, 3u); // the proxy released after use, the server kept

    const GUID* ids[] = {&IID_IComponentBase, &IID_IConfigurableComponent, &IID_IComponentShutdown,
                         &IID_IReportingSettingsManager};
    std::vector<IComponentBase*> interfaces;
    for (const GUID* id : ids)
    {
        void* q = nullptr;
        ASSERT_EQ(manager->QueryInterface(id, &q), S_OK);
        interfaces.push_back(static_cast<IComponentBase*>(q));
    }
    EXPECT_EQ(interfaces[3], static_cast<IComponentBase*>(manager));
    for (IComponentBase* itf : interfaces)
    {
        void* primary = nullptr;
        ASSERT_EQ(itf->QueryInterface(&IID_IComponentBase, &primary), S_OK);
        EXPECT_EQ(primary, static_cast<void*>(interfaces[0]));
        static_cast<IComponentBase*>(primary)->Release();
    }
    void* untouched = kSentinel;
    EXPECT_EQ(manager->QueryInterface(&IID_IConfigServerProxy, &untouched), E_NOINTERFACE);
    EXPECT_EQ(manager->QueryInterface(nullptr, &untouched), E_INVALIDARG);
    EXPECT_EQ(untouched, kSentinel);

    auto* shutdown = static_cast<IComponentShutdown*>(interfaces[2]);
    EXPECT_EQ(shutdown->Shutdown(), S_OK);
    EXPECT_EQ(shutdown->Shutdown(), S_OK);

    // Five references: creation plus four lookups; each interface releases from the one count.
    EXPECT_EQ(interfaces[0]->Release(), 4u);
    EXPECT_EQ(interfaces[1]->Release(), 3u);
    EXPECT_EQ(interfaces[2]->Release(), 2u);
    EXPECT_EQ(interfaces[3]->AddRef(), 3u);
    EXPECT_EQ(interfaces[3]->Release(), 2u);
    EXPECT_EQ(interfaces[3]->Release(), 1u);
    EXPECT_EQ(InUse(), 1u);
    EXPECT_EQ(module->DumpAliveObjects(), S_OK);
    EXPECT_EQ(manager->Release(), 0u);
    EXPECT_EQ(InUse(), 0u);
    EXPECT_EQ(proxy.refs, 2u);
}
} // namespace
