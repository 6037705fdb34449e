#include "Common/ErrorHandling/ErrorMessages.h"
#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Common/Settings/SettingsTestSupport.h"
#include "Platform/Core/System.h"

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace ErrorHandling;
using namespace TestSupport;
namespace fs = std::filesystem;

TEST(ErrorMessagesTest, ProcessLookupUsesShippedFileAndCaches)
{
    // Runs first: the process tables are built here. The test's environment lists a missing
    // file before the shipped one; the failure's text is looked up while the tables are built.
    LogCapture log;
    EXPECT_EQ(MessageText(HR_RSM_ERROR_1), L"The reporting settings are not available");
    EXPECT_EQ(MessageText(HR_PATH_ABOVE_ROOT),
              L"The node path leads above the root of the configuration tree");
    auto failures = log.Find(Logging::Err, L"Loading errormsg module '" + OwnModuleFolder() +
                                               L"Missing.dll' failed: 0x80070002 ");
    EXPECT_EQ(failures.size(), 1u);

    std::wstring cached;
    EXPECT_FALSE(MessageTextCache::Instance().Find(0x80049999, cached));
    EXPECT_EQ(MessageText(MakeHr(0x80049999)), L"<no description>");
    // Cached: a later insertion does not replace the text.
    MessageTextCache::Instance().Insert(0x80049999, L"ignored");
    EXPECT_EQ(MessageText(MakeHr(0x80049999)), L"<no description>");
}

TEST(ErrorMessagesTest, FilesParseAndLoadOrSayWhyNot)
{
    std::map<std::uint32_t, std::wstring> texts;
    ASSERT_TRUE(CMessageModule::Parse("\xEF\xBB\xBF# comment\r\n\r\n  0x80040300\tFirst text.\r\n"
                                      "17 Tab\\there\\nnext \\\\ end\n"
                                      "0XABC Caf\xC3\xA9",
                                      texts));
    EXPECT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0x80040300], L"First text.");
    EXPECT_EQ(texts[17], L"Tab\there\nnext \\ end");
    EXPECT_EQ(texts[0xABC], L"Caf\u00E9");

    for (const char* bad : {"0x10", "12a text", "0x100000000 too big", "1 a\\q", "1 one\n1 twice"})
    {
        std::map<std::uint32_t, std::wstring> ignored;
        EXPECT_FALSE(CMessageModule::Parse(bad, ignored)) << bad;
    }

    // Loading reports why a file cannot be used.
    TempDir folder;
    WriteTextFile(folder.File("good.msg"), "0x80040300 Good\n");
    WriteTextFile(folder.File("bad.msg"), "garbage\n");
    WriteTextFile(folder.File("large.msg"), std::string(5 * 1024 * 1024, '#'));

    auto good = CMessageModule::Load(folder.WFile("good.dll")); // ".dll" stands for ".msg"
    ASSERT_NE(good, nullptr);
    ASSERT_NE(good->Find(0x80040300), nullptr);
    EXPECT_EQ(*good->Find(0x80040300), L"Good");
    EXPECT_EQ(good->Find(0x80040301), nullptr);

    const std::pair<std::wstring, std::uint32_t> cases[] = {
        {folder.WFile("missing.msg"), ERROR_FILE_NOT_FOUND_CODE},
        {folder.WFile("bad.msg"), 11u},
        {folder.WFile("large.msg"), 223u},
        {Platform::FromUtf8(folder.Path()) + L"/", 11u},
        {L"", ERROR_INVALID_PARAMETER_CODE},
        {L"/" + std::wstring(5000, L'n'), 206u}};
    for (const auto& [name, error] : cases)
    {
        Platform::SetLastError(0);
        EXPECT_EQ(CMessageModule::Load(name), nullptr);
        EXPECT_EQ(Platform::GetLastError(), error);
    }
}

TEST(ErrorMessagesTest, BareNamesFollowTheirSearchRule)
{
    TempDir folder;
    // A bare primary name is looked for beside the module (the shipped file is there); a bare
    // fallback name goes through the search folders, the current folder among them.
    WriteTextFile(folder.File("OnlyHere.msg"), "1 Here\n");
    const fs::path cwd = fs::current_path();
    fs::current_path(folder.Path());
    ErrorMessageModules modules(L"OnlyHere.msg,TalErrorMessages.dll", L"OnlyHere.msg");
    fs::current_path(cwd);
    ASSERT_NE(modules.primary[0], nullptr);
    EXPECT_EQ(modules.primary[0]->Path(), OwnModuleFolder() + L"TalErrorMessages.msg");
    EXPECT_EQ(modules.primary[1], nullptr);
    ASSERT_NE(modules.fallback[0], nullptr);
    EXPECT_NE(modules.fallback[0]->Find(1), nullptr);
}

TEST(ErrorMessagesTest, LookupOrderPrefersPrimaryForInterfaceCodesThenSystemThenFallback)
{
    TempDir folder;
    WriteTextFile(folder.File("primary.msg"),
                  "0x80040300 Primary text.\n0x80040100 Below the range\n0x80004005 Primary E_FAIL\n");
    WriteTextFile(folder.File("fallback.msg"),
                  "0x80040300 Fallback text\n0x80040301 Only fallback. \\r\\n\n"
                  "0x80040100 Fallback below\n0x1234 Plain win32\n0x80004005 Fallback E_FAIL\n");
    ErrorMessageModules modules(folder.WFile("primary.msg"), folder.WFile("fallback.msg"));

    EXPECT_EQ(MessageTextFrom(MakeHr(0x80040300), &modules), L"Primary text");
    EXPECT_EQ(MessageTextFrom(MakeHr(0x80040301), &modules), L"Only fallback");
    EXPECT_EQ(MessageTextFrom(MakeHr(0x80040100), &modules), L"Fallback below");
    EXPECT_EQ(MessageTextFrom(E_FAIL, &modules), L"Unspecified error");            // system before fallback
    EXPECT_EQ(MessageTextFrom(HR_NOT_FOUND, &modules), L"Element not found");      // retried as 1168
    EXPECT_EQ(MessageTextFrom(MakeHr(0x80071234), &modules), L"Plain win32");      // low bits in fallback
    EXPECT_EQ(MessageTextFrom(MakeHr(0x80041234), &modules), L"<no description>"); // not Win32: no retry
    EXPECT_EQ(MessageTextFrom(MakeHr(0x80040300), nullptr), L"<no description>");

    std::wstring raw;
    ASSERT_TRUE(TryFormatMessage(raw, 5, nullptr));
    EXPECT_EQ(raw, L"Access is denied.\r\n");
}

TEST(ErrorMessagesTest, ConcurrentLookupsAgree)
{
    std::atomic<int> mismatches{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
        {
            threads.emplace_back(
                [&mismatches]
                {
                    for (std::uint32_t i = 0; i < 200; ++i)
                    {
                        HRESULT code = MakeHr(0x80070000u + (i % 40));
                        mismatches +=
                            MessageText(code) != MessageTextFrom(code, ErrorMessageModules::Instance());
                    }
                });
        }
    }
    EXPECT_EQ(mismatches, 0);
}
