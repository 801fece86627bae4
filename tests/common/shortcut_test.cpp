// The suite's Start-menu shortcuts and uninstall entry, read back through the shell's link object and the
// registry's 64-bit view.
#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>

#include "registry/registry.h"
#include "shortcut/shortcut.h"
#include "test_support.h"

using tavo::test::BinPath;
using tavo::test::FolderEntries;
using tavo::test::TempFolder;

namespace {

std::wstring SuiteFolder() {
    wchar_t programs[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, programs);
    return std::wstring(programs) + L"\\" + kStartMenuFolderName;
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    return names;
}

void ExpectLink(const std::wstring& shortcut, const std::wstring& target, const std::wstring& arguments,
                const std::wstring& icon, int index) {
    SCOPED_TRACE(tavo::test::Narrow(shortcut));
    ShortcutLink link;
    ASSERT_EQ(CPluginsShortcut::ReadShortcutLink(shortcut.c_str(), link), S_OK);
    EXPECT_EQ(link.target, target);
    EXPECT_EQ(link.arguments, arguments);
    EXPECT_EQ(link.iconFile, icon);
    if (!icon.empty()) {
        EXPECT_EQ(link.iconIndex, index);
    }
}

TEST(Shortcuts, FiveShortcutsOnceEachWithDefaultOrLocalizedNames) {
    TempFolder install(L"tavo install");
    const std::wstring folder = SuiteFolder();
    ASSERT_FALSE(tavo::test::FileExists(folder));
    ASSERT_TRUE(CopyFileW(BinPath(L"fixtures\\resources\\icons\\tavoRes.dll").c_str(),
                          (install / L"tavoRes.dll").c_str(), FALSE));

    CPluginsShortcut::CreateStartmenuShortcut(install.path().c_str());
    WIN32_FILE_ATTRIBUTE_DATA first = {}, second = {};
    GetFileAttributesExW((folder + L"\\Help.lnk").c_str(), GetFileExInfoStandard, &first);
    Sleep(20);
    CPluginsShortcut::CreateStartmenuShortcut(install.path().c_str());
    GetFileAttributesExW((folder + L"\\Help.lnk").c_str(), GetFileExInfoStandard, &second);
    EXPECT_EQ(CompareFileTime(&first.ftLastWriteTime, &second.ftLastWriteTime), 0);
    EXPECT_EQ(Sorted(FolderEntries(folder)),
              (std::vector<std::wstring>{L"Check for Updates.lnk", L"Help.lnk", L"Preferences.lnk",
                                         L"Send Problem Report.lnk", L"Uninstall.lnk"}));
    const std::wstring icons = install / L"tavoRes.dll";
    ExpectLink(folder + L"\\Help.lnk", install / L"tavoInst.exe", L"/help for tavo suite", icons, 2);
    ExpectLink(folder + L"\\Preferences.lnk", install / L"tavoInst.exe", L"/OpenSetting=1", icons, 3);
    ExpectLink(folder + L"\\Uninstall.lnk", install / L"TavoRemover.exe", L"/mauni", L"", 0);
    ExpectLink(folder + L"\\Send Problem Report.lnk", install / L"tavovlroni.exe", L"/sendproblemreport", L"",
               0);
    ExpectLink(folder + L"\\Check for Updates.lnk", install / L"tavoUpdate.exe", L"/ManualCheck 2", L"", 0);
    // The icons the shortcuts name are there: the library holds indexes 0 to 3.
    EXPECT_EQ(ExtractIconExW(icons.c_str(), -1, nullptr, nullptr, 0), 4u);
    EXPECT_TRUE(CPluginsShortcut::DeleteStartmenuShortcut());
    EXPECT_FALSE(tavo::test::FileExists(folder));

    // The resource library gives the names; it is loaded as data only: none of its code runs.
    const std::wstring names = install / L"tavoOI3Res.dll";
    ASSERT_TRUE(
        CopyFileW(BinPath(L"fixtures\\resources\\english\\tavoOI3Res.dll").c_str(), names.c_str(), FALSE));
    CPluginsShortcut::CreateStartmenuShortcut(install.path().c_str());
    EXPECT_EQ(Sorted(FolderEntries(folder)),
              (std::vector<std::wstring>{L"Help Topics.lnk", L"Look for Updates.lnk", L"Options.lnk",
                                         L"Remove Tavo Suite.lnk", L"Report a Problem.lnk"}));
    ExpectLink(folder + L"\\Remove Tavo Suite.lnk", install / L"TavoRemover.exe", L"/mauni", L"", 0);
    EXPECT_EQ(GetEnvironmentVariableW(L"TAVO_RESOURCE_CODE_RAN", nullptr, 0), 0u);
    EXPECT_TRUE(CPluginsShortcut::DeleteStartmenuShortcut());

    // Other languages; a name that is a path falls back to its default.
    ASSERT_TRUE(
        CopyFileW(BinPath(L"fixtures\\resources\\other\\tavoOI3Res.dll").c_str(), names.c_str(), FALSE));
    CPluginsShortcut::CreateStartmenuShortcut(install.path().c_str());
    EXPECT_EQ(Sorted(FolderEntries(folder)), Sorted({L"Check for Updates.lnk", L"Справка.lnk", L"設定.lnk",
                                                     L"Отправить отчёт.lnk", L"Удалить.lnk"}));

    // A folder that holds anything but shortcut files stays; only the shortcuts go.
    tavo::test::WriteTextFile(folder + L"\\readme.txt", "user's");
    EXPECT_FALSE(CPluginsShortcut::DeleteStartmenuShortcut());
    EXPECT_EQ(FolderEntries(folder), std::vector<std::wstring>{L"readme.txt"});
    tavo::test::RemoveTree(folder);
}

std::wstring Value64(const wchar_t* name) {
    CStringEx text;
    ReadRegString(HKEY_LOCAL_MACHINE, kUninstallKey, name, text, KEY_WOW64_64KEY);
    return tavo::test::Text(text);
}

TEST(UninstallEntry, WrittenInThe64BitViewWithAQuotedCommand) {
    const std::wstring install = L"C:\\Program Files\\Velnor\\Tavo Suite";
    EXPECT_FALSE(CPluginsShortcut::IsUninstallerRegExist());
    CPluginsShortcut::CreateUninstallerReg(install.c_str());
    EXPECT_TRUE(CPluginsShortcut::IsUninstallerRegExist());
    EXPECT_EQ(Value64(L"DisplayIcon"), install + L"\\tavores.dll,0");
    EXPECT_EQ(Value64(L"DisplayName"), L"Orvane Velnor Tavo Suite");
    EXPECT_EQ(Value64(L"Publisher"), L"Orvane Velnor LLC");
    EXPECT_EQ(Value64(L"UninstallString"), L"\"" + install + L"\\TavoRemover.exe\" /ManualUninstall");
    EXPECT_EQ(GetRegValueType(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayVersion", KEY_WOW64_64KEY), 0u);
    // A 32-bit program's entry on 64-bit Windows is not under Wow6432Node.
    if (tavo::test::SixtyFourBitWindows()) {
        EXPECT_FALSE(tavo::test::KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_32KEY));
    }
    CPluginsShortcut::UpdateUninstallerRegVersion(L"5.2.1");
    EXPECT_EQ(Value64(L"DisplayVersion"), L"5.2.1");
    CPluginsShortcut::CreateUninstallerReg(install.c_str(), L"5.3.0");
    EXPECT_EQ(Value64(L"DisplayVersion"), L"5.3.0");
    DeleteRegKey(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_64KEY);
}

}  // namespace
