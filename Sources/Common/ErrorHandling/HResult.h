// Failure values: HRES records an HRESULT with the thread's error information and two return
// addresses; HRX does the same and throws itself when the value is a failure.
#pragma once

#include "Common/Base/Results.h"
#include "Ravlin.h"
#include "RsmTypes.h"

#include <cstdint>

// A Win32 BOOL result (FALSE means: look at the last error).
struct Win32Bool
{
    std::int32_t value;
};

// A Win32 error code as the registry functions return it (0 = success).
struct Win32Error
{
    std::uint32_t value;
};

// The mapping lives with the other small helpers; callers here know it by its plain name.
using Base::HResultFromWin32;

class HRES
{
public:
    HRES() noexcept = default;
    HRES(const HRES& other) noexcept;
    HRES& operator=(const HRES& other) noexcept;
    ~HRES();

    // Records the code; for a failure captures two return addresses and, when asked, takes the
    // calling thread's error information (clearing the thread's slot).
    void Set(HRESULT code, bool takeErrorInfo = true) noexcept;
    void Set(Win32Bool result) noexcept;
    void Set(Win32Error result) noexcept;

    bool Failed() const noexcept { return m_code < 0; }
    HRESULT Code() const noexcept { return m_code; }
    IErrorInfo* ErrorInfo() const noexcept { return m_errorInfo; }
    // The captured addresses of a failure and their count (0, 1 or 2).
    std::uint32_t Addresses(void* const** addresses) const noexcept;
    void ThrowIfFailed() const;

protected:
    // Defined, and inlined, only where the Set operations are: each Set is exactly one frame.
    inline void Record(HRESULT code, bool takeErrorInfo) noexcept;

    HRESULT m_code = S_OK;
    IErrorInfo* m_errorInfo = nullptr;
    void* m_returnAddresses[2] = {nullptr, nullptr};
    std::uint32_t m_framesToSkip = 0;
};

// The module's one exception type. Construction or assignment from a failure throws a copy.
class HRX : public HRES
{
public:
    HRX() noexcept { m_framesToSkip = 1; }
    HRX(const HRX& other) noexcept = default;
    HRX& operator=(const HRX& other) noexcept = default;

    HRX(HRESULT code);
    HRX(Win32Bool result);
    HRX(Win32Error result);
    HRX(const HRES& value);

    HRX& operator=(HRESULT code);
    HRX& operator=(Win32Bool result);
    HRX& operator=(Win32Error result);
    HRX& operator=(const HRES& value);

private:
    void ThrowIfFailedHere() const;
};

// Throws HRX(code); a code that is not a failure becomes E_FAIL.
[[noreturn]] void RaiseHResult(HRESULT code);
