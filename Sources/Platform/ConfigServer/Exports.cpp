// The host-side C functions of libConfigServer.so.
#include "Common/Base/Locks.h"
#include "Common/Base/Results.h"
#include "ConfigServer.h"
#include "InterfacePtr.h"
#include "Platform/ConfigServer/Objects.h"
#include "Platform/ConfigServer/VxConvert.h"
#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"
#include "Ravlin.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

namespace
{

using namespace ConfigServer;

constexpr const wchar_t* kProxyName = L"ConfigServer.Proxy";
constexpr unsigned kDeliveryThreads = 2;

// The server behind a proxy of ours: E_POINTER for a null proxy or missing arguments,
// E_INVALIDARG for a proxy that is not one of this library's.
HRESULT ResolveCore(IConfigServerProxy* proxy, bool argumentsPresent, ServerCore*& core)
{
    core = nullptr;
    if (proxy == nullptr || !argumentsPresent)
    {
        return E_POINTER;
    }
    core = CoreOf(proxy);
    return core == nullptr ? E_INVALIDARG : S_OK;
}

HRESULT FromErrno(int error)
{
    return Base::HResultFromWin32(Platform::Win32FromErrno(error));
}

Base::Mutex g_startedMutex;
Components::InterfacePtr<IConfigServerProxy> g_started RSM_GUARDED_BY(g_startedMutex);

HRESULT WriteToFile(const void* data, std::uint64_t size, void* context)
{
    auto* file = static_cast<std::FILE*>(context);
    return std::fwrite(data, 1, static_cast<std::size_t>(size), file) == size ? S_OK : FromErrno(errno);
}

HRESULT AppendToString(const void* data, std::uint64_t size, void* context)
{
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<std::size_t>(size));
    return S_OK;
}

} // namespace

