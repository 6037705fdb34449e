#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Platform/Core/System.h"

#include <gtest/gtest.h>

using namespace TestSupport;

TEST(HResultTest, FailureTakesAndClearsTheThreadErrorInfo)
{
    SetErrorInfo(0, MakeErrorInfo(L"from a sibling").Get());
    HRX caught = Caught([] { HRX() = E_FAIL; }); // the assignment, not the constructor
    EXPECT_EQ(caught.Code(), E_FAIL);
    EXPECT_EQ(PublishedText(), L"") << "the slot was cleared";
    ASSERT_NE(caught.ErrorInfo(), nullptr);
    SetErrorInfo(0, caught.ErrorInfo());
    EXPECT_EQ(PublishedText(), L"from a sibling");

    // A success keeps the slot; a Win32 result never takes it.
    SetErrorInfo(0, MakeErrorInfo(L"kept").Get());
    HRES ok;
    ok.Set(S_OK);
    EXPECT_EQ(ok.ErrorInfo(), nullptr);
    HRES win;
    win.Set(Win32Error{5});
    EXPECT_EQ(win.Code(), MakeHr(0x80070005));
    EXPECT_EQ(win.ErrorInfo(), nullptr);
    EXPECT_EQ(PublishedText(), L"kept");
}

TEST(HResultTest, Win32FormsAndRaise)
{
    EXPECT_EQ(HResultFromWin32(0), 0);
    EXPECT_EQ(HResultFromWin32(1168), HR_NOT_FOUND);
    EXPECT_EQ(HResultFromWin32(0x80004005u), E_FAIL); // already an HRESULT
    EXPECT_EQ(HResultFromWin32(0x12345u), MakeHr(0x80072345));

    Platform::SetLastError(0);
    EXPECT_EQ(CodeOf([] { HRX x = Win32Bool{0}; }), S_OK); // failure without last error records S_OK
    Platform::SetLastError(2);
    EXPECT_EQ(CodeOf([] { HRX x = Win32Bool{0}; }), MakeHr(0x80070002));
    EXPECT_EQ(CodeOf([] { HRX x = Win32Bool{1}; }), S_OK);
    EXPECT_EQ(CodeOf([] { HRX x = E_INVALIDARG; }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { HRX x = Win32Error{259}; }), HR_NO_MORE_ITEMS);
    EXPECT_EQ(CodeOf([] { RaiseHResult(HR_NOT_FOUND); }), HR_NOT_FOUND);
    EXPECT_EQ(CodeOf([] { RaiseHResult(S_OK); }), E_FAIL);
    EXPECT_EQ(CodeOf([] { RaiseHResult(1); }), E_FAIL);

    HRES tolerated;
    tolerated.Set(HR_NOT_FOUND);
    EXPECT_TRUE(tolerated.Failed());
    EXPECT_EQ(CodeOf([&] { tolerated.ThrowIfFailed(); }), HR_NOT_FOUND);
}
