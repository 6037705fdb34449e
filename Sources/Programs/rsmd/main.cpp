// rsmd: loads the reporting settings manager module, gives it a configuration server over a
// persistent store, and serves its operations and the configuration tree over HTTP/JSON until
// SIGINT or SIGTERM.
#include "ComponentBase.h"
#include "ConfigServer.h"
#include "InterfacePtr.h"
#include "Programs/HostCommon/HostText.h"
#include "Programs/HostCommon/NodeJson.h"
#include "Programs/rsmd/Service.h"
#include "Ravlin.h"
#include "ReportingSettingsManager.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace
{
namespace fs = std::filesystem;
using HostCommon::NodeHandle;

constexpr char kUsage[] =
    R"(Usage: rsmd [OPTIONS]

Serves the reporting settings manager over HTTP/JSON until SIGINT or SIGTERM.

Options:
  --data DIR          data directory (default ./data, created when missing): store, logs, lock
  --store LOCATION    configuration store: sqlite:FILE or memory: (default sqlite:DIR/config.db)
  --seed FILE         tree imported once into an empty store (default: ReportingDeployment.xml
                      beside rsmd; "" for none)
  --config-path PATH  the manager's configuration node
                      (default \ManagementService\ReportingSettingsManager)
  --listen HOST:PORT  address to serve (default 127.0.0.1:8470; port 0 picks a free port)
  --token-file FILE   require "Authorization: Bearer <token>" with the token in FILE; needed for
                      an address other than loopback
  --module PATH       the module (default: ReportingSettingsManager.so beside rsmd)
  --help              this text

The first line on standard output is "listening on http://HOST:PORT". A start failure prints one
line on standard error with the HRESULT and its message, and exits 1.
)";

struct Failure
{
    HRESULT hr = S_OK;
    std::string detail;
    std::string message; // empty: the code's own message text
};

struct Options
{
    std::string data = "./data";
    std::string store;
    std::string seed;
    bool seedGiven = false;
    std::string configPath = "\\ManagementService\\ReportingSettingsManager";
    std::string listen = "127.0.0.1:8470";
    std::string tokenFile;
    std::string module;
    bool help = false;
};

Failure Fail(HRESULT hr, std::string detail, std::string message = {})
{
    return Failure{hr, std::move(detail), std::move(message)};
}

HRESULT FromErrno(int error)
{
    switch (error)
    {
    case ENOENT:
        return MakeHr(0x80070002);
    case EACCES:
    case EPERM:
        return E_ACCESSDENIED;
    case EWOULDBLOCK:
        return HR_SHARING_VIOLATION;
    default:
        return E_FAIL;
    }
}

bool ParseOptions(int argc, char** argv, Options& o, Failure& failure)
{
    for (int i = 1; i < argc; ++i)
    {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos)
        {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            hasValue = true;
        }
        if (arg == "--help" || arg == "-h")
        {
            o.help = true;
            continue;
        }
        std::string* target = arg == "--data"          ? &o.data
                              : arg == "--store"       ? &o.store
                              : arg == "--seed"        ? &o.seed
                              : arg == "--config-path" ? &o.configPath
                              : arg == "--listen"      ? &o.listen
                              : arg == "--token-file"  ? &o.tokenFile
                              : arg == "--module"      ? &o.module
                                                       : nullptr;
        if (target == nullptr)
        {
            failure = Fail(E_INVALIDARG, "unknown option " + arg + " (see --help)");
            return false;
        }
        if (!hasValue)
        {
            if (i + 1 >= argc)
            {
                failure = Fail(E_INVALIDARG, arg + " needs a value");
                return false;
            }
            value = argv[++i];
        }
        *target = value;
        o.seedGiven = o.seedGiven || arg == "--seed";
    }
    return true;
}

// HOST:PORT or [V6HOST]:PORT.
bool ParseListen(const std::string& text, std::string& host, int& port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
    {
        return false;
    }
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    {
        host = host.substr(1, host.size() - 2);
    }
    std::uint32_t number = 0;
    if (!HostCommon::ParseU32(text.substr(colon + 1), number) || number > 65535)
    {
        return false;
    }
    port = static_cast<int>(number);
    return true;
}

