// The one way failures leave the module: every interface operation, callback entry and worker
// entry runs its body through InvokeAtBoundary (or InvokeWorker). An HRX becomes its HRESULT with
// one ERR line "<name> failed: <error text>" and error information for the calling thread.
// No other exception crosses either: std::bad_alloc becomes E_OUTOFMEMORY, anything else
// E_UNEXPECTED, reported the same way.
#pragma once

#include "Common/ErrorHandling/ErrorDescription.h"

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace ErrorHandling
{
// Logs "<name> failed: <text form>" at ERR with the given source position.
void LogFailure(const wchar_t* name, const HRES& error, const char* sourceFile,
                std::uint32_t sourceLine) noexcept;
// LogFailure, then PublishErrorInfo; the code comes back even when publishing fails.
HRESULT ReportFailure(const wchar_t* name, const HRES& error, const char* sourceFile,
                      std::uint32_t sourceLine) noexcept;
// The code a foreign exception becomes; call only inside a catch block.
HRESULT CurrentForeignExceptionCode() noexcept;
HRESULT ReportForeignException(const wchar_t* name, bool publish, const char* sourceFile,
                               std::uint32_t sourceLine) noexcept;

// Runs body (returning void for S_OK, or an HRESULT) and turns what it throws into the result.
// With publish the failure is also handed to the caller as error information; a worker that has
// no caller only logs it.
template <typename Body>
HRESULT InvokeGuarded(const wchar_t* name, bool publish, const char* sourceFile, std::uint32_t sourceLine,
                      Body&& body) noexcept
{
    try
    {
        if constexpr (std::is_void_v<decltype(body())>)
        {
            body();
            return S_OK;
        }
        else
        {
            return static_cast<HRESULT>(body());
        }
    }
    catch (const HRX& e)
    {
        if (publish)
        {
            return ReportFailure(name, e, sourceFile, sourceLine);
        }
        LogFailure(name, e, sourceFile, sourceLine);
        return e.Code();
    }
    catch (...)
    {
        return ReportForeignException(name, publish, sourceFile, sourceLine);
    }
}

template <typename Body>
HRESULT InvokeAtBoundary(const wchar_t* name, const char* sourceFile, std::uint32_t sourceLine,
                         Body&& body) noexcept
{
    return InvokeGuarded(name, true, sourceFile, sourceLine, std::forward<Body>(body));
}

template <typename Body>
HRESULT InvokeWorker(const wchar_t* name, const char* sourceFile, std::uint32_t sourceLine,
                     Body&& body) noexcept
{
    return InvokeGuarded(name, false, sourceFile, sourceLine, std::forward<Body>(body));
}
} // namespace ErrorHandling

// RSM_BOUNDARY(L"NS::CClass::Method", 332, [&] { ... }) inside an interface operation.
#define RSM_BOUNDARY(name, line, body) ::ErrorHandling::InvokeAtBoundary(name, __FILE__, line, body)
#define RSM_WORKER(name, line, body) ::ErrorHandling::InvokeWorker(name, __FILE__, line, body)
