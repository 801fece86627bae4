// The localized shortcuts in the Programs folders: the suite's go with their folders, everything else
// stays, every path is printed readably.
#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include "install/install.h"
#include "outcome/outcome.h"
#include "process/process.h"
#include "registry/registry.h"
#include "removal_support.h"
#include "shortcut/shortcut.h"
#include "steps/steps.h"
#include "test_support.h"

using removal::Utf8;
using tavo::test::FileExists;

namespace {

constexpr wchar_t kInstall[] = L"C:\\Program Files\\Velnor\\Tavo Suite";

std::wstring Programs(int csidl) {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_DEFAULT, path);
    return path;
}

void Shortcut(const std::wstring& path, const std::wstring& target) {
    const size_t slash = path.rfind(L'\\');
    SHCreateDirectoryExW(nullptr, path.substr(0, slash).c_str(), nullptr);
    ASSERT_EQ(CPluginsShortcut::CreateShortcutLink(path.c_str(), target.c_str(), nullptr, nullptr, 0), S_OK);
}

bool HasLine(const std::string& output, const std::wstring& line, int times = 1) {
    std::string lines = "\n";
    for (int i = 0; i < times; ++i) lines += Utf8(line) + "\n";
    return output.find(lines) != std::string::npos;
}

TEST(ShortcutRemoval, SuitesLocalizedShortcutsGoOthersStay) {
    ASSERT_TRUE(removal::OnlyDriveC());
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, L"Path", kInstall, 0, REG_SZ));
    const std::wstring suite = std::wstring(kInstall) + L"\\tavoInst.exe";
    const std::wstring common = Programs(CSIDL_COMMON_PROGRAMS), user = Programs(CSIDL_PROGRAMS);
    for (const std::wstring& programs : {common, user}) {
        const std::wstring own = programs + L"\\Orvane Velnor Tavo Suite\\";
        Shortcut(own + L"Uninstall.lnk", suite);
        Shortcut(own + L"卸载.lnk", suite);
        Shortcut(own + L"Справка.lnk", suite);
        Shortcut(programs + L"\\Velnor\\Orvane Velnor Tavo Suite\\ヘルプ.lnk", suite);
    }
    // Someone else's: a shortcut inside the suite's folder, and one of a common name beside it.
    Shortcut(user + L"\\Orvane Velnor Tavo Suite\\Other Program.lnk", L"C:\\Other\\other.exe");
    Shortcut(common + L"\\Help.lnk", L"C:\\Other\\help.exe");
    Shortcut(common + L"\\Uninstall.lnk", std::wstring(kInstall) + L"\\TavoRemover.exe");

    // Under Wine the shell answers E_FAIL for the per-user Programs folder of a user's token (the step makes
    // that call as it stands); there is no active session to give one either.
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token);
    wchar_t path[MAX_PATH] = {};
    const HRESULT byToken = SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, token, SHGFP_TYPE_DEFAULT, path);
    CloseHandle(token);
    HANDLE active = CTavoCallProcess::VlrTavoGetActiveUserToken();
    if (active) CloseHandle(active);
    if (removal::RunningUnderWine()) {
        EXPECT_EQ(byToken, E_FAIL);
    }
    const bool userFolderCleaned = active == nullptr || SUCCEEDED(byToken);
    printf("active user's token: %s; per-user Programs folder of a token: 0x%08lX\n", active ? "yes" : "none",
           static_cast<unsigned long>(byToken));

    removal::ConsoleCapture console;
    const std::set<std::wstring> before = removal::ListMachine();
    CleanupShortcuts();
    CleanupCommonShortcuts();
    const std::set<std::wstring> after = removal::ListMachine();
    const std::string output = console.Stop();
    DeleteRegKey(HKEY_LOCAL_MACHINE, kProductKey, 0);

    EXPECT_EQ(removal::ChangedOutside(
                  before, after,
                  {common + L"\\Orvane Velnor Tavo Suite", common + L"\\Uninstall.lnk",
                   common + L"\\Velnor\\Orvane Velnor Tavo Suite", user + L"\\Orvane Velnor Tavo Suite",
                   user + L"\\Velnor\\Orvane Velnor Tavo Suite"}),
              std::set<std::wstring>{});
    EXPECT_FALSE(FileExists(common + L"\\Orvane Velnor Tavo Suite"));
    EXPECT_FALSE(FileExists(common + L"\\Velnor\\Orvane Velnor Tavo Suite"));
    EXPECT_TRUE(FileExists(common + L"\\Velnor"));
    EXPECT_TRUE(FileExists(common + L"\\Help.lnk"));
    EXPECT_FALSE(FileExists(common + L"\\Uninstall.lnk"));
    EXPECT_EQ(FileExists(user + L"\\Orvane Velnor Tavo Suite\\Справка.lnk"), !userFolderCleaned);
    EXPECT_EQ(FileExists(user + L"\\Velnor\\Orvane Velnor Tavo Suite"), !userFolderCleaned);
    EXPECT_TRUE(FileExists(user + L"\\Orvane Velnor Tavo Suite\\Other Program.lnk"));

    // Found shortcuts are printed twice (before and after the row's locale is set), every other path once;
    // the CJK and Cyrillic names stay readable, also after the Russian row.
    const std::wstring own = common + L"\\Orvane Velnor Tavo Suite\\";
    EXPECT_TRUE(HasLine(output, own + L"卸载.lnk", 2));
    EXPECT_TRUE(HasLine(output, own + L"Справка.lnk", 2));
    EXPECT_TRUE(HasLine(output, own + L"首选项.lnk"));
    EXPECT_TRUE(HasLine(output, own));
    EXPECT_TRUE(HasLine(output, common + L"\\\\Velnor\\Orvane Velnor Tavo Suite\\ヘルプ.lnk", 2));
    EXPECT_TRUE(HasLine(output, common + L"\\Help.lnk"));
    EXPECT_FALSE(HasLine(output, common + L"\\Help.lnk", 2));
    EXPECT_NE(output.find("********TRY TO CLEANUP TAVO SHORTCUTS*******"), std::string::npos);
    EXPECT_EQ(output.substr(output.size() - 13), "Settings.lnk\n");

    // A common name directly in a Programs folder goes once it leads to the suite.
    Shortcut(common + L"\\Help.lnk", suite);
    wchar_t folder[MAX_PATH] = {};
    wcscpy(folder, common.c_str());
    EXPECT_TRUE(DeleteShortcutFile(folder, L"Help.lnk", 0, TRUE));
    tavo::test::RemoveTree(user + L"\\Orvane Velnor Tavo Suite");
}

