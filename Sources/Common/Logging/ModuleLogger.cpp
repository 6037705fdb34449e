#include "Common/Logging/ModuleLogger.h"

#include "Common/ErrorHandling/HResult.h"
#include "Platform/Core/System.h"

#include <cstdio>
#include <cstring>

#ifndef RSM_VERSION_MAJOR
#define RSM_VERSION_MAJOR 0
#define RSM_VERSION_MINOR 0
#define RSM_VERSION_PATCH 0
#define RSM_VERSION_TWEAK 0
#endif

namespace Logging
{
namespace
{
constexpr const wchar_t* kModuleDescription = L"Reporting settings manager";
constexpr std::uint32_t kErrorModNotFound = 126;
} // namespace

ModuleIdentity GetModuleIdentity(const void* addressInModule)
{
    ModuleIdentity id;
    void* base = nullptr;
    id.modulePath =
        addressInModule == nullptr ? std::wstring() : Platform::GetModulePathOf(addressInModule, &base);
    if (id.modulePath.empty())
    {
        Platform::SetLastError(kErrorModNotFound);
        RaiseHResult(HResultFromWin32(Platform::GetLastError()));
    }
    id.baseAddress = base;
    id.version[0] = RSM_VERSION_MAJOR;
    id.version[1] = RSM_VERSION_MINOR;
    id.version[2] = RSM_VERSION_PATCH;
    id.version[3] = RSM_VERSION_TWEAK;
    id.description = kModuleDescription;
    id.processPath = Platform::GetExecutablePath();
    id.processId = Platform::GetCurrentProcessId();
    id.commandLine = Platform::GetCommandLine();
    return id;
}

std::wstring BuildBanner(const ModuleIdentity& identity)
{
    const std::wstring stars(100, L'*');
    // The load address prints like a Windows "%p": 16 upper-case hexadecimal digits.
    char base[32];
    std::snprintf(base, sizeof(base), "%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(identity.baseAddress)));
    std::wstring text = stars + L"\r\n";
    text += L"*** Module: " + identity.modulePath + L" (Base: 0x" +
            std::wstring(base, base + std::strlen(base)) + L")\r\n";
    text += L"*** Version: " + std::to_wstring(identity.version[0]) + L"." +
            std::to_wstring(identity.version[1]) + L"." + std::to_wstring(identity.version[2]) + L"." +
            std::to_wstring(identity.version[3]) + L"\r\n";
    text += L"*** Module description: " + identity.description + L"\r\n";
    text +=
        L"*** Process: " + identity.processPath + L" (Pid: " + std::to_wstring(identity.processId) + L")\r\n";
    text += L"*** Command line: " + identity.commandLine + L"\r\n";
    text += stars + L"\r\n";
    return text;
}

std::wstring DefaultLogFileName(const std::wstring& modulePath)
{
    std::size_t sep = modulePath.find_last_of(L"\\/");
    std::wstring name = sep == std::wstring::npos ? modulePath : modulePath.substr(sep + 1);
    std::size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos)
    {
        name.resize(dot);
    }
    return name + L".log";
}

ModuleLoggerRegistration::ModuleLoggerRegistration(const void* addressInModule)
{
    ModuleIdentity identity = GetModuleIdentity(addressInModule);
    m_logger = std::make_unique<FileLogger>(DefaultLogFileName(identity.modulePath), BuildBanner(identity));
    m_registration = std::make_unique<LoggerRegistration>(m_logger.get());
}

ModuleLoggerRegistration::~ModuleLoggerRegistration()
{
    m_registration.reset();
    m_logger.reset();
}
} // namespace Logging
