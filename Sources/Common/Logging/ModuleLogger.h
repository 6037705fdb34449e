// The module's own log file: the module's export source holds one static
// ModuleLoggerRegistration, so the file logger exists from load to unload.
//
//   static Logging::ModuleLoggerRegistration g_moduleLogger(&g_moduleLogger);
#pragma once

#include "Common/Logging/FileLogger.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Logging
{
struct ModuleIdentity
{
    std::wstring modulePath;
    const void* baseAddress = nullptr;
    std::uint32_t version[4] = {0, 0, 0, 0};
    std::wstring description;
    std::wstring processPath;
    std::uint32_t processId = 0;
    std::wstring commandLine;
};

// The identity of the module that contains address and of the running process. Throws HRX when
// the module's file name cannot be found.
ModuleIdentity GetModuleIdentity(const void* addressInModule);

// The banner: a line of 100 "*", module, version, description, process and command line.
std::wstring BuildBanner(const ModuleIdentity& identity);

// The module file name without its extension, plus ".log".
std::wstring DefaultLogFileName(const std::wstring& modulePath);

class ModuleLoggerRegistration
{
public:
    explicit ModuleLoggerRegistration(const void* addressInModule);
    ~ModuleLoggerRegistration();

    FileLogger& Logger() { return *m_logger; }

    ModuleLoggerRegistration(const ModuleLoggerRegistration&) = delete;
    ModuleLoggerRegistration& operator=(const ModuleLoggerRegistration&) = delete;

private:
    std::unique_ptr<FileLogger> m_logger;
    std::unique_ptr<LoggerRegistration> m_registration;
};
} // namespace Logging
