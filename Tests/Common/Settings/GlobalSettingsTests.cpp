#include "Common/Settings/GlobalSettings.h"
#include "Common/Settings/IniFile.h"
#include "Common/Settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

using namespace Settings;
using namespace TestSupport;

TEST(GlobalSettingsTest, NumbersUseAutomaticBaseAndRejectLeftovers)
{
    std::uint32_t v = 0;
    for (auto [text, value] :
         {std::pair{L"0x10", 16u}, {L"010", 8u}, {L"0", 0u}, {L"0XfFfFfFfF", 0xFFFFFFFFu}})
    {
        EXPECT_EQ(S_OK, ParseNumber(text, v));
        EXPECT_EQ(value, v) << text;
    }
    v = 77;
    for (const wchar_t* bad : {L"", L"12ab", L"08", L"-1", L"0x100000000", L"99999999999999999999999"})
    {
        EXPECT_EQ(E_INVALIDARG, ParseNumber(bad, v)) << bad;
    }
    EXPECT_EQ(77u, v) << "a failed parse leaves the value alone";

    // Provider values are trimmed before parsing: a trailing blank is fine, trailing letters are not.
    ScopedEnv a("GS_NumTest_A", "12 ");
    ScopedEnv b("GS_NumTest_B", "12 x");
    EXPECT_EQ(S_OK, GetGlobalSettingNumber(L"NumTest", L"A", v));
    EXPECT_EQ(12u, v);
    EXPECT_EQ(E_INVALIDARG, EnvironmentSettingsProvider().GetNumber(L"NumTest", L"B", v));
}

TEST(GlobalSettingsTest, IniReaderFollowsProfileRules)
{
    TempDir dir;
    std::string big(1000, 'x');
    std::string edge(259, 'y'); // exactly fills the first buffer: must trigger the doubling
    WriteTextFile(dir.File("a.ini"),
                  "; comment\n[Other]\nKey=wrong\n[  logger ]\r\n  MaxSeverity =  DBG2  \r\n"
                  "Empty=\nQuoted=\"  spaced  \"\nBig=" +
                      big + "\nEdge=" + edge + "\nNoEquals\n[Logger]\nLate=found\n");
    std::wstring v;
    std::wstring file = dir.WFile("a.ini");
    // Names match in any case; an empty value is absent; a repeated section is searched too.
    const std::pair<const wchar_t*, std::optional<std::wstring>> reads[] = {
        {L"maxseverity", L"DBG2"}, {L"Empty", std::nullopt},           {L"Quoted", L"  spaced  "},
        {L"Late", L"found"},       {L"Big", std::wstring(1000, L'x')}, {L"Edge", std::wstring(259, L'y')},
        {L"Key", std::nullopt},    {L"NoEquals", std::nullopt}};
    for (const auto& [key, expected] : reads)
    {
        EXPECT_EQ(expected.has_value(), ReadIniString(file, L"LOGGER", key, v)) << key;
        EXPECT_EQ(expected.value_or(v), v) << key; // the value only matters when found
    }
    EXPECT_FALSE(ReadIniString(file, nullptr, L"Key", v));
    EXPECT_FALSE(ReadIniString(dir.WFile("missing.ini"), L"Other", L"Key", v));
    EXPECT_FALSE(ReadIniString(Platform::FromUtf8(dir.Path()), L"Other", L"Key", v))
        << "a folder is unreadable";

    EXPECT_EQ(0u, GetPrivateProfileString(L"Logger", L"Big", L"", nullptr, 5, file));

    // UTF-16LE with byte order mark.
    WriteTextFile(dir.File("w.ini"), "\xFF\xFE" + Platform::ToUtf16Le(L"[S]\r\nK=\u00e9t\u00e9\r\n"));
    EXPECT_TRUE(ReadIniString(dir.WFile("w.ini"), L"s", L"k", v));
    EXPECT_EQ(L"\u00e9t\u00e9", v);
}

