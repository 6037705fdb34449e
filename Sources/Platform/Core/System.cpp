#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"
#include "Common/Base/Locks.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <execinfo.h>
#include <fstream>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace Platform
{
namespace
{
thread_local std::uint32_t t_lastError = 0;
// The C library's environment functions are not safe against each other.
Base::Mutex g_environmentLock;
} // namespace

std::uint32_t GetLastError()
{
    return t_lastError;
}

void SetLastError(std::uint32_t error)
{
    t_lastError = error;
}

std::uint32_t Win32FromErrno(int err)
{
    switch (err)
    {
    case 0:
        return ERROR_SUCCESS_CODE;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND_CODE;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND_CODE;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED_CODE;
    case EBADF:
        return ERROR_INVALID_HANDLE_CODE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY_CODE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER_CODE;
    case EBUSY:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION_CODE;
    case ENOSPC:
        return 112; // ERROR_DISK_FULL
    case EEXIST:
        return 183; // ERROR_ALREADY_EXISTS
    case ENAMETOOLONG:
        return 206; // ERROR_FILENAME_EXCED_RANGE
    case EMFILE:
    case ENFILE:
        return 4; // ERROR_TOO_MANY_OPEN_FILES
    case EIO:
        return 1117; // ERROR_IO_DEVICE
    default:
        return 1359; // ERROR_INTERNAL_ERROR
    }
}

std::uint32_t SetLastErrorFromErrno()
{
    std::uint32_t e = Win32FromErrno(errno);
    SetLastError(e);
    return e;
}

std::uint32_t GetTickCount()
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return static_cast<std::uint32_t>(ms);
}

std::uint64_t GetSystemTimeAsFileTime()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    constexpr std::uint64_t epochDelta = 116444736000000000ULL; // 1601 -> 1970 in 100 ns
    return epochDelta + static_cast<std::uint64_t>(ts.tv_sec) * 10000000ULL +
           static_cast<std::uint64_t>(ts.tv_nsec) / 100;
}

std::int64_t QueryPerformanceCounter()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::int64_t QueryPerformanceFrequency()
{
    return 1000000000LL;
}

LocalTime ToLocalTime(std::uint64_t fileTime)
{
    constexpr std::uint64_t epochDelta = 116444736000000000ULL;
    std::uint64_t unix100ns = fileTime >= epochDelta ? fileTime - epochDelta : 0;
    time_t secs = static_cast<time_t>(unix100ns / 10000000ULL);
    tm local{};
    localtime_r(&secs, &local);
    LocalTime r{};
    r.year = static_cast<std::uint32_t>(local.tm_year + 1900);
    r.month = static_cast<std::uint32_t>(local.tm_mon + 1);
    r.day = static_cast<std::uint32_t>(local.tm_mday);
    r.hour = static_cast<std::uint32_t>(local.tm_hour);
    r.minute = static_cast<std::uint32_t>(local.tm_min);
    r.second = static_cast<std::uint32_t>(local.tm_sec);
    std::uint64_t fraction = unix100ns % 10000000ULL;
    r.millisecond = static_cast<std::uint32_t>(fraction / 10000);
    r.localFileTime = fileTime + static_cast<std::int64_t>(local.tm_gmtoff) * 10000000LL;
    return r;
}

__attribute__((noinline)) std::uint32_t CaptureStackBackTrace(std::uint32_t framesToSkip, std::uint32_t count,
                                                              void** frames)
{
    if (frames == nullptr || count == 0)
    {
        return 0;
    }
    constexpr int maxFrames = 64;
    void* buffer[maxFrames];
    int got = ::backtrace(buffer, maxFrames);
    // The caller's frame is the one that returns where this call returns. Looking for it rather
    // than assuming it at index 1 keeps the count right when backtrace is intercepted (the
    // sanitizers wrap it in a frame of their own).
    void* const returnAddress = __builtin_return_address(0);
    std::uint32_t caller = 1;
    for (int i = 0; i < got; ++i)
    {
        if (buffer[i] == returnAddress)
        {
            caller = static_cast<std::uint32_t>(i);
            break;
        }
    }
    std::uint32_t first = caller + framesToSkip;
    std::uint32_t filled = 0;
    for (std::uint32_t i = first; i < static_cast<std::uint32_t>(got) && filled < count; ++i)
    {
        frames[filled++] = buffer[i];
    }
    return filled;
}

