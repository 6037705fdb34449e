#include "Platform/Core/System.h"
#include "Platform/Core/Text.h"

#include <gtest/gtest.h>

#include <set>

using namespace Platform;

TEST(TextTest, RoundTripsIncludingSupplementaryPlanesAndMalformedInput)
{
    std::wstring text = L"A\u00e9\u4e2d\U0001F600";
    std::string bytes = ToUtf16Le(text);
    ASSERT_EQ(bytes.size(), 10u); // 3 units + a surrogate pair
    EXPECT_EQ(bytes.substr(0, 2), std::string("A\0", 2));
    EXPECT_EQ(FromUtf16Le(bytes.data(), bytes.size()), text);
    EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
    EXPECT_EQ(Widen("\xE9"), std::wstring(L"\u00e9"));
    // Odd trailing bytes, lone surrogates, cut, stray and overlong sequences do not break decoding.
    std::string broken = bytes.substr(0, 8) + "x";
    EXPECT_EQ(FromUtf16Le(broken.data(), broken.size()), std::wstring(L"A\u00e9\u4e2d\uFFFD"));
    EXPECT_EQ(FromUtf8("\xC3"), std::wstring(L"\uFFFD"));
    EXPECT_EQ(FromUtf8("a\xFF"
                       "b"),
              std::wstring(L"a\uFFFDb"));
    EXPECT_EQ(FromUtf8("\xC0\x80"), std::wstring(L"\uFFFD"));
}

TEST(SystemTest, UuidsAreVersion4AndDistinct)
{
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i)
    {
        GUID g{};
        ASSERT_EQ(UuidCreate(&g), 0u);
        EXPECT_EQ(g.Data3 >> 12, 4);
        EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
        seen.insert(std::string(reinterpret_cast<const char*>(&g), sizeof(g)));
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_NE(UuidCreate(nullptr), 0u);
}

TEST(SystemTest, ErrorsEnvironmentClocksAndIdentity)
{
    EXPECT_EQ(Win32FromErrno(ENOENT), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_EQ(Win32FromErrno(ENOTDIR), ERROR_PATH_NOT_FOUND_CODE);
    EXPECT_EQ(Win32FromErrno(0), 0u);

    EXPECT_EQ(ExpandEnvironmentStrings(L"100%"), L"100%"); // a lone sign is no name
    std::wstring value;
    SetEnvironmentVariable(L"RSM_CORE_TEST_VAR", nullptr);
    EXPECT_FALSE(GetEnvironmentVariable(L"RSM_CORE_TEST_VAR", value));

    std::uint64_t ft = GetSystemTimeAsFileTime();
    EXPECT_GT(ft, 130000000000000000ULL); // after 2013
    EXPECT_GE(ToLocalTime(ft).year, 2013u);
    EXPECT_NE(GetExecutablePath().find(L"CoreTest"), std::wstring::npos);
    EXPECT_NE(GetCommandLine().find(L"CoreTest"), std::wstring::npos);
    void* base = nullptr;
    EXPECT_FALSE(GetModulePathOf(reinterpret_cast<const void*>(&GetTickCount), &base).empty());
    EXPECT_NE(base, nullptr);
    EXPECT_EQ(ToFileSystemPath(L"\\a\\b"), "/a/b");
}
