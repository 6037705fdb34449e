#include "Common/Base/Path.h"
#include "Common/Base/Results.h"
#include "Common/Base/Text.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <vector>

TEST(BaseText, NoCaseComparisonsFoldEveryCharacterAndRespectLength)
{
    EXPECT_TRUE(Base::EqualsNoCase(L"MaxSeverity", L"MAXSEVERITY"));
    EXPECT_FALSE(Base::EqualsNoCase(L"Dbg", L"Dbg2"));
    EXPECT_TRUE(Base::LessNoCase(L"alpha", L"BETA"));
    EXPECT_TRUE(Base::LessNoCase(L"ab", L"ABC"));
    EXPECT_TRUE(Base::EndsWithNoCase(L"TalErrorMessages.DLL", L".dll"));
    EXPECT_FALSE(Base::EndsWithNoCase(L"dll", L".dll"));

    std::map<std::wstring, int, Base::NoCaseLess> byName{{L"Path", 1}};
    EXPECT_EQ(byName.count(L"PATH"), 1u);
}

TEST(BasePath, ChildAndJoinedPathsKeepOneBackslashBetweenComponents)
{
    EXPECT_EQ(Base::ChildPath(L"\\", L"A"), L"\\A");
    EXPECT_EQ(Base::ChildPath(L"", L"A"), L"\\A");
    EXPECT_EQ(Base::ChildPath(L"\\A", L"B"), L"\\A\\B");

    std::wstring path = L"\\";
    Base::AppendPathComponent(path, L"A");
    Base::AppendPathComponent(path, L"B");
    EXPECT_EQ(path, L"\\A\\B");

    EXPECT_EQ(Base::JoinPath(std::vector<std::wstring>{}), L"\\");
    EXPECT_EQ(Base::JoinPath(std::vector<std::wstring_view>{L"A", L"B"}), L"\\A\\B");
}

TEST(BaseResults, Win32CodesMapOnceAndOnlyAllocationFailuresAreCaught)
{
    EXPECT_EQ(Base::HResultFromWin32(0), S_OK);
    EXPECT_EQ(Base::HResultFromWin32(5), E_ACCESSDENIED);
    EXPECT_EQ(Base::HResultFromWin32(0x12345u), MakeHr(0x80072345u));
    EXPECT_EQ(Base::HResultFromWin32(0x80004005u), E_FAIL);

    EXPECT_EQ(Base::CallGuarded([] { return S_FALSE; }), S_FALSE);
    EXPECT_EQ(Base::CallGuarded([]() -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_THROW(Base::CallGuarded([]() -> HRESULT { throw std::runtime_error("x"); }), std::runtime_error);
}