bool IsLoopback(const std::string& host)
{
    in_addr v4{};
    in6_addr v6{};
    if (host == "localhost")
    {
        return true;
    }
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
    {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

fs::path ExecutableFolder()
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::current_path() : self.parent_path();
}

HRESULT ReadStoreNode(IConfigStorage* storage, const std::wstring& path, std::int64_t depth, NodeHandle& node)
{
    NodeHandle query;
    HRESULT hr = VxnCreateNode(L"", L"FilterByPath", query.Out());
    if (SUCCEEDED(hr))
    {
        hr = HostCommon::SetStringAttribute(query.Get(), L"NodePath", path);
    }
    if (SUCCEEDED(hr))
    {
        hr = VxnSetAttribute(query.Get(), L"MaxDepth", VXN_ATTR_INT64, &depth, 8);
    }
    std::uint64_t found = 0;
    IVXNode* result = nullptr;
    if (SUCCEEDED(hr))
    {
        hr = storage->QueryNodes(query.Get(), 0, &result, 1, &found);
    }
    node = NodeHandle(result);
    return SUCCEEDED(hr) && found == 0 ? HR_NOT_FOUND : hr;
}

// Counts the store's commits for the metrics: one delivery per commit anywhere in the tree.
class CommitCounter final : public IConfigModifyCallback
{
public:
    explicit CommitCounter(Rsmd::Metrics*& metrics) : m_metrics(metrics) {}
    std::uint32_t AddRef() override { return ++m_refs; }
    std::uint32_t Release() override { return --m_refs; } // owned by the host, never deleted here
    HRESULT QueryInterface(const GUID* iid, void** ppv) override
    {
        if (iid == nullptr || ppv == nullptr)
        {
            return E_INVALIDARG;
        }
        if (*iid != IID_IComponentBase && *iid != IID_IConfigModifyCallback)
        {
            return E_NOINTERFACE;
        }
        AddRef();
        *ppv = static_cast<IConfigModifyCallback*>(this);
        return S_OK;
    }
    HRESULT OnTriggered(IVXModifySubscription*, std::int32_t, IVXNodeModifyEnum*) override
    {
        if (Rsmd::Metrics* metrics = m_metrics)
        {
            metrics->CountCommit();
        }
        return S_OK;
    }

private:
    std::atomic<std::uint32_t> m_refs{0};
    Rsmd::Metrics*& m_metrics;
};

// Everything the service holds, released in reverse order of acquisition.
class Host
{
public:
    ~Host() { Stop(); }

    Failure Start(const Options& o);
    void Serve();
    void Stop();

private:
    Failure LockDataDirectory(const fs::path& data);
    Failure StartStore(const Options& o, const fs::path& data);
    Failure LoadManager(const Options& o);
    Failure WatchCommits();

    int m_lockFile = -1;
    bool m_serverStarted = false;
    Components::InterfacePtr<IConfigServerProxy> m_proxy;
    Components::InterfacePtr<IConfigServer> m_server;
    Components::InterfacePtr<IConfigStorage> m_storage;
    void* m_module = nullptr;
    IComponentsModule* m_moduleObject = nullptr;
    Components::InterfacePtr<IReportingSettingsManager> m_manager;
    bool m_configured = false;
    Rsmd::Metrics* m_metrics = nullptr;
    CommitCounter m_commitCounter{m_metrics};
    Components::InterfacePtr<IConfigSubscriptionService> m_subscriptions;
    Components::InterfacePtr<IVXModifySubscription> m_commitSubscription;
    std::unique_ptr<Rsmd::Service> m_service;
    std::thread m_serving;
    std::atomic<bool> m_stopping{false};
};

Failure Host::LockDataDirectory(const fs::path& data)
{
    const fs::path lockPath = data / "rsmd.lock";
    m_lockFile = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFile < 0)
    {
        return Fail(FromErrno(errno), "cannot open " + lockPath.string());
    }
    if (flock(m_lockFile, LOCK_EX | LOCK_NB) != 0)
    {
        const int error = errno;
        char pid[32] = {};
        const ssize_t n = pread(m_lockFile, pid, sizeof(pid) - 1, 0);
        std::string holder = n > 0 ? std::string(pid, static_cast<std::size_t>(n)) : std::string("?");
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' '))
        {
            holder.pop_back();
        }
        return Fail(error == EWOULDBLOCK ? HR_SHARING_VIOLATION : FromErrno(error),
                    "data directory " + data.string() + " is locked by another rsmd (pid " + holder + ")");
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(m_lockFile, 0) != 0 || pwrite(m_lockFile, pid.data(), pid.size(), 0) < 0)
    {
        return Fail(FromErrno(errno), "cannot write " + lockPath.string());
    }
    return {};
}

