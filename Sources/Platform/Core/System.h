// Kernel services the module expects, written for Linux: last-error value, clocks, stack
// capture, UUID creation, module and process identity.
#pragma once

#include "RsmTypes.h"

#include <cstdint>
#include <string>

namespace Platform
{
// Per-thread Win32-style last-error value.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t error);
// Maps an errno value to the nearest Win32 error code (ERROR_FILE_NOT_FOUND for ENOENT, ...).
std::uint32_t Win32FromErrno(int err);
// Sets the last error from errno and returns it.
std::uint32_t SetLastErrorFromErrno();

// Milliseconds of a monotonic clock, wrapping at 2^32 like GetTickCount.
std::uint32_t GetTickCount();
// Current UTC time in 100-ns units since 1601-01-01 (FILETIME).
std::uint64_t GetSystemTimeAsFileTime();
// Monotonic high-resolution counter and its frequency (counts per second).
std::int64_t QueryPerformanceCounter();
std::int64_t QueryPerformanceFrequency();

// Broken-down local time of a FILETIME value.
struct LocalTime
{
    std::uint32_t year, month, day, hour, minute, second, millisecond;
    std::uint64_t localFileTime; // the local time stamp in 100-ns units
};
LocalTime ToLocalTime(std::uint64_t fileTime);

// Fills up to count return addresses of the caller's stack; returns how many were filled.
// With framesToSkip 0 the first address lies in the function that called this one; each frame
// skipped moves one caller up. Unfilled entries are left untouched.
std::uint32_t CaptureStackBackTrace(std::uint32_t framesToSkip, std::uint32_t count, void** frames);

// UuidCreate: 0 on success, otherwise a Win32 status.
std::uint32_t UuidCreate(GUID* uuid);

std::uint32_t GetCurrentProcessId();
std::uint32_t GetCurrentThreadId();
// Full path of the shared object or executable that contains address (empty if unknown),
// and its load address.
std::wstring GetModulePathOf(const void* address, void** baseAddress = nullptr);
// The folder of that file with backslashes and a trailing "\"; empty if unknown.
std::wstring GetModuleFolderOf(const void* address);
std::wstring GetExecutablePath();
// Command line as one text, arguments separated by blanks.
std::wstring GetCommandLine();

// Process environment, wide.
bool GetEnvironmentVariable(const std::wstring& name, std::wstring& value);
bool SetEnvironmentVariable(const std::wstring& name, const std::wstring* value);
// Expands %NAME% references; unknown names are kept as written.
std::wstring ExpandEnvironmentStrings(const std::wstring& text);

// Maps a backslash path to a file system path (backslashes become '/').
std::string ToFileSystemPath(const std::wstring& path);
// Creates every missing folder of the chain (either separator); failures are ignored, the
// caller finds out when it opens a file there.
void CreateFolderChain(const std::wstring& path);

// Writes the text and a line feed to standard error (the platform debug output).
void OutputDebugString(const std::wstring& text);
} // namespace Platform
