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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    FILE* nm = popen(("nm -D --defined-only --format=just-symbols '" + path + "'").c_str(), "r");
    char line[4096];
    while (nm != nullptr && std::fgets(line, sizeof(line), nm) != nullptr)
    {
        names.emplace_back(line, std::strcspn(line, "\n"));
    }
    EXPECT_TRUE(nm != nullptr && pclose(nm) == 0) << "nm cannot be run";
    return names;
}

// The proxy a host publishes as "ConfigServer.Proxy" for the scope of a test, serving itself as
// the server. It can be told to fail or to hide its proxy interface; only the reference counts
// matter beyond that.
class FakeProxy final : public IConfigServerProxy, public IConfigServer
{
public:
    std::atomic<std::uint32_t> refs{1};
    HRESULT getServerResult = S_OK;
    bool answersProxyInterface = true;

    FakeProxy()
    {
        EXPECT_EQ(RLRegisterNamedInstance(kProxyName, static_cast<IConfigServerProxy*>(this)), S_OK);
    }
    ~FakeProxy() { RLRegisterNamedInstance(kProxyName, nullptr); }

    std::uint32_t AddRef() override { return ++refs; }
    std::uint32_t Release() override { return --refs; }
    HRESULT QueryInterface(const GUID* iid, void** ppv) override
    {
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

// Loads the module with its log in a folder of this test; it stays loaded until the process ends.
PFN_GetComponentsModuleObject LoadModule()
{
    std::filesystem::remove_all(kLogFolder);
    std::filesystem::create_directories(kLogFolder);
    setenv("GS_Logger_Path", (std::string(kLogFolder) + "/").c_str(), 1);
    void* handle = dlopen(RSM_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle, nullptr) << dlerror();
    return handle == nullptr
               ? nullptr
               : reinterpret_cast<PFN_GetComponentsModuleObject>(dlsym(handle, "GetComponentsModuleObject"));
}

class ModuleHost : public ::testing::Test
{
protected:
    void SetUp() override
    {
        static const PFN_GetComponentsModuleObject loaded = LoadModule();
        getModule = loaded;
        ASSERT_NE(getModule, nullptr);
        void* p = nullptr;
        ASSERT_EQ(getModule(&p), S_OK);
        module = static_cast<IComponentsModule*>(p);
    }
    std::uint32_t InUse()
    {
        std::uint32_t inUse = 7;
        EXPECT_EQ(module->IsModuleLocked(&inUse), S_OK);
        return inUse;
    }
    HRESULT CreateManager(const GUID* iid, void** ppv)
    {
        return module->CreateInstance(&CLSID_ReportingSettingsManager, iid, ppv);
    }

    PFN_GetComponentsModuleObject getModule = nullptr;
    IComponentsModule* module = nullptr;
};

// The description of the error information the last failing call left on this thread.
std::wstring TakeErrorDescription()
{
    IErrorInfo* info = nullptr;
    BSTR text = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr)
    {
        info->GetDescription(&text);
        info->Release();
    }
    std::wstring description = text == nullptr ? L"" : text;
    SysFreeString(text);
    return description;
}

// Whether the module's log file (UTF-16LE) holds the ASCII text.
bool LogHolds(const std::string& ascii)
{
    std::ifstream file(std::string(kLogFolder) + "/ReportingSettingsManager.log", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string utf16;
    for (char c : ascii)
    {
        utf16 += {c, '\0'};
    }
    return bytes.find(utf16) != std::string::npos;
}

TEST_F(ModuleHost, ExportsOnlyTheModuleObjectWhichIsNotCounted)
{
    EXPECT_EQ(DefinedDynamicSymbols(RSM_MODULE_PATH), std::vector<std::string>{"GetComponentsModuleObject"});
    EXPECT_EQ(getModule(nullptr), E_INVALIDARG);
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
    EXPECT_EQ(module->LockModule(), 1u);
    EXPECT_EQ(InUse(), 1u);
    EXPECT_EQ(module->UnlockModule(), 0u);

    EXPECT_EQ(module->CreateInstance(&IID_IReportingSettingsManager, &IID_IComponentBase, &p),
              REGDB_E_CLASSNOTREG); // an interface id is no class id
    EXPECT_EQ(module->CreateInstance(nullptr, &IID_IComponentBase, &p), E_INVALIDARG);
    EXPECT_EQ(p, kSentinel);
    EXPECT_EQ(InUse(), 0u);
}

TEST_F(ModuleHost, ManagerNeedsAUsableProxyAndServesItsFourInterfaces)
{
    void* p = kSentinel;
    EXPECT_EQ(CreateManager(&IID_IReportingSettingsManager, &p), HR_NOT_FOUND);
    EXPECT_EQ(TakeErrorDescription().rfind(L"0x80070490 ", 0), 0u);
    EXPECT_TRUE(LogHolds("ManagementService::CReportingSettingsManager::FinalConstruct failed: 0x80070490 "));

    FakeProxy proxy;
    proxy.getServerResult = E_ACCESSDENIED;
    EXPECT_EQ(CreateManager(&IID_IComponentBase, &p), E_ACCESSDENIED);
    proxy.getServerResult = S_OK;
    proxy.answersProxyInterface = false;
    EXPECT_EQ(CreateManager(&IID_IComponentBase, &p), E_NOINTERFACE);
    // With a usable proxy: an interface the manager lacks, null arguments.
    proxy.answersProxyInterface = true;
    EXPECT_EQ(CreateManager(&IID_IConfigServer, &p), E_NOINTERFACE);
    EXPECT_EQ(CreateManager(nullptr, &p), E_INVALIDARG);
    EXPECT_EQ(CreateManager(&IID_IComponentBase, nullptr), E_INVALIDARG);
    EXPECT_EQ(p, kSentinel);
    EXPECT_EQ(InUse(), 0u);
    EXPECT_EQ(proxy.refs, 2u); // the registration's reference only

    // With a usable proxy the manager serves its four interfaces.
    ASSERT_EQ(CreateManager(&IID_IReportingSettingsManager, &p), S_OK);
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
        void* primary = nullptr;
        ASSERT_EQ(interfaces.back()->QueryInterface(&IID_IComponentBase, &primary), S_OK);
        EXPECT_EQ(primary, static_cast<void*>(interfaces[0]));
        static_cast<IComponentBase*>(primary)->Release();
    }
    EXPECT_EQ(interfaces[3], static_cast<IComponentBase*>(manager));
    void* untouched = kSentinel;
    EXPECT_EQ(manager->QueryInterface(&IID_IConfigServerProxy, &untouched), E_NOINTERFACE);
    EXPECT_EQ(manager->QueryInterface(nullptr, &untouched), E_INVALIDARG);
    EXPECT_EQ(untouched, kSentinel);

    auto* shutdown = static_cast<IComponentShutdown*>(interfaces[2]);
    EXPECT_EQ(shutdown->Shutdown(), S_OK);
    EXPECT_EQ(shutdown->Shutdown(), S_OK);

    // Five references: creation plus four lookups; each interface releases from the one count.
    for (std::uint32_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(interfaces[i]->Release(), 4u - i);
    }
    EXPECT_EQ(interfaces[3]->Release(), 1u);
    EXPECT_EQ(module->DumpAliveObjects(), S_OK);
    EXPECT_EQ(manager->Release(), 0u);
    EXPECT_EQ(InUse(), 0u);
    EXPECT_EQ(proxy.refs, 2u);
}
} // namespace