Failure Host::StartStore(const Options& o, const fs::path& data)
{
    const std::string storeLocation = o.store.empty() ? "sqlite:" + (data / "config.db").string() : o.store;
    HRESULT hr = ConfigServerStart(HostCommon::FromUtf8(storeLocation).c_str(), m_proxy.Out());
    if (FAILED(hr))
    {
        return Fail(hr, hr == HR_SHARING_VIOLATION
                            ? "store " + storeLocation + " is locked by another process"
                            : "cannot open store " + storeLocation);
    }
    m_serverStarted = true;
    if (FAILED(hr = m_proxy->GetConfigServer(m_server.Out())) ||
        FAILED(hr = m_server->GetService(&IID_IConfigStorage, m_storage.OutVoid())) ||
        FAILED(hr = m_server->GetService(&IID_IConfigSubscriptionService, m_subscriptions.OutVoid())))
    {
        return Fail(hr, "the configuration server gives no storage service");
    }
    // An empty store (a root without children) receives the seed, once.
    NodeHandle root;
    std::uint64_t children = 0;
    if (FAILED(hr = ReadStoreNode(m_storage.Get(), L"\\", 1, root)) ||
        FAILED(hr = VxnGetChildCount(root.Get(), &children)))
    {
        return Fail(hr, "cannot read store " + storeLocation);
    }
    const std::string seed = o.seedGiven ? o.seed : (ExecutableFolder() / "ReportingDeployment.xml").string();
    if (children == 0 && !seed.empty())
    {
        std::ifstream probe(seed, std::ios::binary);
        if (!probe)
        {
            return Fail(FromErrno(errno), "cannot read seed " + seed);
        }
        SetErrorInfo(0, nullptr);
        if (FAILED(hr = ConfigServerImportFile(m_proxy.Get(), HostCommon::FromUtf8(seed).c_str())))
        {
            return Fail(hr, "cannot import seed " + seed, HostCommon::TakeErrorMessage(hr));
        }
    }
    return {};
}

Failure Host::LoadManager(const Options& o)
{
    const std::string modulePath =
        o.module.empty() ? (ExecutableFolder() / "ReportingSettingsManager.so").string() : o.module;
    m_module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_module == nullptr)
    {
        return Fail(MakeHr(0x8007007E), "cannot load " + modulePath + ": " + dlerror());
    }
    auto getModule =
        reinterpret_cast<PFN_GetComponentsModuleObject>(dlsym(m_module, "GetComponentsModuleObject"));
    if (getModule == nullptr)
    {
        return Fail(MakeHr(0x8007007F), modulePath + " exports no GetComponentsModuleObject");
    }
    void* object = nullptr;
    HRESULT hr = getModule(&object);
    if (FAILED(hr))
    {
        return Fail(hr, "the module object is not available", HostCommon::TakeErrorMessage(hr));
    }
    m_moduleObject = static_cast<IComponentsModule*>(object);
    hr = m_moduleObject->CreateInstance(&CLSID_ReportingSettingsManager, &IID_IReportingSettingsManager,
                                        m_manager.OutVoid());
    if (FAILED(hr))
    {
        return Fail(hr, "cannot create the manager", HostCommon::TakeErrorMessage(hr));
    }
    NodeHandle config;
    if (FAILED(hr =
                   ReadStoreNode(m_storage.Get(), HostCommon::FromUtf8(o.configPath), VXN_DEPTH_ALL, config)))
    {
        return Fail(hr, "no manager configuration at " + o.configPath);
    }
    Components::InterfacePtr<IConfigurableComponent> configurable;
    if (FAILED(hr = m_manager->QueryInterface(&IID_IConfigurableComponent, configurable.OutVoid())))
    {
        return Fail(hr, "the manager cannot be configured");
    }
    hr = configurable->Configure(config.Get());
    if (hr == E_NOTIMPL)
    {
        // A module without the manager's operations still serves the configuration routes.
        SetErrorInfo(0, nullptr);
        std::cerr << "rsmd: warning: " << HostCommon::HResultHex(hr) << " " << HostCommon::MessageText(hr)
                  << ": the manager is not configured; its routes answer 501" << std::endl;
        return {};
    }
    if (FAILED(hr))
    {
        return Fail(hr, "the manager refuses its configuration at " + o.configPath,
                    HostCommon::TakeErrorMessage(hr));
    }
    m_configured = true;
    return {};
}

