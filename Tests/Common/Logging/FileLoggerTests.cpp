#include "Common/ErrorHandling/HResult.h"
#include "Common/Logging/FileLogger.h"
#include "Common/Logging/LogTestSupport.h"
#include "Common/Logging/ModuleLogger.h"
#include "Common/Settings/DataDirectory.h"

#include <filesystem>
#include <thread>

using namespace Logging;
using namespace TestSupport;

namespace
{
const std::wstring kBanner = L"*** banner ***\r\n";

std::wstring Stamp(std::uint64_t time)
{
    std::wstring text;
    DefaultLogFormatter().Format(text, Info, "a.cpp", 1, L"", 0, &time);
    return text.substr(0, 27);
}

// The folder as the logger prints it: backslashes.
std::string Printed(const std::string& path)
{
    std::string p = path;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

// The one line a log file holds below its banner; empty, with a failure, when it holds other lines.
std::wstring OnlyLine(const std::string& file)
{
    std::wstring text = ReadUtf16File(file);
    EXPECT_EQ(text.rfind(kBanner, 0), 0u) << "no byte order mark, banner first";
    auto lines = SplitLines(text.substr(kBanner.size()));
    EXPECT_EQ(1u, lines.size());
    return lines.size() == 1 ? lines[0] : L"";
}
} // namespace

TEST(FileLoggerTest, FileHoldsTheExactLinesInUtf16AfterTheBanner)
{
    TempDir dir;
    LoggerEnv env(dir.Path() + "/a/b"); // forward slashes, missing chain
    std::string file = dir.File("a/b/Test.log");
    FileLogger logger(L"Test.log", kBanner);
    LoggerRegistration registration(&logger);

    const std::uint64_t before = Platform::GetSystemTimeAsFileTime();
    RSM_LOG_FL(Info, "C:\\src\\Known.cpp", 77, L"caf\u00e9 " << 42);
    const std::uint64_t after = Platform::GetSystemTimeAsFileTime();

    const std::wstring line = OnlyLine(file);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(L" | INFO |" + line.substr(36, 11) + L" | Known.cpp:77" + std::wstring(19, L' ') +
                  L"| caf\u00e9 42",
              line.substr(27));
    EXPECT_LE(Stamp(before), line.substr(0, 27));
    EXPECT_GE(Stamp(after), line.substr(0, 27));

    // Deleted while running (opened per message): the next line starts a new file with the banner.
    std::filesystem::remove(file);
    RSM_LOG(Err, L"second file");
    EXPECT_EQ(L"second file", MessageColumn(OnlyLine(file)));

    // Deleted while the handle is kept open: lines go to the old file until the next reopen.
    env.Set("KeepOpenInterval", "100");
    RSM_LOG(Err, L"cached");
    std::filesystem::remove(file);
    RSM_LOG(Err, L"lost");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    RSM_LOG(Err, L"third file");
    EXPECT_EQ(L"third file", MessageColumn(OnlyLine(file)));
    RSM_LOG(Err, L"same file");
    EXPECT_EQ(1u, CountOf(Platform::ToUtf8(ReadUtf16File(file)), "*** banner ***")) << "one banner per file";
}

TEST(FileLoggerTest, SizeThresholdStopsWritingUntilTheFileShrinks)
{
    TempDir dir;
    LoggerEnv env(dir.Path());
    env.Set("LogFileSizeThresholdMB", "1");
    std::string file = dir.File("Big.log");
    WriteTextFile(file, "");
    std::filesystem::resize_file(file, 1u << 20); // exactly the threshold: already too big
    FileLogger logger(L"Big.log", kBanner);

    CaptureStderr();
    logger.Write(L"one\r\n", -1);
    logger.Write(L"two\r\n", 5);
    EXPECT_EQ(1u, CountOf(GetCapturedStderr(), "FileLogger: log file '" + Printed(dir.Path()) +
                                                   "\\Big.log' is too big (size=1MB threshold=1MB)\n"));
    EXPECT_EQ(1u << 20, std::filesystem::file_size(file));

    std::filesystem::resize_file(file, (1u << 20) - 64);
    logger.Write(L"three\r\n", -1);
    std::wstring text = ReadUtf16File(file);
    EXPECT_EQ(kBanner + L"three\r\n", text.substr((1u << 19) - 32));

    // Too big again: reported again, since it was below the threshold in between.
    std::filesystem::resize_file(file, 3u << 20);
    CaptureStderr();
    logger.Write(L"four\r\n", -1);
    EXPECT_EQ(1u, CountOf(GetCapturedStderr(), "(size=3MB threshold=1MB)"));

    env.Set("LogFileSizeThresholdMB", "0");
    logger.Write(L"five\r\n", -1);
    EXPECT_EQ((3u << 20) + 12, std::filesystem::file_size(file)) << "threshold 0 disables the check";
    logger.Write(nullptr, 5);
    EXPECT_EQ((3u << 20) + 12, std::filesystem::file_size(file));
}

TEST(FileLoggerTest, UnusableFolderIsReportedAndLoggingResumes)
{
    TempDir dir;
    WriteTextFile(dir.File("blocker"), "a file where a folder should be");
    LoggerEnv env(dir.Path() + "/blocker/logs");
    FileLogger logger(L"Test.log", kBanner);
    CaptureStderr();
    logger.Write(L"lost\r\n", -1);
    EXPECT_NE(std::string::npos,
              GetCapturedStderr().find("FileLogger: cannot open log file '" + Printed(dir.Path()) +
                                       "\\blocker\\logs\\Test.log' (error: 0x80070003)\n"));

    std::filesystem::remove(dir.File("blocker"));
    logger.Write(L"back\r\n", -1);
    EXPECT_EQ(kBanner + L"back\r\n", ReadUtf16File(dir.File("blocker/logs/Test.log")));
}

TEST(FileLoggerTest, BrokenDataDirectoryDropsMessagesUntilRepaired)
{
    TempDir dir;
    ScopedEnv registry("RSM_REGISTRY_DIR", dir.Path());
    ScopedEnv key("GS_General_DataDirectoryPathOverrideRegKey", "HKLM\\Rsm");
    ScopedEnv data("GS_General_DataDirectoryPath", dir.Path());
    WriteTextFile(dir.File("HKEY_LOCAL_MACHINE.reg"), "[Rsm]\n\"Logs\"=broken\n");
    Settings::DataDirectory::ResetInstance();
    LoggerEnv env("Logs\\");
    FileLogger logger(L"Test.log", kBanner);
    LoggerRegistration registration(&logger);

    CaptureStderr();
    EXPECT_NO_THROW(RSM_LOG(Err, L"dropped"));
    EXPECT_NE(std::string::npos,
              GetCapturedStderr().find("FileLogger: cannot resolve the log folder (error: 0x8007000d)\n"));

    WriteTextFile(dir.File("HKEY_LOCAL_MACHINE.reg"), "[Rsm]\n\"Logs\"=\"" + dir.Path() + "/moved\"\n");
    RSM_LOG(Err, L"kept");
    EXPECT_EQ(L"kept", MessageColumn(OnlyLine(dir.File("moved/Test.log"))));
    Settings::DataDirectory::ResetInstance();
}

TEST(FileLoggerTest, ModuleBannerAndRegistration)
{
    const ModuleIdentity id{.modulePath = L"C:\\Program Files\\Suite\\ReportingSettingsManager.dll",
                            .baseAddress = reinterpret_cast<const void*>(std::uintptr_t{0x7FF612340000}),
                            .version = {1, 0, 0, 4},
                            .description = L"Reporting settings manager",
                            .processPath = L"C:\\Suite\\Host.exe",
                            .processId = 4242,
                            .commandLine = L"Host.exe -service"};
    const std::wstring banner = BuildBanner(id);
    EXPECT_EQ(banner.rfind(std::wstring(100, L'*') + L"\r\n*** Module: C:\\Program Files", 0), 0u);
    EXPECT_NE(banner.find(L"(Base: 0x00007FF612340000)\r\n*** Version: 1.0.0.4\r\n"), std::wstring::npos);
    EXPECT_NE(banner.find(L"(Pid: 4242)\r\n*** Command line: Host.exe -service\r\n***"), std::wstring::npos);
    EXPECT_EQ(L"ReportingSettingsManager.log", DefaultLogFileName(id.modulePath));
    EXPECT_EQ(L"a.b.log", DefaultLogFileName(L"/x.y/a.b.c"));
    EXPECT_THROW(GetModuleIdentity(nullptr), HRX);

    // Registered, the module logs to a file named after it, below its banner, until unregistered.
    TempDir dir;
    LoggerEnv env(dir.Path());
    {
        static const int anchor = 0;
        ModuleLoggerRegistration module(&anchor);
        RSM_LOG(Info, L"from the module");
    }
    RSM_LOG(Info, L"after unload");
    auto lines = SplitLines(
        ReadUtf16File(dir.File(Platform::ToUtf8(DefaultLogFileName(Platform::GetExecutablePath())))));
    ASSERT_EQ(8u, lines.size());
    EXPECT_EQ(lines[1].rfind(L"*** Module: ", 0), 0u);
    EXPECT_EQ(L"from the module", MessageColumn(lines[7]));
}
