#include "Common/ErrorHandling/ErrorTestSupport.h"
#include "Common/Settings/DataDirectory.h"
#include "Common/Settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

using namespace Settings;
using namespace TestSupport;

namespace
{
std::wstring ModuleFolder()
{
    std::wstring exe = Platform::GetExecutablePath();
    std::replace(exe.begin(), exe.end(), L'/', L'\\');
    return exe.substr(0, exe.rfind(L'\\') + 1);
}

struct DataDirectoryTest : ::testing::Test
{
    TempDir dir;
    ScopedEnv registry{"RSM_REGISTRY_DIR", dir.Path()};
    ScopedEnv path{"GS_General_DataDirectoryPath", std::nullopt};
    ScopedEnv key{"GS_General_DataDirectoryPathOverrideRegKey", std::nullopt};
    ScopedEnv named{"GLOBAL_SETTINGS_INI", std::nullopt};
};
} // namespace

TEST_F(DataDirectoryTest, BaseComesFromSettingsOrTheModuleFolder)
{
    EXPECT_EQ(ModuleFolder(), DataDirectory().Base()) << "no setting: the module's folder";
    EXPECT_EQ(ModuleFolder() + L"Logs\\x", DataDirectory().ResolvePath(L"Logs\\x"));

    ScopedEnv root("RSM_TEST_ROOT", "/srv/data");
    path.Set("%RSM_TEST_ROOT%/product");
    EXPECT_EQ(L"/srv/data/product\\", DataDirectory().Base()) << "references are expanded";
    path.Set("rel\\sub\\");
    EXPECT_EQ(ModuleFolder() + L"rel\\sub\\", DataDirectory().Base()) << "relative lies in the module folder";
    path.Set("C:\\Data");
    DataDirectory d;
    EXPECT_EQ(L"/abs/x", d.ResolvePath(L"/abs/x")) << "absolute paths come back unchanged";
    EXPECT_EQ(L"/srv/data/x", d.ResolvePath(L"%RSM_TEST_ROOT%/x"));
    EXPECT_EQ(L"C:\\Data\\", d.ResolvePath(L""));
    EXPECT_EQ(L"C:\\Data\\%RSM_UNKNOWN_NAME%\\a", d.ResolvePath(L"%RSM_UNKNOWN_NAME%\\a"));
}

TEST_F(DataDirectoryTest, OverridesReplaceTheLongestMatchingLeadingPart)
{
    path.Set("/data");
    WriteTextFile(dir.File("HKEY_LOCAL_MACHINE.reg"), "[Software\\Rsm\\Folders]\n"
                                                      "\"Logs\"=\"/var/log/rsm\"\n"
                                                      "\"LOGS/archive\"=\"/archive/\"\n"
                                                      "\"Cache\"=expand:\"%RSM_TEST_CACHE%\\\\c\"\n"
                                                      "\"Level\"=dword:00000010\n"
                                                      "; comment\n"
                                                      "[Software\\Rsm\\Other]\n"
                                                      "\"Logs\"=\"/wrong\"\n");
    ScopedEnv cache("RSM_TEST_CACHE", "/tmp/cache");
    key.Set("HKLM\\software\\RSM\\folders");
    DataDirectory d;
    EXPECT_EQ(3u, d.Overrides().size()) << "the DWORD value is not a folder";
    EXPECT_EQ(L"/archive/2024", d.ResolvePath(L"Logs\\Archive\\2024"));
    EXPECT_EQ(L"/var/log/rsm\\Other", d.ResolvePath(L"logs/Other"));
    EXPECT_EQ(L"/tmp/cache\\c\\x", d.ResolvePath(L"Cache\\x"));
    EXPECT_EQ(L"/var/log/rsm\\sub", d.ResolvePath(L"Logs\\.\\x\\..\\sub"));
    EXPECT_EQ(L"/data\\Unmapped\\Logs", d.ResolvePath(L"Unmapped\\Logs"));

    // A relative override target stays under the base; the unnamed value moves the base.
    WriteTextFile(dir.File("HKEY_CURRENT_USER.reg"), "[Soft\\K]\n@=\"/moved\"\n\"Logs\"=\"journal\"\n"
                                                     "\"" +
                                                         std::string(300, 'n') + "\"=\"/long\"\n");
    key.Set("HKEY_CURRENT_USER/Soft\\K");
    DataDirectory moved;
    EXPECT_EQ(L"/moved\\", moved.Base());
    EXPECT_EQ(L"/moved\\journal\\x", moved.ResolvePath(L"Logs\\x"));
    EXPECT_EQ(L"/long\\", moved.ResolvePath(std::wstring(300, L'n')));

    // Root names are matched exactly: a lower-case "hkcu" reads HKEY_LOCAL_MACHINE with the whole path.
    key.Set("hkcu\\Soft\\K");
    EXPECT_TRUE(DataDirectory().Overrides().empty());
    WriteTextFile(dir.File("HKEY_LOCAL_MACHINE.reg"), "[hkcu\\Soft\\K]\n\"Logs\"=\"/lm\"\n");
    EXPECT_EQ(L"/lm\\x", DataDirectory().ResolvePath(L"Logs\\x"));

    // A missing store or key means no overrides.
    key.Set("HKLM\\No\\Such\\Key");
    EXPECT_TRUE(DataDirectory().Overrides().empty());
    registry.Set(dir.Path() + "/nowhere");
    key.Set("HKLM\\software\\RSM\\folders");
    EXPECT_TRUE(DataDirectory().Overrides().empty());
}

TEST_F(DataDirectoryTest, MalformedStoreFailsConstructionUntilRepaired)
{
    path.Set("/data");
    key.Set("HKLM\\Bad");
    for (const char* line : {"\"Logs\"=/unquoted", "\"Logs\"=\"unterminated", "\"Logs\"=dword:xyz"})
    {
        WriteTextFile(dir.File("HKEY_LOCAL_MACHINE.reg"),
                      std::string("[Bad]\n\"Ok\"=\"/ok\"\n") + line + "\n");
        EXPECT_EQ(HR_INVALID_DATA, CodeOf([] { DataDirectory d; })) << line;
    }

    DataDirectory::ResetInstance();
    EXPECT_THROW(DataDirectory::Instance(), HRX);
    EXPECT_THROW(DataDirectory::Instance(), HRX) << "construction is attempted again at each use";
    WriteTextFile(dir.File("HKEY_LOCAL_MACHINE.reg"), "[Bad]\n\"Logs\"=\"/fixed\"\n");
    EXPECT_EQ(L"/fixed\\a", DataDirectory::Instance().ResolvePath(L"Logs\\a"));
    WriteTextFile(dir.File("HKEY_LOCAL_MACHINE.reg"), "[Bad]\n\"Logs\"=\"/changed\"\n");
    EXPECT_EQ(L"/fixed\\a", DataDirectory::Instance().ResolvePath(L"Logs\\a")) << "built once, never re-read";
    DataDirectory::ResetInstance();
}
