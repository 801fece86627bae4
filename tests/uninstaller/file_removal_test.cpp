// The install folder's removal and its guard, on the sealed test machine: what goes, what stays, what is
// printed, and that a "Path" naming anything but the suite's own folder deletes nothing anywhere.
#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <chrono>

#include <map>

#include "install/install.h"
#include "outcome/outcome.h"
#include "paths/path_api.h"
#include "registry/registry.h"
#include "removal_support.h"
#include "steps/steps.h"
#include "support/scoped.h"
#include "test_support.h"

using removal::ConsoleCapture;
using removal::ListMachine;
using tavo::test::BinPath;
using tavo::test::FileExists;
using tavo::test::FolderEntries;
using tavo::test::TempFolder;
using tavo::test::TempFolderPath;
using tavo::test::WriteTextFile;

namespace {

std::string InstallBanner() {
    std::string title = "********TRY TO REMOVE TAVO INSTALL FILES & FOLDER";
    title.append(84 - title.size(), '*');
    return "\n" + std::string(76, '*') + "\n" + title + "\n";
}
const std::string kInstallBanner = InstallBanner();

std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

std::wstring WithoutSlash(std::wstring path) {
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    return path;
}

class FileRemovalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(removal::OnlyDriveC()) << "deletion tests run on the sealed machine only";
    }
    void TearDown() override { DeleteRegKey(HKEY_LOCAL_MACHINE, kProductKey, 0); }
};

