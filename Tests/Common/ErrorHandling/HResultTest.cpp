#include "Common/ErrorHandling/HResult.h"
#include "Platform/Core/System.h"

#include <functional>

#include <gtest/gtest.h>

namespace
{
HRESULT Capture(const std::function<void()>& body, HRX* caught = nullptr)
{
    try
    {
        body();
    }
    catch (const HRX& e)
    {
        if (caught != nullptr)
        {
            *caught = e;
        }
        return e.Code();
    }
    return S_OK;
}

void SetThreadErrorInfo(const wchar_t* description)
{
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(description);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(&IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
}
} // namespace

TEST(HResultTest, HResultFromWin32)
{
    EXPECT_EQ(HResultFromWin32(0), 0);
    EXPECT_EQ(HResultFromWin32(1168), HR_NOT_FOUND);
    EXPECT_EQ(HResultFromWin32(0x80004005u), E_FAIL); // already an HRESULT
    EXPECT_EQ(HResultFromWin32(0x12345u), MakeHr(0x80072345));
}

TEST(HResultTest, SuccessDoesNotThrowAndFailureThrowsWithAddresses)
{
    HRX hr;
    EXPECT_NO_THROW(hr = S_OK);
    EXPECT_NO_THROW(hr = S_FALSE);
    void* const* addresses = nullptr;
    EXPECT_EQ(hr.Addresses(&addresses), 0u);

    HRX caught;
    EXPECT_EQ(Capture([] { HRX x = E_INVALIDARG; }, &caught), E_INVALIDARG);
    EXPECT_TRUE(caught.Failed());
    EXPECT_GE(caught.Addresses(&addresses), 1u);
    EXPECT_NE(addresses[0], nullptr);
}

TEST(HResultTest, FailureTakesAndClearsTheThreadErrorInfo)
{
    SetThreadErrorInfo(L"from a sibling");
    HRX caught;
    EXPECT_EQ(Capture(
                  []
                  {
                      HRX x;
                      x = E_FAIL;
                  },
                  &caught),
              E_FAIL);
    ASSERT_NE(caught.ErrorInfo(), nullptr);
    BSTR text = nullptr;
    caught.ErrorInfo()->GetDescription(&text);
    EXPECT_EQ(std::wstring(text), L"from a sibling");
    SysFreeString(text);
    IErrorInfo* left = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);

    // A success keeps the slot; a Win32 result never takes it.
    SetThreadErrorInfo(L"kept");
    HRES ok;
    ok.Set(S_OK);
    EXPECT_EQ(ok.ErrorInfo(), nullptr);
    HRES win;
    win.Set(Win32Error{5});
    EXPECT_EQ(win.Code(), MakeHr(0x80070005));
    EXPECT_EQ(win.ErrorInfo(), nullptr);
    EXPECT_EQ(GetErrorInfo(0, &left), S_OK);
    left->Release();
}

TEST(HResultTest, Win32FormsAndRaise)
{
    Platform::SetLastError(0);
    EXPECT_EQ(Capture([] { HRX x = Win32Bool{0}; }), S_OK); // failure without last error records S_OK
    Platform::SetLastError(2);
    EXPECT_EQ(Capture([] { HRX x = Win32Bool{0}; }), MakeHr(0x80070002));
    EXPECT_EQ(Capture([] { HRX x = Win32Bool{1}; }), S_OK);
    EXPECT_EQ(Capture([] { HRX x = Win32Error{259}; }), HR_NO_MORE_ITEMS);
    EXPECT_EQ(Capture([] { RaiseHResult(HR_NOT_FOUND); }), HR_NOT_FOUND);
    EXPECT_EQ(Capture([] { RaiseHResult(S_OK); }), E_FAIL);
    EXPECT_EQ(Capture([] { RaiseHResult(1); }), E_FAIL);

    HRES tolerated;
    tolerated.Set(HR_NOT_FOUND);
    EXPECT_TRUE(tolerated.Failed());
    EXPECT_EQ(Capture([&] { tolerated.ThrowIfFailed(); }), HR_NOT_FOUND);
    HRES copy = tolerated;
    EXPECT_EQ(copy.Code(), HR_NOT_FOUND);
}
