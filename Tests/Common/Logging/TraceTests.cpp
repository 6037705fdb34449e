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
        for (const auto& line : memory.Lines())
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
    EXPECT_EQ(depth, TraceDepth());
    auto m = Messages();
    ASSERT_EQ(5u, m.size());
    EXPECT_EQ(L"Entering: Ns::C::Outer(0)", m[0]);
    EXPECT_EQ(L"  Entering: Ns::C::Inner", m[1]);
    EXPECT_EQ(L"    inside", m[2]);
    EXPECT_EQ(m[3].rfind(L"  Exiting: Ns::C::Inner [", 0), 0u) << m[3];
    EXPECT_EQ(m[4].rfind(L"Exiting: Ns::C::Outer(0) [", 0), 0u) << m[4];
    EXPECT_EQ(m[4].substr(m[4].size() - 4), L" ms]");
    auto lines = memory.Lines();
    EXPECT_NE(std::wstring::npos, lines[0].find(L"| DBG  |"));
    EXPECT_NE(std::wstring::npos, lines[0].find(L"| TraceTests.cpp:1234 "));
    EXPECT_NE(std::wstring::npos, lines[4].find(L"| TraceTests.cpp:1234 "))
        << "exit carries the entry's line";
    EXPECT_NE(std::wstring::npos, lines[1].find(L"| DBG2 |"));

    memory.Clear();
    EXPECT_THROW(Outer(true), std::runtime_error);
    EXPECT_EQ(depth, TraceDepth());
    m = Messages();
    ASSERT_EQ(5u, m.size());
    EXPECT_EQ(m[3].rfind(L"  EXCEPTION at: Ns::C::Inner [", 0), 0u) << m[3];
    EXPECT_EQ(m[4].rfind(L"EXCEPTION at: Ns::C::Outer(1) [", 0), 0u) << m[4];

    // An exception caught inside the scope is no reason for an exception line.
    memory.Clear();
    {
        RSM_TRACE_SCOPE(Dbg, L"Catcher");
        try
        {
            Inner(true);
        }
        catch (const std::runtime_error&)
        {
        }
    }
    m = Messages();
    ASSERT_EQ(5u, m.size());
    EXPECT_EQ(m[3].rfind(L"  EXCEPTION at: Ns::C::Inner", 0), 0u);
    EXPECT_EQ(m[4].rfind(L"Exiting: Catcher [", 0), 0u);
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
    EXPECT_TRUE(memory.Lines().empty()) << "no exit line for a scope that started off";

    {
        RSM_TRACE_SCOPE(Dbg2, L"On");
        EXPECT_EQ(depth + 1, TraceDepth());
        env.Set("MaxSeverity", "DBG");
    }
    EXPECT_EQ(depth, TraceDepth()) << "indentation restored even without an exit line";
    auto m = Messages();
    ASSERT_EQ(1u, m.size());
    EXPECT_EQ(L"Entering: On", m[0]);

    // Direct construction with its own logger and distinct exception severity.
    MemoryLogger own;
    memory.Clear();
    try
    {
        TraceScope scope(Dbg, Crit, L"Direct", nullptr, 9, &own);
        throw 1;
    }
    catch (int)
    {
    }
    EXPECT_TRUE(memory.Lines().empty());
    ASSERT_EQ(2u, own.Lines().size());
    EXPECT_NE(std::wstring::npos, own.Lines()[1].find(L"| CRIT |"));
    EXPECT_EQ(depth, TraceDepth());
}
