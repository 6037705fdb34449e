#include "Common/Components/InterfacePtr.h"
#include "Common/ErrorHandling/Boundary.h"
#include "Common/ErrorHandling/LogCapture.h"
#include "Common/Logging/Trace.h"

#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

using namespace ErrorHandling;
using Components::InterfacePtr;
using TestSupport::LogCapture;

namespace
{
const wchar_t kName[] = L"Test::CThing::Operation";

InterfacePtr<IErrorInfo> TakeThreadErrorInfo()
{
    InterfacePtr<IErrorInfo> info;
    GetErrorInfo(0, info.Out());
    return info;
}

std::wstring PublishedText()
{
    auto info = TakeThreadErrorInfo();
    if (!info)
    {
        return L"";
    }
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::wstring result(text, SysStringLen(text));
    SysFreeString(text);
    return result;
}
} // namespace

TEST(BoundaryTest, SuccessReturnsTheBodyResultAndLogsNothing)
{
    LogCapture log;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(RSM_BOUNDARY(kName, 10, [] {}), S_OK);
    EXPECT_EQ(RSM_BOUNDARY(kName, 10, [] { return S_FALSE; }), S_FALSE);
    EXPECT_TRUE(log.Find(Logging::Err, L"").empty());
    EXPECT_FALSE(TakeThreadErrorInfo());
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
    ASSERT_NE(exception, lines.end());
    EXPECT_LT(exception, failed);

    EXPECT_EQ(PublishedText(), expected);
}

TEST(BoundaryTest, ForeignExceptionsNeverCrossAndAreReportedAlike)
{
    LogCapture log;
    EXPECT_EQ(RSM_BOUNDARY(kName, 1, [] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(PublishedText().rfind(L"0x8007000E ", 0), 0u);
    EXPECT_EQ(RSM_BOUNDARY(kName, 2, [] { throw std::length_error("too long"); }), E_UNEXPECTED);
    EXPECT_EQ(PublishedText().rfind(L"0x8000FFFF Catastrophic failure", 0), 0u);
    EXPECT_EQ(RSM_BOUNDARY(nullptr, 3, [] { throw 42; }), E_UNEXPECTED);
    EXPECT_TRUE(TakeThreadErrorInfo());

    auto errors = log.Find(Logging::Err, L"");
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0].message.rfind(std::wstring(kName) + L" failed: 0x8007000E", 0), 0u);
    EXPECT_EQ(errors[2].message.rfind(L"(null) failed: 0x8000FFFF", 0), 0u);
}

TEST(BoundaryTest, WorkersLogButLeaveTheThreadErrorInfoAlone)
{
    LogCapture log;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(RSM_WORKER(L"Executing Work", 86, [] { RaiseHResult(E_ABORT); }), E_ABORT);
    EXPECT_EQ(RSM_WORKER(L"Executing Work", 86, [] { throw std::runtime_error("x"); }), E_UNEXPECTED);
    EXPECT_FALSE(TakeThreadErrorInfo());
    auto errors = log.Find(Logging::Err, L"Executing Work failed: ");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].message.rfind(L"Executing Work failed: 0x80004004 Operation aborted [0x", 0), 0u);
}
