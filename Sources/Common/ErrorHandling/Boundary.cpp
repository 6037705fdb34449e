#include "Common/ErrorHandling/Boundary.h"
#include "Common/Logging/Log.h"

namespace ErrorHandling
{
void LogFailure(const wchar_t* name, const HRES& error, const char* sourceFile,
                std::uint32_t sourceLine) noexcept
{
    try
    {
        RSM_LOG_FL(Logging::Err, sourceFile, sourceLine, name << L" failed: " << error);
    }
    catch (...)
    {
        // Logging must not turn a reported failure into a different one.
    }
}

HRESULT ReportFailure(const wchar_t* name, const HRES& error, const char* sourceFile,
                      std::uint32_t sourceLine) noexcept
{
    LogFailure(name, error, sourceFile, sourceLine);
    try
    {
        return PublishErrorInfo(error);
    }
    catch (...)
    {
        ::SetErrorInfo(0, nullptr);
        return error.Code();
    }
}

HRESULT CurrentForeignExceptionCode() noexcept
{
    try
    {
        throw;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_UNEXPECTED;
    }
}

HRESULT ReportForeignException(const wchar_t* name, bool publish, const char* sourceFile,
                               std::uint32_t sourceLine) noexcept
{
    HRES error;
    error.Set(CurrentForeignExceptionCode(), false);
    return publish ? ReportFailure(name, error, sourceFile, sourceLine)
                   : (LogFailure(name, error, sourceFile, sourceLine), error.Code());
}
} // namespace ErrorHandling
