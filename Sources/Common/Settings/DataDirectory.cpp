#include "Common/Settings/DataDirectory.h"

#include "Common/ErrorHandling/HResult.h"
#include "Common/Settings/GlobalSettings.h"
#include "Common/Settings/Registry.h"
#include "Platform/Core/System.h"

#include <algorithm>
#include <atomic>
#include <memory>

namespace Settings
{
namespace
{
const int kModuleAnchor = 0;
constexpr std::size_t kMaxCombinedPath = 32767;
constexpr std::uint32_t kErrorFilenameExcedRange = 206;

bool EndsWithSeparator(const std::wstring& path)
{
    return !path.empty() && (path.back() == L'\\' || path.back() == L'/');
}

// Joins one component onto a folder the way PathCombineW does for the relative tails we pass:
// "." is dropped and ".." removes the last component of the folder.
void CombineComponent(std::wstring& path, const std::wstring& component)
{
    if (component == L".")
    {
        return;
    }
    if (component == L"..")
    {
        std::wstring trimmed = path;
        while (EndsWithSeparator(trimmed))
        {
            trimmed.pop_back();
        }
        std::size_t sep = trimmed.find_last_of(L"\\/");
        if (sep != std::wstring::npos)
        {
            path = trimmed.substr(0, sep + 1);
        }
        return;
    }
    if (!path.empty() && !EndsWithSeparator(path))
    {
        path.push_back(L'\\');
    }
    path += component;
    if (path.size() > kMaxCombinedPath)
    {
        Platform::SetLastError(kErrorFilenameExcedRange);
        RaiseHResult(HResultFromWin32(Platform::GetLastError()));
    }
}

Base::Mutex g_instanceLock;
std::atomic<DataDirectory*> g_instance{nullptr};

struct InstanceHolder
{
    std::unique_ptr<DataDirectory> instance;
    ~InstanceHolder() { g_instance.store(nullptr); }
};

InstanceHolder& Holder() RSM_REQUIRES(g_instanceLock)
{
    static InstanceHolder holder;
    return holder;
}
} // namespace

bool ComponentListLess::operator()(const std::vector<std::wstring>& a,
                                   const std::vector<std::wstring>& b) const
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), Base::NoCaseLess());
}

std::vector<std::wstring> SplitPathComponents(const std::wstring& path)
{
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    while (start <= path.size())
    {
        std::size_t sep = path.find_first_of(L"\\/", start);
        std::size_t end = sep == std::wstring::npos ? path.size() : sep;
        if (end > start)
        {
            parts.push_back(path.substr(start, end - start));
        }
        if (sep == std::wstring::npos)
        {
            break;
        }
        start = sep + 1;
    }
    return parts;
}

bool IsAbsolutePath(const std::wstring& path)
{
    return !path.empty() && (path[0] == L'\\' || path[0] == L'/' || (path.size() > 1 && path[1] == L':'));
}

DataDirectory::DataDirectory()
{
    std::wstring path;
    GetGlobalSetting(nullptr, L"DataDirectoryPath", path);
    path = Platform::ExpandEnvironmentStrings(path);
    if (path.empty() || !IsAbsolutePath(path))
    {
        path = Platform::GetModuleFolderOf(&kModuleAnchor) + path;
    }

    std::wstring overrideKey;
    GetGlobalSetting(nullptr, L"DataDirectoryPathOverrideRegKey", overrideKey);
    if (!overrideKey.empty())
    {
        for (const auto& [name, data] : ReadRegistryStringValues(overrideKey))
        {
            std::wstring folder = Platform::ExpandEnvironmentStrings(data);
            if (!EndsWithSeparator(folder))
            {
                folder.push_back(L'\\');
            }
            m_overrides.emplace(SplitPathComponents(Platform::ExpandEnvironmentStrings(name)), folder);
        }
    }

    m_base = path;
    if (!EndsWithSeparator(m_base))
    {
        m_base.push_back(L'\\');
    }
    auto defaultEntry = m_overrides.find({});
    if (defaultEntry != m_overrides.end())
    {
        m_base = ResolvePath(defaultEntry->second);
        if (!EndsWithSeparator(m_base))
        {
            m_base.push_back(L'\\');
        }
    }
}

DataDirectory& DataDirectory::Instance()
{
    DataDirectory* p = g_instance.load(std::memory_order_acquire);
    if (p != nullptr)
    {
        return *p;
    }
    Base::LockGuard<Base::Mutex> lock(g_instanceLock);
    InstanceHolder& holder = Holder();
    if (!holder.instance)
    {
        holder.instance = std::make_unique<DataDirectory>();
        g_instance.store(holder.instance.get(), std::memory_order_release);
    }
    return *holder.instance;
}

void DataDirectory::ResetInstance()
{
    Base::LockGuard<Base::Mutex> lock(g_instanceLock);
    g_instance.store(nullptr);
    Holder().instance.reset();
}

std::wstring DataDirectory::ResolvePath(const std::wstring& path) const
{
    std::wstring result = Platform::ExpandEnvironmentStrings(path);
    if (IsAbsolutePath(result))
    {
        return result;
    }
    if (ApplyOverride(result) && IsAbsolutePath(result))
    {
        return result;
    }
    return m_base + result;
}

bool DataDirectory::ApplyOverride(std::wstring& path) const
{
    if (m_overrides.empty())
    {
        return false;
    }
    std::vector<std::wstring> components = SplitPathComponents(path);
    std::vector<std::wstring> tail;
    while (!components.empty())
    {
        auto it = m_overrides.find(components);
        if (it != m_overrides.end())
        {
            std::wstring combined = it->second;
            for (const std::wstring& c : tail)
            {
                CombineComponent(combined, c);
            }
            path = combined;
            return true;
        }
        tail.insert(tail.begin(), components.back());
        components.pop_back();
    }
    return false;
}
} // namespace Settings