// "Path" naming anything but an install folder: nothing anywhere changes, one line says why, the step fails.
TEST_F(FileRemovalTest, GuardRefusesEveryFolderThatIsNotTheSuitesOwn) {
    TempFolder scratch(L"tavo guard");
    WriteTextFile(scratch / L"a file", "x");
    CreateDirectoryW((scratch / L"full").c_str(), nullptr);
    WriteTextFile(scratch / L"full\\keep.txt", "keep");
    ASSERT_TRUE(removal::MakeFolderLink(scratch / L"link", scratch / L"full"));
    const std::wstring profile = ShellFolder(CSIDL_PROFILE);
    struct Case {
        std::wstring path;
        FolderVerdict verdict;
        DWORD type = REG_SZ;
    };
    std::vector<Case> cases = {
        {L"C:\\", FolderVerdict::kDriveRoot},
        {L"\\\\server\\share\\Tavo", FolderVerdict::kNetworkPath},
        {L"\\\\?\\C:\\windows", FolderVerdict::kNotAbsoluteLocal},
        {L"Tavo Suite", FolderVerdict::kNotAbsoluteLocal},
        {L"C:windows", FolderVerdict::kNotAbsoluteLocal},
        // A plain string is a name as it stands: no environment reference in it is expanded.
        {L"%SystemRoot%", FolderVerdict::kNotAbsoluteLocal},
        {L"%SystemRoot%", FolderVerdict::kSystemFolder, REG_EXPAND_SZ},
        {L"C:\\windows\\system32", FolderVerdict::kSystemFolder},
        {L"C:\\windows\\Fonts", FolderVerdict::kSystemFolder},
        {ShellFolder(CSIDL_PROGRAM_FILES) + L"\\..\\windows\\", FolderVerdict::kSystemFolder},
        {ShellFolder(CSIDL_PROGRAM_FILES), FolderVerdict::kProtectedFolder},
        {L"C:\\Program Files", FolderVerdict::kProtectedFolder},
        {ShellFolder(CSIDL_COMMON_APPDATA), FolderVerdict::kProtectedFolder},
        {profile.substr(0, profile.rfind(L'\\')), FolderVerdict::kProtectedFolder},
        {profile, FolderVerdict::kProtectedFolder},
        {ShellFolder(CSIDL_DESKTOPDIRECTORY), FolderVerdict::kProtectedFolder},
        {ShellFolder(CSIDL_APPDATA), FolderVerdict::kProtectedFolder},
        {profile.substr(0, profile.rfind(L'\\')) + L"\\Public\\Documents", FolderVerdict::kProtectedFolder},
        {WithoutSlash(TempFolderPath()), FolderVerdict::kProtectedFolder},
        {scratch / L"a file", FolderVerdict::kNotAFolder},
        {scratch / L"link", FolderVerdict::kLink},
    };
    if (tavo::test::SixtyFourBitWindows())
        cases.push_back({L"C:\\windows\\syswow64", FolderVerdict::kSystemFolder});
    for (const Case& c : cases) {
        SCOPED_TRACE(tavo::test::Narrow(c.path));
        wchar_t expanded[MAX_PATH] = {};
        ExpandEnvironmentStringsW(c.path.c_str(), expanded, MAX_PATH);
        const std::wstring printed = WithoutSlash(c.type == REG_EXPAND_SZ ? expanded : c.path);
        EXPECT_EQ(static_cast<int>(JudgeFolderForDeletion(printed.c_str())), static_cast<int>(c.verdict));
        ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, L"Path", c.path.c_str(), 0, c.type));
        // The install folder as the sequence reads it once for every step.
        const InstallFolder installFolder = ReadInstallFolder();
        EXPECT_EQ(installFolder.path, printed);
        EXPECT_EQ(static_cast<int>(installFolder.verdict), static_cast<int>(c.verdict));
        EXPECT_FALSE(installFolder.Trusted());
        ConsoleCapture console;
        const std::set<std::wstring> before = ListMachine();
        ReleaseLockedModules(installFolder.path.c_str());
        const int result = RemoveInstallFiles(installFolder.path.c_str());
        const std::set<std::wstring> after = ListMachine();
        const std::string output = console.Stop();
        EXPECT_EQ(result, 1);
        EXPECT_EQ(before, after);
        EXPECT_EQ(output, kInstallBanner + "Refused to delete \"" + removal::Utf8(printed) + "\": it is " +
                              removal::Utf8(FolderVerdictText(c.verdict)) + ".\n");
    }
    EXPECT_TRUE(FileExists(scratch / L"full\\keep.txt"));

    // The suite's own folder in Program Files is deletable.
    const std::wstring velnor = ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Velnor";
    SHCreateDirectoryExW(nullptr, (velnor + L"\\Tavo Suite").c_str(), nullptr);
    EXPECT_EQ(JudgeFolderForDeletion((velnor + L"\\Tavo Suite").c_str()), FolderVerdict::kDeletable);
    EXPECT_EQ(RemoveInstallFolder((velnor + L"\\Tavo Suite").c_str()), 0);
    EXPECT_TRUE(RemoveDirectoryW(velnor.c_str()));
}

// A link inside the install folder to a folder full of files elsewhere: the link is not followed.
TEST_F(FileRemovalTest, LinkInsideTheInstallFolderLeavesItsTargetAlone) {
    TempFolder outside(L"tavo outside");
    for (int i = 0; i < 20; ++i) WriteTextFile(outside / (L"file" + std::to_wstring(i) + L".txt"), "other's");
    TempFolder scratch(L"tavo link");
    const std::wstring install = scratch / L"Tavo Suite";
    CreateDirectoryW(install.c_str(), nullptr);
    CreateDirectoryW((install + L"\\bin").c_str(), nullptr);
    WriteTextFile(install + L"\\bin\\tavoInst.exe", "suite");
    ASSERT_TRUE(removal::MakeFolderLink(install + L"\\data", outside.path()));
    ConsoleCapture console;
    const std::set<std::wstring> before = ListMachine();
    const int result = RemoveInstallFiles(install.c_str());
    const std::set<std::wstring> after = ListMachine();
    console.Stop();
    // Nothing changed but in the suite's folder.
    EXPECT_EQ(removal::ChangedOutside(before, after, {install}), std::set<std::wstring>{});
    EXPECT_EQ(FolderEntries(outside.path()).size(), 20u);
    EXPECT_FALSE(FileExists(install + L"\\bin"));
    if (removal::RunningUnderWine()) {
        // Wine removes no link: RemoveDirectoryW on a link whose target holds files fails (145), so the
        // link and the folder holding it stay, and the step reports it.
        EXPECT_EQ(result, 1);
        EXPECT_EQ(FolderEntries(install), std::vector<std::wstring>{L"data"});
    } else {
        EXPECT_EQ(result, 0);
        EXPECT_FALSE(FileExists(install));
    }
}

