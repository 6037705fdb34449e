#include "Common/Logging/FileLogger.h"

#include "Common/ErrorHandling/HResult.h"
#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace Logging
{
namespace
{
constexpr int kOpenAttempts = 4;

HRESULT LastErrnoHResult()
{
    return HResultFromWin32(Platform::SetLastErrorFromErrno());
}

// One append of the text as UTF-16LE; the encoding buffer is reused per thread.
bool WriteUtf16(int fd, std::wstring_view text)
{
    thread_local std::string bytes;
    bytes.resize(text.size() * 4);
    char* out = bytes.data();
    auto unit = [&out](std::uint32_t u)
    {
        *out++ = static_cast<char>(u & 0xFF);
        *out++ = static_cast<char>(u >> 8);
    };
    for (wchar_t c : text)
    {
        std::uint32_t cp = static_cast<std::uint32_t>(c);
        if (cp < 0x10000)
        {
            unit(cp);
        }
        else if (cp <= 0x10FFFF)
        {
            cp -= 0x10000;
            unit(0xD800 | (cp >> 10));
            unit(0xDC00 | (cp & 0x3FF));
        }
        else
        {
            unit(0xFFFD);
        }
    }
    bytes.resize(static_cast<std::size_t>(out - bytes.data()));
    for (;;)
    {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n == static_cast<ssize_t>(bytes.size()))
        {
            return true;
        }
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n >= 0)
        {
            errno = ENOSPC; // a short append only happens when the disk is full
        }
        return false;
    }
}

// Append-only, created when missing; a sharing violation is retried a few times.
int OpenForAppend(const std::string& path, HRESULT& hr)
{
    for (int attempt = 1;; ++attempt)
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0)
        {
            hr = S_OK;
            return fd;
        }
        hr = LastErrnoHResult();
        if (hr != HR_SHARING_VIOLATION || attempt >= kOpenAttempts)
        {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
} // namespace

ImpersonationRevertGuard::ImpersonationRevertGuard(bool enabled)
{
    // A thread without its own token has nothing to revert (the ERROR_NO_TOKEN case).
    (void)enabled;
}

ImpersonationRevertGuard::~ImpersonationRevertGuard() = default;

FileLogger::FileHandle::~FileHandle()
{
    ::close(m_fd);
}

FileLogger::FileLogger(std::wstring fileName, std::wstring banner, LogConfig* config)
    : m_config(config != nullptr ? *config : LogManager::Instance().Config()), m_banner(std::move(banner)),
      m_fileName(std::move(fileName)),
      m_fileNameIsPath(m_fileName.find_first_of(L"\\/") != std::wstring::npos)
{
}

FileLogger::~FileLogger() = default;

void FileLogger::Write(const wchar_t* text, int length)
{
    if (text == nullptr)
    {
        return;
    }
    try
    {
        FileHandlePtr handle = GetHandle();
        if (!handle)
        {
            return;
        }
        std::size_t count = length < 0 ? std::wcslen(text) : static_cast<std::size_t>(length);
        if (!WriteUtf16(handle->Fd(), std::wstring_view(text, count)))
        {
            DebugTrace(L"FileLogger: cannot write (error: 0x%08x)",
                       static_cast<unsigned>(LastErrnoHResult()));
        }
    }
    catch (...)
    {
        // A message that cannot be written is lost; the caller never sees it.
    }
}

FileLogger::FileHandlePtr FileLogger::GetHandle()
{
    static const std::wstring keepOpenKey = L"KeepOpenInterval";
    std::uint32_t keepOpen = m_config.GetNumber(keepOpenKey, LogDefaults::KeepOpenIntervalMs);
    Base::LockGuard<Base::Mutex> lock(m_lock);
    if (keepOpen == 0)
    {
        m_cachedHandle.reset();
        return OpenFile();
    }
    std::uint32_t now = Platform::GetTickCount();
    if (m_openTick == 0 || now - m_openTick >= keepOpen)
    {
        m_openTick = now == 0 ? 1 : now;
        // The old handle stays open until the new one is in hand, so that a deleted file's
        // inode number cannot pass to its replacement while we decide whether it is new.
        FileHandlePtr fresh = OpenFile();
        m_cachedHandle = std::move(fresh);
    }
    return m_cachedHandle;
}

FileLogger::FileHandlePtr FileLogger::OpenFile()
{
    ImpersonationRevertGuard guard;
    std::wstring path;
    try
    {
        path = m_fileNameIsPath ? m_fileName : m_config.GetDirectory() + m_fileName;
    }
    catch (const HRX& e)
    {
        DebugTrace(L"FileLogger: cannot resolve the log folder (error: 0x%08x)",
                   static_cast<unsigned>(e.Code()));
        return nullptr;
    }
    static const std::wstring thresholdKey = L"LogFileSizeThresholdMB";
    std::uint32_t threshold = m_config.GetNumber(thresholdKey, LogDefaults::FileSizeThresholdMB);
    std::string fsPath = Platform::ToFileSystemPath(path);
    HRESULT hr = S_OK;
    int fd = OpenForAppend(fsPath, hr);
    if (fd < 0 && !m_fileNameIsPath &&
        (hr == HResultFromWin32(ERROR_PATH_NOT_FOUND_CODE) ||
         hr == HResultFromWin32(ERROR_FILE_NOT_FOUND_CODE)))
    {
        // The folder went away after it was created (or could not be created then): try again.
        Platform::CreateFolderChain(path.substr(0, path.find_last_of(L"\\/") + 1));
        fd = OpenForAppend(fsPath, hr);
    }
    if (fd < 0)
    {
        DebugTrace(L"FileLogger: cannot open log file '%s' (error: 0x%08x)", path.c_str(),
                   static_cast<unsigned>(hr));
        return nullptr;
    }
    auto handle = std::make_shared<const FileHandle>(fd);

    struct stat st
    {
    };
    bool haveStat = ::fstat(fd, &st) == 0;
    HRESULT statError = haveStat ? S_OK : LastErrnoHResult();
    if (threshold != 0 && haveStat)
    {
        std::uint64_t sizeMB = static_cast<std::uint64_t>(st.st_size) >> 20;
        if (sizeMB >= threshold)
        {
            if (!m_tooBigReported)
            {
                DebugTrace(L"FileLogger: log file '%s' is too big (size=%dMB threshold=%dMB)", path.c_str(),
                           static_cast<int>(sizeMB), static_cast<int>(threshold));
                m_tooBigReported = true;
            }
            return nullptr;
        }
        m_tooBigReported = false;
    }

    if (!m_banner.empty())
    {
        FileId id;
        if (haveStat)
        {
            std::uint64_t ino = static_cast<std::uint64_t>(st.st_ino);
            id = {static_cast<std::uint32_t>(st.st_dev), static_cast<std::uint32_t>(ino >> 32),
                  static_cast<std::uint32_t>(ino)};
        }
        else
        {
            DebugTrace(L"FileLogger: cannot get file id (error: 0x%08x)", static_cast<unsigned>(statError));
            id = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
        }
        // An empty file is new too: Linux may give a recreated file its predecessor's inode.
        if (!(id == m_lastFileId) || (haveStat && st.st_size == 0))
        {
            m_lastFileId = id;
            if (!WriteUtf16(fd, m_banner))
            {
                DebugTrace(L"FileLogger: cannot write (error: 0x%08x)",
                           static_cast<unsigned>(LastErrnoHResult()));
            }
        }
    }
    return handle;
}
} // namespace Logging
