#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Platform/Core/System.h"

#include <dlfcn.h>
#include <link.h>

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
    Platform::SetLastError(0);
    EXPECT_EQ(CodeOf([] { HRX x = Win32Bool{0}; }), S_OK); // failure without last error records S_OK
    Platform::SetLastError(2);
    EXPECT_EQ(CodeOf([] { HRX x = Win32Bool{0}; }), MakeHr(0x80070002));
    EXPECT_EQ(CodeOf([] { HRX x = Win32Bool{1}; }), S_OK);
    EXPECT_EQ(CodeOf([] { HRX x = Win32Error{259}; }), HR_NO_MORE_ITEMS);
    EXPECT_EQ(CodeOf([] { RaiseHResult(S_OK); }), E_FAIL);

    HRES tolerated;
    tolerated.Set(HR_NOT_FOUND);
    EXPECT_TRUE(tolerated.Failed());
    EXPECT_EQ(CodeOf([&] { tolerated.ThrowIfFailed(); }), HR_NOT_FOUND);
}

// The recording function and its caller for the return address test; exported so that the
// dynamic symbol table gives their extents. The empty asm statements keep the calls out of tail
// position.
extern "C" __attribute__((noinline, visibility("default"))) void RsmTestRecordFailure(int how, HRES* out)
{
    try
    {
        HRX hr(how == 1 ? MakeHr(0x80070005) : S_OK); // case 1: the constructor
        Platform::SetLastError(2);
        switch (how)
        {
        case 0:
            hr = E_FAIL;
            break;
        case 2:
            hr = Win32Error{5};
            break;
        case 3:
            hr = Win32Bool{0};
            break;
        default:
            out->Set(E_FAIL);
        }
    }
    catch (const HRX& e)
    {
        *out = e;
    }
    asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, visibility("default"))) void RsmTestCallRecorder(int how, HRES* out)
{
    RsmTestRecordFailure(how, out);
    asm volatile("" ::: "memory");
}

namespace
{
// Whether address lies inside the function that starts at start.
bool Inside(const void* address, const void* start)
{
    Dl_info info{};
    ElfW(Sym)* symbol = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&symbol), RTLD_DL_SYMENT) == 0 || symbol == nullptr)
    {
        return false;
    }
    const auto* begin = static_cast<const char*>(info.dli_saddr);
    const auto* at = static_cast<const char*>(address);
    return info.dli_saddr == start && at > begin && at < begin + symbol->st_size;
}
} // namespace

TEST(HResultTest, ReturnAddressesLieInTheRecorderAndItsCaller)
{
    for (int how = 0; how < 5; ++how)
    {
        HRES recorded;
        RsmTestCallRecorder(how, &recorded);
        ASSERT_TRUE(recorded.Failed()) << how;
        void* const* addresses = nullptr;
        ASSERT_EQ(recorded.Addresses(&addresses), 2u) << how;
        EXPECT_TRUE(Inside(addresses[0], reinterpret_cast<const void*>(&RsmTestRecordFailure))) << how;
        EXPECT_TRUE(Inside(addresses[1], reinterpret_cast<const void*>(&RsmTestCallRecorder))) << how;
    }
}