TEST(GlobalSettingsTest, ChainPrefersEnvironmentThenNamedIniThenCandidates)
{
    TempDir dir;
    WriteTextFile(dir.File("named.ini"), "[General]\nDataDirectoryPath = /from/named \nNumber=0x20\n");
    ScopedEnv named("GLOBAL_SETTINGS_INI", dir.File("named.ini"));
    ScopedEnv env("GS_General_DataDirectoryPath", "  /from/env  ");
    ScopedEnv num("GS_General_Number", "not a number");
    ScopedEnv empty("GS_Chain_Empty", "");

    std::wstring v;
    EXPECT_EQ(S_OK, GetGlobalSetting(nullptr, L"DataDirectoryPath", v)) << "a null section means General";
    EXPECT_EQ(L"/from/env", v) << "the environment wins over every ini file, trimmed";
    env.Set(std::nullopt);
    EXPECT_EQ(S_OK, GetGlobalSetting(L"General", L"DataDirectoryPath", v));
    EXPECT_EQ(L"/from/named", v);

    std::uint32_t n = 0;
    EXPECT_EQ(S_OK, GetGlobalSettingNumber(nullptr, L"Number", n))
        << "a non-numeric environment value lets the ini through";
    EXPECT_EQ(32u, n);

    EXPECT_EQ(S_OK, GetGlobalSetting(L"Chain", L"Empty", v)) << "set but empty is present";
    EXPECT_EQ(L"", v);
    EXPECT_EQ(HR_NOT_FOUND, GetGlobalSetting(L"Chain", L"Nothing", v));
    EXPECT_EQ(E_INVALIDARG, GetGlobalSetting(L"Chain", nullptr, v));
    std::wstring longKey(100000, L'k');
    EXPECT_EQ(HR_NOT_FOUND, GetGlobalSetting(L"Chain", longKey.c_str(), v));

    // A named file that lacks the key (or cannot be read) still lets the candidates answer.
    std::string exeDir = dir.Path() + "/bin/";
    std::string modDir = dir.Path() + "/mod/";
    IniFileSettingsProvider ini(Platform::FromUtf8(exeDir + "app"), Platform::FromUtf8(modDir + "librsm.so"));
    const std::string files[] = {exeDir + "app.ini", exeDir + "librsm.ini", exeDir + "GlobalSettings.ini",
                                 modDir + "librsm.ini", modDir + "GlobalSettings.ini"};
    std::vector<std::wstring> expected;
    for (int i = 0; i < 5; ++i)
    {
        expected.push_back(Platform::FromUtf8(files[i]));
        WriteTextFile(files[i], "[S]\nK=" + std::to_string(i) + "\n");
    }
    EXPECT_EQ(expected, ini.Candidates());
    for (int i = 0; i < 5; ++i)
    {
        ASSERT_EQ(S_OK, ini.GetString(L"S", L"K", v));
        EXPECT_EQ(std::to_wstring(i), v) << "candidate " << i << " answers once the earlier ones are gone";
        std::filesystem::remove(files[i]);
    }
    EXPECT_EQ(HR_NOT_FOUND, ini.GetString(L"S", L"K", v));
    named.Set(dir.Path()); // a folder: unreadable
    WriteTextFile(files[3], "[S]\nK=3\n");
    EXPECT_EQ(S_OK, ini.GetString(L"S", L"K", v));
    EXPECT_EQ(L"3", v);
    EXPECT_EQ(E_INVALIDARG, ini.GetString(L"S", nullptr, v));

    // The module being the executable, or sharing its folder, shortens the list.
    EXPECT_EQ(2u, IniFileSettingsProvider(L"/x/app", L"/x/app").Candidates().size());
    EXPECT_EQ(3u, IniFileSettingsProvider(L"/x/app", L"/x/lib.so").Candidates().size());
    EXPECT_EQ(L"\\w\\a.b.ini", IniFileSettingsProvider(L"\\w\\a.b.exe", L"").Candidates()[0]);
}

TEST(GlobalSettingsTest, SectionCachesUntilCleared)
{
    SettingsSection section(L"CacheTest");
    ScopedEnv value("GS_CacheTest_Value", "one");
    ScopedEnv number("GS_CacheTest_Number", "0x10");
    ScopedEnv absent("GS_CacheTest_Absent", std::nullopt);

    std::wstring s;
    EXPECT_EQ(L"one", section.GetString(L"Value", L"d"));
    EXPECT_EQ(16u, section.GetNumber(L"Number", 0));
    EXPECT_FALSE(section.TryGetString(L"Absent", s));

    value.Set("two");
    number.Set("3");
    absent.Set("now here");
    EXPECT_EQ(L"one", section.GetString(L"Value", L"d"));
    EXPECT_EQ(16u, section.GetNumber(L"Number", 0));
    EXPECT_EQ(L"d", section.GetString(L"Absent", L"d")) << "an absent key is not asked again";

    section.ClearCaches();
    EXPECT_EQ(L"two", section.GetString(L"Value", L"d"));
    EXPECT_EQ(3u, section.GetNumber(L"Number", 0));
    EXPECT_EQ(L"now here", section.GetString(L"Absent", L"d"));
    number.Set("zz");
    section.ClearCaches();
    EXPECT_EQ(7u, section.GetNumber(L"Number", 7)) << "not a number counts as absent";
}
