#include "Common/Logging/LogTestSupport.h"
#include "Common/Logging/Trace.h"

#include <stdexcept>

using namespace Logging;
using namespace TestSupport;

namespace
{
struct TraceTest : ::testing::Test
{
    LoggerEnv env{"/tmp"};
    MemoryLogger memory;
    LoggerRegistration registration{&memory};

    std::vector<std::wstring> Messages()
    {
        std::vector<std::wstring> out;
        for (const auto& line : memory.lines)
        {
            out.push_back(MessageColumn(line));
        }
        return out;
    }
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
    EXPECT_EQ(L" [999.999 ms]", FormatElapsed(999999));
    EXPECT_EQ(L" [1 000.000 ms]", FormatElapsed(1000000));
    EXPECT_EQ(L" [123 456 789 012.345 ms]", FormatElapsed(123456789012345));
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
    const std::wstring expected[] = {L"Entering: Ns::C::Outer(0)",
                                     L"  Entering: Ns::C::Inner",
                                     L"    inside",
                                     L"  Exiting: Ns::C::Inner [",
                                     L"Exiting: Ns::C::Outer(0) [",
                                     L"Entering: Ns::C::Outer(1)",
                                     L"  Entering: Ns::C::Inner",
                                     L"    inside",
                                     L"  EXCEPTION at: Ns::C::Inner [",
                                     L"EXCEPTION at: Ns::C::Outer(1) [",
                                     L"Entering: Catcher",
                                     L"  Entering: Ns::C::Inner",
                                     L"    inside",
                                     L"  EXCEPTION at: Ns::C::Inner [",
                                     L"Exiting: Catcher ["};
    auto m = Messages();
    ASSERT_EQ(std::size(expected), m.size());
    for (std::size_t i = 0; i < m.size(); ++i)
    {
        EXPECT_EQ(m[i].rfind(expected[i], 0), 0u) << m[i];
    }
    const auto& lines = memory.lines;
    EXPECT_NE(std::wstring::npos, lines[0].find(L"| DBG  |"));
    EXPECT_NE(std::wstring::npos, lines[1].find(L"| DBG2 |"));
    EXPECT_NE(std::wstring::npos, lines[0].find(L"| TraceTests.cpp:1234 "));
    EXPECT_NE(std::wstring::npos, lines[4].find(L"| TraceTests.cpp:1234 "))
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

    // Direct construction with its own logger and distinct exception severity.
    MemoryLogger own;
    EXPECT_THROW(
        {
            TraceScope scope(Dbg, Crit, L"Direct", nullptr, 9, &own);
            throw 1;
        },
        int);
    EXPECT_EQ(Messages(), std::vector<std::wstring>{L"Entering: On"});
    ASSERT_EQ(2u, own.lines.size());
    EXPECT_NE(std::wstring::npos, own.lines[1].find(L"| CRIT |"));
    EXPECT_EQ(depth, TraceDepth());
}