// The suite's folder in a Programs folder is held while its shortcuts are deleted: when, after the first
// deletion, someone tries to put a link to a folder of theirs (holding shortcuts of the same names) in its
// place, the rename fails with a sharing violation, every other shortcut of the suite still goes from the
// suite's own folder, and the other folder keeps every file.
TEST(ShortcutRemoval, SuitesFolderSwappedForALinkAfterTheFirstDeletionLeavesTheCanaryWhole) {
    ASSERT_TRUE(removal::OnlyDriveC());
    ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, L"Path", kInstall, 0, REG_SZ));
    SetRunInstallFolder(ReadInstallFolder());
    const std::wstring suite = std::wstring(kInstall) + L"\\tavoInst.exe";
    const std::wstring programs = Programs(CSIDL_PROGRAMS);
    const std::wstring own = programs + L"\\Orvane Velnor Tavo Suite";
    tavo::test::TempFolder canary(L"tavo canary");
    for (const wchar_t* name : {L"Uninstall.lnk", L"Help.lnk", L"卸载.lnk", L"Settings.lnk"}) {
        Shortcut(own + L"\\" + name, suite);
        Shortcut(canary / name, suite);
    }
    const std::vector<std::wstring> canaryBefore = tavo::test::FolderEntries(canary.path());

    static std::wstring s_own, s_canary;
    static DWORD s_renameError;
    static int s_deleted;
    s_own = own;
    s_canary = canary.path();
    s_renameError = ERROR_SUCCESS;
    s_deleted = 0;
    SetOutcomeObserver([](ItemKind kind, const wchar_t*, ItemResult result, DWORD) {
        if (kind != ItemKind::kShortcut || result != ItemResult::kDeleted || s_deleted++ != 0) return;
        if (MoveFileW(s_own.c_str(), (s_own + L" aside").c_str())) {
            tavo::test::MakeLink(s_own, s_canary, true);
        } else {
            s_renameError = GetLastError();
        }
    });
    removal::ConsoleCapture console;
    CleanupProgramsFolder(programs.c_str());
    console.Stop();
    SetOutcomeObserver(nullptr);
    DeleteRegKey(HKEY_LOCAL_MACHINE, kProductKey, 0);

    EXPECT_EQ(s_deleted, 4);
    EXPECT_EQ(s_renameError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(tavo::test::FolderEntries(canary.path()), canaryBefore);
    EXPECT_FALSE(FileExists(own));
    EXPECT_FALSE(FileExists(own + L" aside"));
}

}  // namespace
