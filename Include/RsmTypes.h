// Basic platform types shared by every library of the project and by hosts.
// HRESULT is a signed 32-bit value; GUID has the Windows memory layout.
#pragma once

#include <cstdint>
#include <cstring>

#define RSM_EXPORT __attribute__((visibility("default")))

using HRESULT = std::int32_t;

struct GUID
{
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID must have the Windows layout");

using IID = GUID;
using CLSID = GUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(const GUID& a, const GUID& b)
{
    return IsEqualGUID(a, b);
}

constexpr bool SUCCEEDED(HRESULT hr)
{
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr)
{
    return hr < 0;
}

// Turns a literal such as 0x80004005 into the signed HRESULT value.
constexpr HRESULT MakeHr(std::uint32_t value)
{
    return static_cast<HRESULT>(value);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHr(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHr(0x80004002);
constexpr HRESULT E_POINTER = MakeHr(0x80004003);
constexpr HRESULT E_ABORT = MakeHr(0x80004004);
constexpr HRESULT E_FAIL = MakeHr(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHr(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = MakeHr(0x80070005);
constexpr HRESULT E_HANDLE = MakeHr(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = MakeHr(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHr(0x80070057);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHr(0x80040154);
constexpr HRESULT HR_INVALID_DATA = MakeHr(0x8007000D);        // ERROR_INVALID_DATA
constexpr HRESULT HR_SHARING_VIOLATION = MakeHr(0x80070020);   // ERROR_SHARING_VIOLATION
constexpr HRESULT HR_INSUFFICIENT_BUFFER = MakeHr(0x8007007A); // ERROR_INSUFFICIENT_BUFFER
constexpr HRESULT HR_MORE_DATA = MakeHr(0x800700EA);           // ERROR_MORE_DATA
constexpr HRESULT HR_NO_MORE_ITEMS = MakeHr(0x80070103);       // ERROR_NO_MORE_ITEMS
constexpr HRESULT HR_ARITHMETIC_OVERFLOW = MakeHr(0x80070216); // ERROR_ARITHMETIC_OVERFLOW
constexpr HRESULT HR_NOT_FOUND = MakeHr(0x80070490);           // ERROR_NOT_FOUND
constexpr HRESULT HR_PATH_ABOVE_ROOT = MakeHr(0x80040201);     // node path composition above the root
constexpr HRESULT HR_RSM_ERROR_1 = MakeHr(0x80047F01);
constexpr HRESULT HR_RSM_ERROR_2 = MakeHr(0x80047F02);

// Win32 error codes the platform layer reports.
constexpr std::uint32_t ERROR_SUCCESS_CODE = 0;
constexpr std::uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND_CODE = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED_CODE = 5;
constexpr std::uint32_t ERROR_INVALID_HANDLE_CODE = 6;
constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY_CODE = 8;
constexpr std::uint32_t ERROR_INVALID_DATA_CODE = 13;
constexpr std::uint32_t ERROR_SHARING_VIOLATION_CODE = 32;
constexpr std::uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER_CODE = 122;
constexpr std::uint32_t ERROR_MORE_DATA_CODE = 234;
constexpr std::uint32_t ERROR_NO_MORE_ITEMS_CODE = 259;
constexpr std::uint32_t ERROR_ARITHMETIC_OVERFLOW_CODE = 534;
constexpr std::uint32_t ERROR_NO_TOKEN_CODE = 1008;
constexpr std::uint32_t ERROR_NOT_FOUND_CODE = 1168;
constexpr std::uint32_t RPC_S_UUID_NO_ADDRESS_CODE = 1739;
constexpr std::uint32_t RPC_S_UUID_LOCAL_ONLY_CODE = 1824;

// Brace-free literal: RSM_GUID(0x51C3FBA2, 0x85FE, 0x436B, 0xA0, 0xFF, 0x1C, 0x61, 0xA5, 0xC0, 0xC5, 0x85)
#define RSM_GUID(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                                  \
    GUID                                                                                                     \
    {                                                                                                        \
        l, w1, w2,                                                                                           \
        {                                                                                                    \
            b1, b2, b3, b4, b5, b6, b7, b8                                                                   \
        }                                                                                                    \
    }