// A missing folder: the banner alone and success; nothing is moved.
TEST_F(FileRemovalTest, MissingFolderPrintsOnlyTheBanner) {
    TempFolder scratch(L"tavo missing");
    const std::wstring missing = scratch / L"Tavo Suite";
    ConsoleCapture console;
    const std::set<std::wstring> before = ListMachine();
    ReleaseLockedModules(missing.c_str());
    EXPECT_EQ(RemoveInstallFiles(missing.c_str()), 0);
    EXPECT_EQ(ListMachine(), before);
    EXPECT_EQ(console.Stop(), kInstallBanner);
}

struct Record {
    ItemKind kind;
    std::wstring what;
    ItemResult result;
    DWORD error;
};
std::vector<Record>& Records() {
    static std::vector<Record> records;
    return records;
}
void Keep(ItemKind kind, const wchar_t* what, ItemResult result, DWORD error) {
    Records().push_back({kind, what, result, error});
}

// A file is printed before it is deleted, a folder after everything in it; each outcome is recorded with
// the system's error. What another program holds goes at the next restart; what cannot even be marked
// stays, and so do the folders above it; the rest goes.
TEST_F(FileRemovalTest, EachFolderIsPrintedAfterItsContentsAndEveryItemIsRecorded) {
    TempFolder scratch(L"tavo order");
    const std::wstring install = scratch / L"Tavo Suite";
    CreateDirectoryW(install.c_str(), nullptr);
    CreateDirectoryW((install + L"\\sub").c_str(), nullptr);
    WriteTextFile(install + L"\\sub\\file.txt", "x");
    ResetOutcome();
    Records().clear();
    SetOutcomeObserver(Keep);
    ConsoleCapture console;
    EXPECT_EQ(RemoveInstallFiles(install.c_str()), 0);
    const std::string utf8 = removal::Utf8(install);
    EXPECT_EQ(console.Stop(), kInstallBanner + utf8 + "\\sub\\file.txt\n" + utf8 + "\\sub\n" + utf8 + "\n");
    EXPECT_FALSE(FileExists(install));
    ASSERT_EQ(Records().size(), 3u);
    EXPECT_EQ(Records()[0].kind, ItemKind::kFile);
    EXPECT_EQ(Records()[1].what, install + L"\\sub");
    EXPECT_EQ(Records()[1].kind, ItemKind::kFolder);
    EXPECT_EQ(Records()[2].what, install);
    EXPECT_EQ(OutcomeTotals().deleted, 3u);

    // A file another program holds without delete sharing goes at the next restart, and so do the folders
    // left only because of it (children before parents); the result stays 0 and the exit code is 3010.
    CreateDirectoryW(install.c_str(), nullptr);
    CreateDirectoryW((install + L"\\sub").c_str(), nullptr);
    WriteTextFile(install + L"\\sub\\held.txt", "x");
    WriteTextFile(install + L"\\free.txt", "x");
    Records().clear();
    tavo::test::ClearPendingRestartOperations();
    {
        tavo::ScopedHandle held(CreateFileW((install + L"\\sub\\held.txt").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        ConsoleCapture printed;
        EXPECT_EQ(RemoveInstallFiles(install.c_str()), 0);
        const std::string held8 = removal::Utf8(install + L"\\sub\\held.txt"),
                          sub8 = removal::Utf8(install + L"\\sub"), install8 = removal::Utf8(install);
        EXPECT_NE(printed.Stop().find(held8 + "\n" + held8 + " will be deleted at the next restart\n" + sub8 +
                                      "\n" + sub8 + " will be deleted at the next restart\n"),
                  std::string::npos);
    }
    std::map<std::wstring, Record> byPath;
    for (const Record& record : Records()) byPath.emplace(record.what, record);
    ASSERT_EQ(byPath.size(), 4u);
    for (const std::wstring& marked : {install + L"\\sub\\held.txt", install + L"\\sub", install})
        EXPECT_EQ(byPath.at(marked).result, ItemResult::kScheduled) << tavo::test::Narrow(marked);
    EXPECT_EQ(byPath.at(install + L"\\free.txt").result, ItemResult::kDeleted);
    EXPECT_EQ(OutcomeExitCode(), kExitRestartNeeded);
    EXPECT_EQ(tavo::test::PendingRestartOperations().size(), 5u);  // three paths, each with its empty target
    tavo::test::ClearPendingRestartOperations();
    ASSERT_TRUE(DeleteFileW((install + L"\\sub\\held.txt").c_str()));
    ASSERT_TRUE(RemoveDirectoryW((install + L"\\sub").c_str()));

    // A folder another program holds cannot even be entered: nothing in it can be marked, so it and the
    // install folder stay, with the failure (1); the held file beside it is still marked.
    CreateDirectoryW((install + L"\\locked").c_str(), nullptr);
    WriteTextFile(install + L"\\locked\\inside.txt", "x");
    WriteTextFile(install + L"\\held.txt", "x");
    ResetOutcome();
    Records().clear();
    {
        tavo::ScopedHandle locked(CreateFileW((install + L"\\locked").c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        tavo::ScopedHandle held(CreateFileW((install + L"\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(locked && held);
        ConsoleCapture quiet;
        EXPECT_EQ(RemoveInstallFiles(install.c_str()), 1);
    }
    SetOutcomeObserver(nullptr);
    byPath.clear();
    for (const Record& record : Records()) byPath.emplace(record.what, record);
    EXPECT_EQ(byPath.at(install + L"\\locked").error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(byPath.at(install + L"\\held.txt").result, ItemResult::kScheduled);
    EXPECT_EQ(byPath.at(install).result, ItemResult::kFailed);
    EXPECT_EQ(OutcomeExitCode(), kExitFailure);
    tavo::test::ClearPendingRestartOperations();
    ResetOutcome();
}

// Nested folders with 10,000 files: all gone, every path printed once.
TEST_F(FileRemovalTest, TenThousandFileTreeIsGone) {
    TempFolder scratch(L"tavo tree");
    const std::wstring install = scratch / L"Tavo Suite";
    CreateDirectoryW(install.c_str(), nullptr);
    for (int top = 0; top < 10; ++top) {
        const std::wstring level1 = install + L"\\dir" + std::to_wstring(top);
        CreateDirectoryW(level1.c_str(), nullptr);
        for (int sub = 0; sub < 10; ++sub) {
            const std::wstring level2 = level1 + L"\\sub" + std::to_wstring(sub);
            CreateDirectoryW(level2.c_str(), nullptr);
            for (int file = 0; file < 100; ++file) {
                HANDLE handle = CreateFileW((level2 + L"\\file" + std::to_wstring(file) + L".dat").c_str(),
                                            GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
                ASSERT_NE(handle, INVALID_HANDLE_VALUE);
                CloseHandle(handle);
            }
        }
    }
    ResetOutcome();
    ConsoleCapture console;
    const auto start = std::chrono::steady_clock::now();
    const int result = RemoveInstallFiles(install.c_str());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::vector<std::string> lines = tavo::test::SplitLines(console.Stop());
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(FileExists(install));
    // The banner's three lines, 10,000 files, 110 folders and the install folder.
    EXPECT_EQ(lines.size(), 3u + 10000u + 110u + 1u);
    EXPECT_EQ(OutcomeTotals().deleted, 10000u + 110u + 1u);
    EXPECT_EQ(OutcomeTotals().failed, 0u);
    printf("removing 10,000 files in 110 folders took %lld ms\n",
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

}  // namespace
