#include "Common/Helpers/AsyncAction.h"
#include "Platform/Core/System.h"

namespace Helpers::AsyncActionDetail
{
void RaiseThreadStartFailure(const std::system_error& error)
{
    std::uint32_t win32 = error.code().category() == std::generic_category() ||
                                  error.code().category() == std::system_category()
                              ? Platform::Win32FromErrno(error.code().value())
                              : 0;
    RaiseHResult(win32 != 0 ? HResultFromWin32(win32) : E_FAIL);
}
} // namespace Helpers::AsyncActionDetail
