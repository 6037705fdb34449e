#include "Common/ErrorHandling/HResult.h"
#include "Platform/Core/System.h"

HRES::HRES(const HRES& other) noexcept
    : m_code(other.m_code), m_errorInfo(other.m_errorInfo), m_framesToSkip(other.m_framesToSkip)
{
    m_returnAddresses[0] = other.m_returnAddresses[0];
    m_returnAddresses[1] = other.m_returnAddresses[1];
    if (m_errorInfo != nullptr)
    {
        m_errorInfo->AddRef();
    }
}

HRES& HRES::operator=(const HRES& other) noexcept
{
    if (this != &other)
    {
        if (other.m_errorInfo != nullptr)
        {
            other.m_errorInfo->AddRef();
        }
        if (m_errorInfo != nullptr)
        {
            m_errorInfo->Release();
        }
        m_code = other.m_code;
        m_errorInfo = other.m_errorInfo;
        m_returnAddresses[0] = other.m_returnAddresses[0];
        m_returnAddresses[1] = other.m_returnAddresses[1];
        m_framesToSkip = other.m_framesToSkip;
    }
    return *this;
}

HRES::~HRES()
{
    if (m_errorInfo != nullptr)
    {
        m_errorInfo->Release();
    }
}

// Part of every Set, so that the stack seen by the capture starts with Set, then the frames of
// the error machinery above it (m_framesToSkip: an HRX constructor or assignment), then the
// function that recorded the failure and its caller.
__attribute__((always_inline)) inline void HRES::Record(HRESULT code, bool takeErrorInfo) noexcept
{
    m_code = code;
    if (m_errorInfo != nullptr)
    {
        m_errorInfo->Release();
        m_errorInfo = nullptr;
    }
    if (code < 0)
    {
        void* frames[2] = {nullptr, nullptr};
        Platform::CaptureStackBackTrace(m_framesToSkip + 1, 2, frames);
        m_returnAddresses[0] = frames[0];
        m_returnAddresses[1] = frames[1];
        if (takeErrorInfo)
        {
            ::GetErrorInfo(0, &m_errorInfo);
        }
    }
}

__attribute__((noinline)) void HRES::Set(HRESULT code, bool takeErrorInfo) noexcept
{
    Record(code, takeErrorInfo);
}

__attribute__((noinline)) void HRES::Set(Win32Bool result) noexcept
{
    Record(result.value ? S_OK : HResultFromWin32(Platform::GetLastError()), false);
}

__attribute__((noinline)) void HRES::Set(Win32Error result) noexcept
{
    Record(HResultFromWin32(result.value), false);
}

std::uint32_t HRES::Addresses(void* const** addresses) const noexcept
{
    if (addresses != nullptr)
    {
        *addresses = Failed() ? m_returnAddresses : nullptr;
    }
    if (!Failed())
    {
        return 0;
    }
    return m_returnAddresses[1] != nullptr ? 2 : (m_returnAddresses[0] != nullptr ? 1 : 0);
}

void HRES::ThrowIfFailed() const
{
    if (Failed())
    {
        HRX copy;
        static_cast<HRES&>(copy) = *this;
        throw copy;
    }
}

void HRX::ThrowIfFailedHere() const
{
    if (Failed())
    {
        throw HRX(*this);
    }
}

__attribute__((noinline)) HRX::HRX(HRESULT code)
{
    m_framesToSkip = 1;
    Set(code);
    ThrowIfFailedHere();
}

__attribute__((noinline)) HRX::HRX(Win32Bool result)
{
    m_framesToSkip = 1;
    Set(result);
    ThrowIfFailedHere();
}

__attribute__((noinline)) HRX::HRX(Win32Error result)
{
    m_framesToSkip = 1;
    Set(result);
    ThrowIfFailedHere();
}

__attribute__((noinline)) HRX::HRX(const HRES& value) : HRES(value)
{
    ThrowIfFailedHere();
}

__attribute__((noinline)) HRX& HRX::operator=(HRESULT code)
{
    m_framesToSkip = 1;
    Set(code);
    ThrowIfFailedHere();
    return *this;
}

__attribute__((noinline)) HRX& HRX::operator=(Win32Bool result)
{
    m_framesToSkip = 1;
    Set(result);
    ThrowIfFailedHere();
    return *this;
}

__attribute__((noinline)) HRX& HRX::operator=(Win32Error result)
{
    m_framesToSkip = 1;
    Set(result);
    ThrowIfFailedHere();
    return *this;
}

__attribute__((noinline)) HRX& HRX::operator=(const HRES& value)
{
    HRES::operator=(value);
    ThrowIfFailedHere();
    return *this;
}

void RaiseHResult(HRESULT code)
{
    HRX hr;
    hr = code < 0 ? code : E_FAIL;
    throw hr; // not reached: the assignment throws
}
