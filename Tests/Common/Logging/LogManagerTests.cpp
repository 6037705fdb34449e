#include "Common/Logging/LogTestSupport.h"
#include "Common/Logging/Trace.h"

#include <cstdio>
#include <stdexcept>

using namespace Logging;
using namespace TestSupport;

namespace
{
// 2024-03-05 07:08:09.1234567 UTC
constexpr std::uint64_t kKnownTime = 133540960891234567ull;

std::wstring Ids()
{
    wchar_t ids[16];
    std::swprintf(ids, 16, L"%5u %5u", Platform::GetCurrentProcessId() & 0xFFFF,
                  Platform::GetCurrentThreadId() & 0xFFFF);
    return ids;
}

std::wstring FormatAt(std::uint64_t time, std::int32_t severity, const char* file, std::uint32_t line,
                      const std::wstring& message, std::uint32_t indent)
{
    std::wstring text;
    DefaultLogFormatter().Format(text, severity, file, line, message, indent, &time);
    return text;
}

struct TimeZone : ScopedEnv
{
    explicit TimeZone(const char* tz) : ScopedEnv("TZ", tz) { ::tzset(); }
    ~TimeZone()
    {
        Set(std::nullopt);
        ::tzset();
    }
};
} // namespace

TEST(LogManagerTest, FormatterWritesTheFixedColumns)
{
    TimeZone utc("UTC0");
    std::wstring pad(19, L' ');
    EXPECT_EQ(L"2024-03-05 07:08:09.1234567 | INFO |" + Ids() + L" | Known.cpp:77" + pad + L"|     hello\r\n",
              FormatAt(kKnownTime, Info, "C:\\src\\sub/Known.cpp", 77, L"hello", 2));

    // A name over 26 characters is cut to 26.
    EXPECT_EQ(L" | abcdefghijklmnopqrstuvwxyz:12  | x\r\n",
              FormatAt(kKnownTime, Err, "/p/abcdefghijklmnopqrstuvwxyz.cpp", 12, L"x", 0).substr(47));
    EXPECT_EQ(L" | :0" + std::wstring(29, L' ') + L"| \r\n",
              FormatAt(kKnownTime, Err, nullptr, 0, L"", 0).substr(47));

    // Indent is clamped to 30 levels.
    EXPECT_EQ(L"| " + std::wstring(60, L' ') + L"x\r\n",
              FormatAt(kKnownTime, Err, "a.cpp", 1, L"x", 31).substr(81));

    // Local time, not UTC, with the sub-millisecond digits kept.
    TimeZone india("IST-5:30");
    EXPECT_EQ(L"2024-03-05 12:38:09.1234567", FormatAt(kKnownTime, Info, "a.cpp", 1, L"", 0).substr(0, 27));
}

TEST(LogManagerTest, MaxSeverityAcceptsOnlyNames)
{
    LoggerEnv env("/tmp");
    const std::pair<std::optional<std::string>, std::int32_t> cases[] = {
        {std::nullopt, 5}, {"NONE", 0}, {"  dBg3 \t", 7}, {"7", 5}, {"WARN", 3}, {"DBG4", 5}, {"", 5}};
    for (const auto& [setting, expected] : cases)
    {
        env.Set("MaxSeverity", setting);
        EXPECT_EQ(expected, LogManager::Instance().Config().MaxSeverity()) << setting.value_or("(absent)");
        EXPECT_EQ(expected >= Err, IsLogEnabled(Err));
    }
    env.Set("MaxSeverity", "DBG3");
    EXPECT_FALSE(IsLogEnabled(0));
    EXPECT_FALSE(IsLogEnabled(8));
}

TEST(LogManagerTest, LoggersAndMessageComposition)
{
    LoggerEnv env("/tmp");
    MemoryLogger loggers[2];
    LogManager& manager = LogManager::Instance();
    EXPECT_FALSE(manager.AddLogger(nullptr));
    manager.RemoveLogger(nullptr);
    ASSERT_TRUE(manager.AddLogger(&loggers[1]));
    Log(Info, std::wstring(1 << 20, L'x'), nullptr, 0, &loggers[0]); // that logger alone
    ASSERT_EQ(1u, loggers[0].lines.size());
    EXPECT_EQ(std::wstring(1 << 20, L'x'), MessageColumn(loggers[0].lines[0]));
    EXPECT_TRUE(loggers[1].lines.empty());
    manager.RemoveLogger(&loggers[1]);
    loggers[0].lines.clear();
    {
        LoggerRegistration registration(&loggers[0]);
        EXPECT_TRUE(registration.Registered());
        const wchar_t* nullWide = nullptr;
        const char* nullNarrow = nullptr;
        RSM_LOG_FL(Warn, "C:\\x\\Fixed.cpp", 554, L"a=" << nullWide << L" b=" << nullNarrow << L" n=" << 7);
        auto thrower = []() -> int { throw std::runtime_error("boom"); };
        RSM_LOG(Err, L"before " << thrower() << L" after");
        env.Set("MaxSeverity", "ERR");
        int composed = 0;
        RSM_LOG(Warn, L"never " << ++composed);
        EXPECT_EQ(0, composed) << "a disabled statement composes nothing";
    }
    RSM_LOG(Err, L"after unregistration");
    const auto& lines = loggers[0].lines;
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"| Fixed.cpp:554"));
    EXPECT_EQ(L"a=(null) b=(null) n=7", MessageColumn(lines[0]));
    EXPECT_EQ(L"before ... (***EXCEPTION***)", MessageColumn(lines[1]));
}

