#include "Common/ErrorHandling/Boundary.h"
#include "Common/ErrorHandling/ErrorTestSupport.h"

#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

using namespace ErrorHandling;
using namespace TestSupport;

namespace
{
const wchar_t kName[] = L"Test::CThing::Operation";
}

TEST(BoundaryTest, HrxBecomesOneErrLineAndPublishedErrorInfo)
{
    LogCapture log;
    EXPECT_EQ(RSM_BOUNDARY(kName, 332, [] { RaiseHResult(HR_NOT_FOUND); }), HR_NOT_FOUND);
    const std::wstring published = PublishedText();
    EXPECT_EQ(published.rfind(L"0x80070490 Element not found [0x", 0), 0u);

    auto errors = log.Find(Logging::Err, L"");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, std::wstring(kName) + L" failed: " + published);
    EXPECT_EQ(errors[0].line, 332u);
    EXPECT_NE(errors[0].file.find("BoundaryTest.cpp"), std::string::npos);
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
