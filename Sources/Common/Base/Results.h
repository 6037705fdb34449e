// Result helpers every library needs: the Win32-to-HRESULT mapping and a call that turns an
// allocation failure into E_OUTOFMEMORY.
#pragma once

#include "RsmTypes.h"

#include <cstdint>
#include <new>

namespace Base
{
// x itself when x, read as a signed 32-bit number, is 0 or negative (already an HRESULT);
// otherwise the Win32-facility HRESULT of its low 16 bits.
constexpr HRESULT HResultFromWin32(std::uint32_t x) noexcept
{
    return static_cast<std::int32_t>(x) <= 0 ? static_cast<HRESULT>(x)
                                             : static_cast<HRESULT>((x & 0xFFFFu) | 0x80070000u);
}

// Runs work (returning an HRESULT); std::bad_alloc becomes E_OUTOFMEMORY, anything else passes.
template <typename Work> HRESULT CallGuarded(Work&& work)
{
    try
    {
        return work();
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}
} // namespace Base
