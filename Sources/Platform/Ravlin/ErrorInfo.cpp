// Per-thread error information and counted strings.
#include "Ravlin.h"

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <string>

namespace
{
// The error-info object: one object answers both the create and the read interfaces.
class CErrorInfo final : public IErrorInfo, public ICreateErrorInfo
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
    HRESULT QueryInterface(const GUID* iid, void** ppv) override
    {
        if (iid == nullptr || ppv == nullptr)
        {
            return E_INVALIDARG;
        }
        if (*iid == IID_IComponentBase || *iid == IID_IErrorInfo)
        {
            *ppv = static_cast<IErrorInfo*>(this);
        }
        else if (*iid == IID_ICreateErrorInfo)
        {
            *ppv = static_cast<ICreateErrorInfo*>(this);
        }
        else
        {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    HRESULT GetGUID(GUID* guid) override
    {
        if (guid == nullptr)
        {
            return E_POINTER;
        }
        *guid = m_guid;
        return S_OK;
    }
    HRESULT GetSource(BSTR* source) override { return Copy(m_source, source); }
    HRESULT GetDescription(BSTR* description) override { return Copy(m_description, description); }
    HRESULT GetHelpFile(BSTR* helpFile) override { return Copy(m_helpFile, helpFile); }
    HRESULT GetHelpContext(std::uint32_t* helpContext) override
    {
        if (helpContext == nullptr)
        {
            return E_POINTER;
        }
        *helpContext = m_helpContext;
        return S_OK;
    }

    HRESULT SetGUID(const GUID* guid) override
    {
        if (guid == nullptr)
        {
            return E_POINTER;
        }
        m_guid = *guid;
        return S_OK;
    }
    HRESULT SetSource(const wchar_t* source) override { return Assign(m_source, source); }
    HRESULT SetDescription(const wchar_t* description) override { return Assign(m_description, description); }
    HRESULT SetHelpFile(const wchar_t* helpFile) override { return Assign(m_helpFile, helpFile); }
    HRESULT SetHelpContext(std::uint32_t helpContext) override
    {
        m_helpContext = helpContext;
        return S_OK;
    }

private:
    ~CErrorInfo() = default;

    static HRESULT Copy(const std::wstring& from, BSTR* to)
    {
        if (to == nullptr)
        {
            return E_POINTER;
        }
        *to = SysAllocStringLen(from.data(), static_cast<std::uint32_t>(from.size()));
        return *to == nullptr ? E_OUTOFMEMORY : S_OK;
    }
    static HRESULT Assign(std::wstring& field, const wchar_t* text)
    {
        try
        {
            field = text == nullptr ? std::wstring() : std::wstring(text);
        }
        catch (const std::bad_alloc&)
        {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    std::atomic<std::uint32_t> m_refs{1};
    GUID m_guid{};
    std::wstring m_source;
    std::wstring m_description;
    std::wstring m_helpFile;
    std::uint32_t m_helpContext = 0;
};

// The thread's slot releases what it still holds when the thread ends.
struct ErrorInfoSlot
{
    IErrorInfo* info = nullptr;
    ~ErrorInfoSlot()
    {
        if (info != nullptr)
        {
            info->Release();
        }
    }
};
thread_local ErrorInfoSlot t_slot;
} // namespace

extern "C"
{
    RSM_EXPORT BSTR SysAllocStringLen(const wchar_t* text, std::uint32_t length)
    {
        // Layout as on Windows: a 32-bit byte length in front of the characters, a terminator after.
        if (length > (0x7FFFFFFFu / sizeof(wchar_t)) - 2)
        {
            return nullptr;
        }
        auto* block = static_cast<unsigned char*>(std::malloc(
            sizeof(std::uint32_t) * 2 + (static_cast<std::size_t>(length) + 1) * sizeof(wchar_t)));
        if (block == nullptr)
        {
            return nullptr;
        }
        std::uint32_t bytes = length * static_cast<std::uint32_t>(sizeof(wchar_t));
        std::memcpy(block + sizeof(std::uint32_t), &bytes, sizeof(bytes));
        auto* chars = reinterpret_cast<wchar_t*>(block + sizeof(std::uint32_t) * 2);
        if (text != nullptr && length > 0)
        {
            std::wmemcpy(chars, text, length);
        }
        else if (length > 0)
        {
            std::wmemset(chars, L'\0', length);
        }
        chars[length] = L'\0';
        return chars;
    }

    RSM_EXPORT BSTR SysAllocString(const wchar_t* text)
    {
        if (text == nullptr)
        {
            return nullptr;
        }
        return SysAllocStringLen(text, static_cast<std::uint32_t>(std::wcslen(text)));
    }

    RSM_EXPORT void SysFreeString(BSTR text)
    {
        if (text != nullptr)
        {
            std::free(reinterpret_cast<unsigned char*>(text) - sizeof(std::uint32_t) * 2);
        }
    }

    RSM_EXPORT std::uint32_t SysStringLen(BSTR text)
    {
        if (text == nullptr)
        {
            return 0;
        }
        std::uint32_t bytes = 0;
        std::memcpy(&bytes, reinterpret_cast<unsigned char*>(text) - sizeof(std::uint32_t), sizeof(bytes));
        return bytes / static_cast<std::uint32_t>(sizeof(wchar_t));
    }

    RSM_EXPORT HRESULT CreateErrorInfo(ICreateErrorInfo** created)
    {
        if (created == nullptr)
        {
            return E_POINTER;
        }
        *created = nullptr;
        auto* info = new (std::nothrow) CErrorInfo();
        if (info == nullptr)
        {
            return E_OUTOFMEMORY;
        }
        *created = info;
        return S_OK;
    }

    RSM_EXPORT HRESULT SetErrorInfo(std::uint32_t reserved, IErrorInfo* info)
    {
        if (reserved != 0)
        {
            return E_INVALIDARG;
        }
        if (info != nullptr)
        {
            info->AddRef();
        }
        IErrorInfo* old = t_slot.info;
        t_slot.info = info;
        if (old != nullptr)
        {
            old->Release();
        }
        return S_OK;
    }

    RSM_EXPORT HRESULT GetErrorInfo(std::uint32_t reserved, IErrorInfo** info)
    {
        if (info == nullptr)
        {
            return E_POINTER;
        }
        *info = nullptr;
        if (reserved != 0)
        {
            return E_INVALIDARG;
        }
        *info = t_slot.info;
        t_slot.info = nullptr;
        return *info == nullptr ? S_FALSE : S_OK;
    }
}
