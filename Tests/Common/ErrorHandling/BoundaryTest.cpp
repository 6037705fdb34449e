#include "Common/ErrorHandling/Boundary.h"
#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Common/Logging/Trace.h"

#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

using namespace ErrorHandling;
using TestSupport::LogCapture;
using TestSupport::PublishedText;

namespace
{
const wchar_t kName[] = L"Test::CThing::Operation";
}

TEST(BoundaryTest, HrxBecomesOneErrLineAndPublishedErrorInfo)
{
    LogCapture log;
    std::wstring expected;
    HRESULT hr = RSM_BOUNDARY(kName, 332,
                              [&]
                              {
                                  RSM_TRACE_SCOPE(Logging::Dbg, L"Traced");
                                  try
                                  {
                                      RaiseHResult(HR_NOT_FOUND);
                                  }
                                  catch (const HRX& e)
                                  {
                                      expected = FormatErrorDescription(BuildErrorDescription(e));
                                      throw;
                                  }
                              });
    EXPECT_EQ(hr, HR_NOT_FOUND);
    EXPECT_EQ(PublishedText(), expected);

    auto errors = log.Find(Logging::Err, L"");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, std::wstring(kName) + L" failed: " + expected);
    EXPECT_EQ(errors[0].line, 332u);
    EXPECT_NE(errors[0].file.find("BoundaryTest.cpp"), std::string::npos);
    // The trace scope inside the body reports the exception before the boundary's line.
    auto lines = log.Lines();
    auto exception =
        std::find_if(lines.begin(), lines.end(),
                     [](const auto& l) { return l.message.rfind(L"EXCEPTION at: Traced", 0) == 0; });
    auto failed =
        std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.severity == Logging::Err; });
    EXPECT_LT(exception, failed);
}

TEST(BoundaryTest, SuccessPassesAndForeignExceptionsNeverCrossAndWorkersOnlyLog)
{
    LogCapture log;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(RSM_BOUNDARY(kName, 10, [] {}), S_OK);
    EXPECT_EQ(RSM_BOUNDARY(kName, 10, [] { return S_FALSE; }), S_FALSE);
    EXPECT_EQ(PublishedText(), L"");
    EXPECT_EQ(RSM_BOUNDARY(kName, 1, [] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(PublishedText().rfind(L"0x8007000E ", 0), 0u);
    EXPECT_EQ(RSM_BOUNDARY(kName, 2, [] { throw std::length_error("too long"); }), E_UNEXPECTED);
    EXPECT_EQ(PublishedText().rfind(L"0x8000FFFF Catastrophic failure", 0), 0u);
    EXPECT_EQ(RSM_BOUNDARY(nullptr, 3, [] { throw 42; }), E_UNEXPECTED);
    EXPECT_NE(PublishedText(), L"");

    EXPECT_EQ(RSM_WORKER(L"Executing Work", 86, [] { RaiseHResult(E_ABORT); }), E_ABORT);
    EXPECT_EQ(RSM_WORKER(L"Executing Work", 86, [] { throw std::runtime_error("x"); }), E_UNEXPECTED);
    EXPECT_EQ(PublishedText(), L"");

    auto errors = log.Find(Logging::Err, L""); // none for the successes
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_EQ(errors[0].message.rfind(std::wstring(kName) + L" failed: 0x8007000E", 0), 0u);
    EXPECT_EQ(errors[2].message.rfind(L"(null) failed: 0x8000FFFF", 0), 0u);
    EXPECT_EQ(errors[3].message.rfind(L"Executing Work failed: 0x80004004 Operation aborted [0x", 0), 0u);
}