// The file logger tests see its ordinary messages; here the edge cases of the format.
TEST(LogManagerTest, DebugTraceFormatsWideStrings)
{
    CaptureStderr();
    DebugTrace(nullptr);
    DebugTrace(L"%s", std::wstring(100000, L'w').c_str());
    DebugTrace(L"100%% %5.2s|%-3d|", L"abc", 7);
    std::string out = GetCapturedStderr();
    EXPECT_NE(std::string::npos, out.find(std::string(100000, 'w') + "\n"));
    EXPECT_NE(std::string::npos, out.find("100%    ab|7  |\n"));
}

namespace
{
struct TraceTest : ::testing::Test
{
    LoggerEnv env{"/tmp"};
    MemoryLogger memory;
    LoggerRegistration registration{&memory};
};

void Inner(bool fail)
{
    RSM_TRACE_SCOPE(Dbg2, L"Ns::C::Inner");
    RSM_LOG(Info, L"inside");
    if (fail)
    {
        throw std::runtime_error("fail");
    }
}

void Outer(bool fail)
{
    RSM_TRACE_SCOPE_AT(Dbg, 1234, L"Ns::C::Outer" << L"(" << fail << L")");
    Inner(fail);
}

} // namespace

TEST(TraceFormatTest, ElapsedIsGroupedMilliseconds)
{
    EXPECT_EQ(L" [0.042 ms]", FormatElapsed(42));
    EXPECT_EQ(L" [1 000.000 ms]", FormatElapsed(1000000));
    EXPECT_EQ(L" [-1.500 ms]", FormatElapsed(-1500));
    EXPECT_EQ(L" [-9 223 372 036 854 775.808 ms]", FormatElapsed(INT64_MIN));
    EXPECT_EQ(1, ToMicroseconds(Platform::QueryPerformanceFrequency() / 1000000));
    EXPECT_EQ(1000000, ToMicroseconds(Platform::QueryPerformanceFrequency()));
}

TEST_F(TraceTest, NestedScopesIndentAndReportHowTheyEnded)
{
    std::uint32_t depth = TraceDepth();
    Outer(false);
    EXPECT_THROW(Outer(true), std::runtime_error);
    {
        // An exception caught inside the scope is no reason for an exception line.
        RSM_TRACE_SCOPE(Dbg, L"Catcher");
        EXPECT_THROW(Inner(true), std::runtime_error);
    }
    EXPECT_EQ(depth, TraceDepth());
    // Each of the three scopes holds Inner: entry, Inner's entry, its line, Inner's end, the end.
    std::vector<std::wstring> expected;
    for (auto [scope, innerEnd, end] : {std::tuple{L"Ns::C::Outer(0)", L"Exiting", L"Exiting"},
                                        {L"Ns::C::Outer(1)", L"EXCEPTION at", L"EXCEPTION at"},
                                        {L"Catcher", L"EXCEPTION at", L"Exiting"}})
    {
        expected.insert(expected.end(), {L"Entering: " + std::wstring(scope), L"  Entering: Ns::C::Inner",
                                         L"    inside", L"  " + std::wstring(innerEnd) + L": Ns::C::Inner [",
                                         std::wstring(end) + L": " + scope + L" ["});
    }
    const auto& lines = memory.lines;
    ASSERT_EQ(expected.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
    {
        EXPECT_EQ(MessageColumn(lines[i]).rfind(expected[i], 0), 0u) << lines[i];
    }
    EXPECT_NE(std::wstring::npos, lines[0].find(L"| DBG  |"));
    EXPECT_NE(std::wstring::npos, lines[1].find(L"| DBG2 |"));
    EXPECT_NE(std::wstring::npos, lines[0].find(L"| LogManagerTests.cpp:1234 "));
    EXPECT_NE(std::wstring::npos, lines[4].find(L"| LogManagerTests.cpp:1234 "))
        << "exit carries the entry's line";
}

TEST_F(TraceTest, SeverityIsDecidedAtEntryAndAgainAtExit)
{
    std::uint32_t depth = TraceDepth();
    env.Set("MaxSeverity", "DBG");
    int composed = 0;
    {
        RSM_TRACE_SCOPE(Dbg2, L"Off" << ++composed);
        env.Set("MaxSeverity", "DBG3");
        EXPECT_EQ(depth, TraceDepth());
    }
    EXPECT_EQ(0, composed) << "a disabled trace point composes nothing";
    EXPECT_TRUE(memory.lines.empty()) << "no exit line for a scope that started off";

    {
        RSM_TRACE_SCOPE(Dbg2, L"On");
        EXPECT_EQ(depth + 1, TraceDepth());
        env.Set("MaxSeverity", "DBG");
    }
    EXPECT_EQ(depth, TraceDepth()) << "indentation restored even without an exit line";
    ASSERT_EQ(1u, memory.lines.size());
    EXPECT_EQ(L"Entering: On", MessageColumn(memory.lines[0]));
}
