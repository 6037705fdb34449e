// Cost of a disabled log statement next to its floor (an atomic load and a tick read), and
// lines per second through the file logger next to a raw loop of one write() per line.
#include "Common/Logging/FileLogger.h"
#include "Common/Logging/Log.h"
#include "Common/Logging/LogManager.h"
#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

// Counts every operator new of the program (defined beside this file).
std::uint64_t AllocationCount();

namespace
{
std::string g_folder;

void SetLogger(const char* key, const char* value)
{
    ::setenv((std::string("GS_Logger_") + key).c_str(), value, 1);
    Logging::LogManager::Instance().Config().Refresh(false);
}

void BM_DisabledLogStatement(benchmark::State& state)
{
    SetLogger("MaxSeverity", "ERR");
    std::uint64_t before = AllocationCount();
    for (auto _ : state)
    {
        RSM_LOG(Logging::Dbg, L"never composed " << 42);
    }
    state.counters["allocs"] = static_cast<double>(AllocationCount() - before);
}

void BM_AtomicLoadPlusTick(benchmark::State& state)
{
    std::atomic<std::int32_t> level{2};
    for (auto _ : state)
    {
        std::int32_t v = level.load(std::memory_order_relaxed);
        std::uint32_t tick = Platform::GetTickCount();
        benchmark::DoNotOptimize(v);
        benchmark::DoNotOptimize(tick);
    }
}

const std::wstring kMessage =
    L"ManagementService::CReportingSettingsManager::Configure: connection settings rebuilt";

std::string FreshFile(const std::string& name)
{
    std::string path = g_folder + "/" + name;
    std::filesystem::remove(path);
    return path;
}

// The whole path of an enabled statement: test, compose, format, write.
void BM_LogStatementToFile(benchmark::State& state)
{
    SetLogger("MaxSeverity", "DBG");
    FreshFile("Statement.log");
    Logging::FileLogger logger(L"Statement.log", L"banner\r\n");
    Logging::LoggerRegistration registration(&logger);
    for (auto _ : state)
    {
        RSM_LOG(Logging::Info, kMessage);
    }
    state.SetItemsProcessed(state.iterations());
}

// The file logger alone with a formatted line, and the raw loop appending the same bytes.
std::wstring FormattedLine()
{
    std::wstring line;
    Logging::DefaultLogFormatter().Format(line, Logging::Info, __FILE__, __LINE__, kMessage, 0, nullptr);
    return line;
}

void BM_FileLoggerWrite(benchmark::State& state)
{
    FreshFile("Write.log");
    Logging::FileLogger logger(L"Write.log", L"banner\r\n");
    std::wstring line = FormattedLine();
    for (auto _ : state)
    {
        logger.Write(line.c_str(), static_cast<int>(line.size()));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_RawAppend(benchmark::State& state)
{
    std::string path = FreshFile("Raw.log");
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    std::string bytes = Platform::ToUtf16Le(FormattedLine());
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_DisabledLogStatement);
BENCHMARK(BM_AtomicLoadPlusTick);
BENCHMARK(BM_LogStatementToFile);
BENCHMARK(BM_FileLoggerWrite);
BENCHMARK(BM_RawAppend);
} // namespace

int main(int argc, char** argv)
{
    char pattern[] = "/tmp/rsm-logbench-XXXXXX";
    g_folder = ::mkdtemp(pattern);
    ::setenv("GS_Logger_Path", g_folder.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(g_folder);
    return 0;
}
