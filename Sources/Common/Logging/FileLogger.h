// Appends log lines (UTF-16LE, no byte order mark) to a file that other threads and processes
// may share: each line is one write on an append-only handle that the writer holds a counted
// reference to, so a reopen by another thread never closes it under the writer's feet.
#pragma once

#include "Common/Base/Locks.h"
#include "Common/Logging/LogManager.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Logging
{
struct FileId
{
    std::uint32_t volumeSerialNumber = 0;
    std::uint32_t fileIndexHigh = 0;
    std::uint32_t fileIndexLow = 0;

    bool operator==(const FileId&) const = default;
};

// Runs the file work under the process identity. Linux threads do not impersonate, so there is
// never a token to take away or to put back.
class ImpersonationRevertGuard
{
public:
    explicit ImpersonationRevertGuard(bool enabled = LogDefaults::RevertImpersonation);
    ~ImpersonationRevertGuard();
    bool Reverted() const { return m_reverted; }

    ImpersonationRevertGuard(const ImpersonationRevertGuard&) = delete;
    ImpersonationRevertGuard& operator=(const ImpersonationRevertGuard&) = delete;

private:
    bool m_reverted = false;
};

class FileLogger final : public ILogger
{
public:
    // A fileName holding "\" or "/" is the whole path; otherwise it goes into the configured log
    // folder. The banner heads every physical file this logger starts writing to. config null:
    // the log manager's.
    FileLogger(std::wstring fileName, std::wstring banner, LogConfig* config = nullptr);
    ~FileLogger();

    void Write(const wchar_t* text, int length) override;

    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

private:
    // An open descriptor, closed when the last reference goes.
    class FileHandle
    {
    public:
        explicit FileHandle(int fd) : m_fd(fd) {}
        ~FileHandle();
        int Fd() const { return m_fd; }

        FileHandle(const FileHandle&) = delete;
        FileHandle& operator=(const FileHandle&) = delete;

    private:
        int m_fd;
    };
    using FileHandlePtr = std::shared_ptr<const FileHandle>;

    FileHandlePtr GetHandle() RSM_EXCLUDES(m_lock);
    FileHandlePtr OpenFile() RSM_REQUIRES(m_lock);

    LogConfig& m_config;
    const std::wstring m_banner;
    const std::wstring m_fileName;
    const bool m_fileNameIsPath;
    Base::Mutex m_lock;
    std::uint32_t m_openTick RSM_GUARDED_BY(m_lock) = 0;
    FileHandlePtr m_cachedHandle RSM_GUARDED_BY(m_lock);
    FileId m_lastFileId RSM_GUARDED_BY(m_lock);
    bool m_tooBigReported RSM_GUARDED_BY(m_lock) = false;
};
} // namespace Logging