Failure Host::WatchCommits()
{
    NodeHandle filter;
    NodeHandle request;
    const std::int64_t depth = VXN_DEPTH_ALL;
    const std::int64_t mask = CFG_CHANGE_ALL;
    const std::int64_t options = 0; // one delivery per commit, without the node
    HRESULT hr = VxnCreateNode(L"", L"FilterByPath", filter.Out());
    if (SUCCEEDED(hr))
    {
        hr = HostCommon::SetStringAttribute(filter.Get(), L"NodePath", L"\\");
    }
    if (SUCCEEDED(hr))
    {
        hr = VxnSetAttribute(filter.Get(), L"MaxDepth", VXN_ATTR_INT64, &depth, 8);
    }
    if (SUCCEEDED(hr))
    {
        hr = VxnCreateNode(L"SubscribeConfig", L"", request.Out());
    }
    if (SUCCEEDED(hr))
    {
        hr = VxnSetAttribute(request.Get(), L"ChangesMask", VXN_ATTR_INT64, &mask, 8);
    }
    if (SUCCEEDED(hr))
    {
        hr = VxnSetAttribute(request.Get(), L"SubscribeOptions", VXN_ATTR_INT64, &options, 8);
    }
    if (SUCCEEDED(hr))
    {
        hr = m_subscriptions->Subscribe(filter.Get(), request.Get(), &m_commitCounter,
                                        m_commitSubscription.Out());
    }
    if (SUCCEEDED(hr))
    {
        hr = m_commitSubscription->Start();
    }
    return FAILED(hr) ? Fail(hr, "cannot watch the store's commits") : Failure{};
}