std::uint32_t UuidCreate(GUID* uuid)
{
    if (uuid == nullptr)
    {
        return ERROR_INVALID_PARAMETER_CODE;
    }
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof(bytes))
    {
        ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
        if (n < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return Win32FromErrno(errno);
        }
        got += static_cast<std::size_t>(n);
    }
    bytes[7] = static_cast<unsigned char>((bytes[7] & 0x0F) | 0x40); // version 4 (Data3 high nibble)
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // variant 10
    std::memcpy(uuid, bytes, sizeof(bytes));
    return 0;
}

std::uint32_t GetCurrentProcessId()
{
    return static_cast<std::uint32_t>(::getpid());
}

std::uint32_t GetCurrentThreadId()
{
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

std::wstring GetModulePathOf(const void* address, void** baseAddress)
{
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr)
    {
        return {};
    }
    if (baseAddress != nullptr)
    {
        *baseAddress = info.dli_fbase;
    }
    std::string name = info.dli_fname;
    if (!name.empty() && name[0] != '/')
    {
        // The main program reports a relative or empty name.
        return GetExecutablePath();
    }
    char resolved[4096];
    if (::realpath(name.c_str(), resolved) != nullptr)
    {
        name = resolved;
    }
    return FromUtf8(name);
}

std::wstring GetModuleFolderOf(const void* address)
{
    std::wstring path = GetModulePathOf(address);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path.substr(0, path.rfind(L'\\') + 1);
}

std::wstring GetExecutablePath()
{
    std::vector<char> buffer(260);
    for (;;)
    {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
        {
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size())
        {
            return FromUtf8(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring GetCommandLine()
{
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!raw.empty() && raw.back() == '\0')
    {
        raw.pop_back();
    }
    for (char& c : raw)
    {
        if (c == '\0')
        {
            c = ' ';
        }
    }
    return FromUtf8(raw);
}

bool GetEnvironmentVariable(const std::wstring& name, std::wstring& value)
{
    Base::LockGuard<Base::Mutex> lock(g_environmentLock);
    const char* v = std::getenv(ToUtf8(name).c_str());
    if (v == nullptr)
    {
        value.clear();
        return false;
    }
    value = FromUtf8(v);
    return true;
}

bool SetEnvironmentVariable(const std::wstring& name, const std::wstring* value)
{
    Base::LockGuard<Base::Mutex> lock(g_environmentLock);
    std::string n = ToUtf8(name);
    if (value == nullptr)
    {
        return ::unsetenv(n.c_str()) == 0;
    }
    return ::setenv(n.c_str(), ToUtf8(*value).c_str(), 1) == 0;
}

std::wstring ExpandEnvironmentStrings(const std::wstring& text)
{
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size())
    {
        if (text[i] == L'%')
        {
            std::size_t close = text.find(L'%', i + 1);
            if (close != std::wstring::npos && close > i + 1)
            {
                std::wstring value;
                if (GetEnvironmentVariable(text.substr(i + 1, close - i - 1), value))
                {
                    out += value;
                    i = close + 1;
                    continue;
                }
                // Unknown name: keep the text and go on after it.
                out.append(text, i, close - i);
                i = close;
                continue;
            }
        }
        out.push_back(text[i]);
        ++i;
    }
    return out;
}

std::string ToFileSystemPath(const std::wstring& path)
{
    std::string p = ToUtf8(path);
    for (char& c : p)
    {
        if (c == '\\')
        {
            c = '/';
        }
    }
    return p;
}

void OutputDebugString(const std::wstring& text)
{
    std::string line = ToUtf8(text);
    line.push_back('\n');
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

void CreateFolderChain(const std::wstring& path)
{
    auto ensure = [](const std::wstring& prefix)
    {
        if (prefix.empty())
        {
            return;
        }
        std::string fsPath = ToFileSystemPath(prefix);
        struct stat st
        {
        };
        if (::stat(fsPath.c_str(), &st) == 0)
        {
            return;
        }
        std::uint32_t error = Win32FromErrno(errno);
        if (error == ERROR_FILE_NOT_FOUND_CODE || error == ERROR_PATH_NOT_FOUND_CODE)
        {
            ::mkdir(fsPath.c_str(), 0777);
        }
    };
    for (std::size_t i = 0; i < path.size(); ++i)
    {
        if (path[i] == L'\\' || path[i] == L'/')
        {
            ensure(path.substr(0, i));
        }
    }
    ensure(path);
}
} // namespace Platform