extern "C"
{

    RSM_EXPORT HRESULT ConfigServerCreate(const wchar_t* storeLocation, IConfigServerProxy** proxy)
    {
        if (proxy == nullptr)
        {
            return E_POINTER;
        }
        *proxy = nullptr;
        return Base::CallGuarded(
            [&]
            {
                std::unique_ptr<IStore> store;
                HRESULT hr = OpenStore(storeLocation, store);
                if (FAILED(hr))
                {
                    return hr;
                }
                auto faults = std::make_shared<FaultInjector>();
                std::shared_ptr<ServerCore> core;
                hr = ServerCore::Create(WithFaults(std::move(store), faults), faults, kDeliveryThreads, core);
                if (FAILED(hr))
                {
                    return hr;
                }
                *proxy = new Proxy(std::move(core));
                return S_OK;
            });
    }

    RSM_EXPORT HRESULT ConfigServerShutdown(IConfigServerProxy* proxy)
    {
        ServerCore* core = nullptr;
        if (HRESULT hr = ResolveCore(proxy, true, core); FAILED(hr))
        {
            return hr;
        }
        core->Shutdown();
        return S_OK;
    }

    RSM_EXPORT HRESULT ConfigServerStart(const wchar_t* storeLocation, IConfigServerProxy** proxy)
    {
        if (proxy)
        {
            *proxy = nullptr;
        }
        Base::LockGuard<Base::Mutex> lock(g_startedMutex);
        if (g_started)
        {
            return CFG_E_CLOSED;
        }
        Components::InterfacePtr<IConfigServerProxy> created;
        HRESULT hr = ConfigServerCreate(storeLocation, created.Out());
        if (FAILED(hr))
        {
            return hr;
        }
        hr = RLRegisterNamedInstance(kProxyName, created.Get());
        if (FAILED(hr))
        {
            ConfigServerShutdown(created.Get());
            return hr;
        }
        g_started = created;
        if (proxy)
        {
            *proxy = created.Detach();
        }
        return S_OK;
    }

    RSM_EXPORT HRESULT ConfigServerStop()
    {
        Components::InterfacePtr<IConfigServerProxy> started;
        {
            Base::LockGuard<Base::Mutex> lock(g_startedMutex);
            started.Swap(g_started);
            if (started)
            {
                RLRegisterNamedInstance(kProxyName, nullptr);
            }
        }
        if (!started)
        {
            return S_FALSE;
        }
        ConfigServerShutdown(started.Get());
        return S_OK;
    }

    RSM_EXPORT HRESULT ConfigServerImportText(IConfigServerProxy* proxy, const void* text, std::uint64_t size)
    {
        ServerCore* core = nullptr;
        if (HRESULT hr = ResolveCore(proxy, text != nullptr || size == 0, core); FAILED(hr))
        {
            return hr;
        }
        return Base::CallGuarded(
            [&]
            {
                IVXNode* parsed = nullptr;
                HRESULT hr = VxnParseNodes(text, size, &parsed, nullptr, nullptr);
                if (FAILED(hr))
                {
                    return hr;
                }
                std::unique_ptr<IVXNode, HRESULT (*)(IVXNode*)> guard(parsed, VxnCloseNodeHandle);
                PutOperation put;
                hr = ReadNodeName(parsed, VXN_NAME_FULL_PATH, put.path);
                if (FAILED(hr))
                {
                    return hr;
                }
                std::vector<std::wstring_view> components;
                if (!SplitPathViews(put.path, components))
                {
                    return HR_INVALID_DATA;
                }
                hr = ReadInputTree(parsed, put.node);
                if (FAILED(hr))
                {
                    return hr;
                }
                return core->Commit({std::move(put)});
            });
    }

    RSM_EXPORT HRESULT ConfigServerImportFile(IConfigServerProxy* proxy, const wchar_t* filePath)
    {
        if (proxy == nullptr || filePath == nullptr)
        {
            return E_POINTER;
        }
        return Base::CallGuarded(
            [&]
            {
                std::FILE* file = std::fopen(Platform::ToFileSystemPath(filePath).c_str(), "rb");
                if (file == nullptr)
                {
                    return FromErrno(errno);
                }
                std::string text;
                char buffer[65536];
                std::size_t read;
                while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
                {
                    text.append(buffer, read);
                }
                bool failed = std::ferror(file) != 0;
                std::fclose(file);
                if (failed)
                {
                    return MakeHr(0x8007001E); // read fault
                }
                return ConfigServerImportText(proxy, text.data(), text.size());
            });
    }

    RSM_EXPORT HRESULT ConfigServerExportText(IConfigServerProxy* proxy, VxnSerializationWriter writer,
                                              void* writerContext)
    {
        ServerCore* core = nullptr;
        if (HRESULT hr = ResolveCore(proxy, writer != nullptr, core); FAILED(hr))
        {
            return hr;
        }
        if (core->Stopped())
        {
            return CFG_E_SERVER_STOPPED;
        }
        return Base::CallGuarded(
            [&]
            {
                IVXNode* root = nullptr;
                HRESULT hr = MakeDataNode(*core->Root(), std::wstring(), VXN_DEPTH_ALL, &root);
                if (FAILED(hr))
                {
                    return hr;
                }
                std::unique_ptr<IVXNode, HRESULT (*)(IVXNode*)> guard(root, VxnCloseNodeHandle);
                IVXSerializationContext* context = nullptr;
                hr = VxnStartSerialization(VXN_SERIALIZATION_XML, 0, writer, writerContext, &context);
                if (FAILED(hr))
                {
                    return hr;
                }
                hr = VxnSerializeNodes(context, &root, 1, VXN_DEPTH_ALL);
                if (SUCCEEDED(hr))
                {
                    hr = VxnFinalizeSerialization(context);
                }
                VxnCloseSerializationContext(context);
                return hr;
            });
    }

    RSM_EXPORT HRESULT ConfigServerExportFile(IConfigServerProxy* proxy, const wchar_t* filePath)
    {
        if (proxy == nullptr || filePath == nullptr)
        {
            return E_POINTER;
        }
        return Base::CallGuarded(
            [&]
            {
                // Written whole into memory first, so that a failing export leaves no half file behind.
                std::string text;
                HRESULT hr = ConfigServerExportText(proxy, AppendToString, &text);
                if (FAILED(hr))
                {
                    return hr;
                }
                std::FILE* file = std::fopen(Platform::ToFileSystemPath(filePath).c_str(), "wb");
                if (file == nullptr)
                {
                    return FromErrno(errno);
                }
                hr = WriteToFile(text.data(), text.size(), file);
                if (std::fclose(file) != 0 && SUCCEEDED(hr))
                {
                    hr = FromErrno(errno);
                }
                return hr;
            });
    }

    RSM_EXPORT HRESULT ConfigServerInjectFault(IConfigServerProxy* proxy, const wchar_t* operation,
                                               std::uint32_t nth, HRESULT result)
    {
        ServerCore* core = nullptr;
        if (HRESULT hr = ResolveCore(proxy, operation != nullptr, core); FAILED(hr))
        {
            return hr;
        }
        if (nth == 0 || SUCCEEDED(result) || !FaultInjector::IsKnownOperation(operation))
        {
            return E_INVALIDARG;
        }
        return Base::CallGuarded(
            [&]
            {
                core->Faults()->Arm(operation, nth, result);
                return S_OK;
            });
    }

    RSM_EXPORT HRESULT ConfigServerClearFaults(IConfigServerProxy* proxy)
    {
        ServerCore* core = nullptr;
        if (HRESULT hr = ResolveCore(proxy, true, core); FAILED(hr))
        {
            return hr;
        }
        core->Faults()->Clear();
        return S_OK;
    }

} // extern "C"