Failure Host::Start(const Options& o)
{
    std::string host;
    int port = 0;
    if (!ParseListen(o.listen, host, port))
    {
        return Fail(E_INVALIDARG, "--listen takes HOST:PORT, not " + o.listen);
    }
    std::string token;
    if (!o.tokenFile.empty())
    {
        std::ifstream file(o.tokenFile);
        if (!file)
        {
            return Fail(FromErrno(errno), "cannot read token file " + o.tokenFile);
        }
        std::getline(file, token);
        while (!token.empty() && (token.back() == '\r' || token.back() == ' ' || token.back() == '\t'))
        {
            token.pop_back();
        }
        if (token.empty())
        {
            return Fail(HR_INVALID_DATA, "token file " + o.tokenFile + " holds no token");
        }
    }
    else if (!IsLoopback(host))
    {
        return Fail(E_ACCESSDENIED,
                    "--listen " + o.listen + " is reachable from other machines: give --token-file");
    }

    std::error_code error;
    fs::create_directories(o.data, error);
    const fs::path data = fs::absolute(o.data, error).lexically_normal();
    if (error || !fs::is_directory(data))
    {
        return Fail(error ? FromErrno(error.value()) : HR_INVALID_DATA,
                    "cannot create data directory " + o.data);
    }
    if (Failure f = LockDataDirectory(data); FAILED(f.hr))
    {
        return f;
    }
    // The module places its logs under its data directory.
    setenv("GS_General_DataDirectoryPath", (data.string() + "/").c_str(), 1);
    if (Failure f = StartStore(o, data); FAILED(f.hr))
    {
        return f;
    }
    if (Failure f = LoadManager(o); FAILED(f.hr))
    {
        return f;
    }

    Rsmd::ServiceSetup setup;
    setup.proxy = m_proxy.Get();
    setup.storage = m_storage.Get();
    setup.manager = m_manager.Get();
    setup.token = token;
    std::string health = "{\"status\":\"ok\",\"manager\":";
    health += m_configured ? "\"configured\"" : "\"unavailable\"";
    setup.healthBody = health + "}";
    m_service = std::make_unique<Rsmd::Service>(setup);
    m_metrics = &m_service->GetMetrics();
    if (Failure f = WatchCommits(); FAILED(f.hr))
    {
        return f;
    }
    const int bound = m_service->Bind(host, port);
    if (bound < 0)
    {
        return Fail(MakeHr(0x80072740), "cannot listen on " + o.listen);
    }
    const std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::cout << "listening on http://" << shownHost << ":" << bound << std::endl;
    return {};
}

void Host::Serve()
{
    m_serving = std::thread(
        [this]
        {
            m_service->Run();
            if (!m_stopping)
            {
                kill(getpid(), SIGTERM); // the server ended on its own: shut down as for a signal
            }
        });
}

void Host::Stop()
{
    m_stopping = true;
    if (m_service)
    {
        m_service->Stop();
    }
    if (m_serving.joinable())
    {
        m_serving.join();
    }
    if (m_commitSubscription)
    {
        m_subscriptions->Unsubscribe(m_commitSubscription.Get());
        m_commitSubscription.Reset();
    }
    m_service.reset();
    m_metrics = nullptr;
    if (m_manager)
    {
        if (m_configured)
        {
            Components::InterfacePtr<IComponentShutdown> shutdown;
            if (SUCCEEDED(m_manager->QueryInterface(&IID_IComponentShutdown, shutdown.OutVoid())))
            {
                shutdown->Shutdown();
            }
            m_configured = false;
        }
        m_manager.Reset();
    }
    m_subscriptions.Reset();
    m_storage.Reset();
    m_server.Reset();
    m_proxy.Reset();
    if (m_serverStarted)
    {
        ConfigServerStop();
        m_serverStarted = false;
    }
    if (m_module != nullptr)
    {
        std::uint32_t inUse = 1;
        // Unloaded only when nothing of it is alive any more.
        if (m_moduleObject == nullptr || (SUCCEEDED(m_moduleObject->IsModuleLocked(&inUse)) && inUse == 0))
        {
            m_moduleObject = nullptr;
            dlclose(m_module);
        }
        m_module = nullptr;
    }
    if (m_lockFile >= 0)
    {
        close(m_lockFile);
        m_lockFile = -1;
    }
}
} // namespace

int main(int argc, char** argv)
{
    Options options;
    Failure failure;
    if (!ParseOptions(argc, argv, options, failure))
    {
        std::cerr << "rsmd: " << HostCommon::HResultHex(failure.hr) << " "
                  << HostCommon::MessageText(failure.hr) << ": " << failure.detail << std::endl;
        return 1;
    }
    if (options.help)
    {
        std::cout << kUsage;
        return 0;
    }
    // Signals are taken by sigwait below; every thread started from here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int status = 0;
    {
        Host host;
        failure = host.Start(options);
        if (FAILED(failure.hr))
        {
            const std::string message =
                failure.message.empty() ? HostCommon::MessageText(failure.hr) : failure.message;
            std::cerr << "rsmd: " << HostCommon::HResultHex(failure.hr) << " " << message << ": "
                      << failure.detail << std::endl;
            status = 1;
        }
        else
        {
            host.Serve();
            int received = 0;
            sigwait(&stopSignals, &received);
        }
    }
    return status;
}
