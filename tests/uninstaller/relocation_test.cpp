// The pieces of the two stages in process: the private folder, the relocation and its undoing, how the
// copy knows itself, what reaches the command processor, and the console.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "console/console.h"
#include "stages/stages.h"
#include "test_support.h"

using tavo::test::FileExists;
using tavo::test::FolderEntries;
using tavo::test::ReadFileBytes;
using tavo::test::ScopedEnv;
using tavo::test::TempFolder;
using tavo::test::WriteTextFile;

namespace {

// A temporary folder of the test's own for the process (TMP and TEMP point at it).
class StageTest : public ::testing::Test {
  protected:
    StageTest()
        : temp_(L"tavo stage temp"), tmp_(L"TMP", Slash().c_str()), tempVar_(L"TEMP", Slash().c_str()) {}
    std::wstring Slash() const { return temp_.path() + L"\\"; }
    TempFolder temp_;
    ScopedEnv tmp_;
    ScopedEnv tempVar_;
};

bool RunningUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The private folder is made and opened in one step and held: nobody can rename, replace or delete it while
// it is held (Wine enforces the sharing of the hold); once emptied it is removed, and only the same folder.
TEST_F(StageTest, PrivateFolderIsNewHeldAndOnlyForSystemAndAdministrators) {
    DWORD error = ERROR_SUCCESS;
    PrivateFolder first = PrivateFolder::Create(error);
    ASSERT_TRUE(first.valid()) << error;
    PrivateFolder second = PrivateFolder::Create(error);
    ASSERT_TRUE(second.valid()) << error;
    const std::wstring prefix = Slash() + L"TavoRemover-";
    ASSERT_EQ(first.path().substr(0, prefix.size()), prefix);
    EXPECT_EQ(first.path().size(), prefix.size() + 32);
    EXPECT_NE(first.path(), second.path());
    EXPECT_NE(GetFileAttributesW(first.path().c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

    // The DACL as stored: on Windows exactly the one asked for (protected, SYSTEM and Administrators with
    // full control, inherited by everything inside). Wine keeps a file's DACL as the Unix mode bits of the
    // folder's owner: it reads back unprotected, with the Administrators entry as the owner's own SID, and
    // nothing for anyone else.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(first.path().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, nullptr, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
    const std::wstring stored = text;
    LocalFree(text);
    LocalFree(descriptor);
    if (RunningUnderWine()) {
        EXPECT_EQ(stored, L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + tavo::test::OwnSid() + L")");
    } else {
        EXPECT_EQ(stored, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    }

    // Held: a rename (the user's way to swap it for a folder of their own) and a removal fail.
    const std::wstring aside = first.path() + L"-aside";
    EXPECT_FALSE(MoveFileW(first.path().c_str(), aside.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(RemoveDirectoryW(first.path().c_str()));
    // Files go in and out relative to the handle; a moved-in file never replaces one.
    ASSERT_TRUE(WriteTextFile(temp_ / L"one.txt", "one"));
    ASSERT_TRUE(WriteTextFile(temp_ / L"two.txt", "two"));
    EXPECT_EQ(first.MoveIn(temp_ / L"one.txt", L"moved.txt"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_NE(first.MoveIn(temp_ / L"two.txt", L"moved.txt"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ReadFileBytes(first.PathOf(L"moved.txt")), "one");
    EXPECT_EQ(ReadFileBytes(temp_ / L"two.txt"), "two");
    EXPECT_EQ(first.Entries(), std::vector<std::wstring>{L"moved.txt"});
    EXPECT_EQ(first.DeleteEntry(L"moved.txt"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(first.Entries(), std::vector<std::wstring>{});

    // Adopting a handle checks that it leads to the folder named.
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), second.handle(), GetCurrentProcess(), &duplicate, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_FALSE(PrivateFolder::Adopt(duplicate, first.path()).valid());

    const std::wstring firstPath = first.path();
    EXPECT_EQ(first.Remove(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetFileAttributesW(firstPath.c_str()), INVALID_FILE_ATTRIBUTES);
    // A folder put in the place of a removed one's name is not the same folder: it stays.
    const std::wstring secondPath = second.path();
    HANDLE deleter =
        CreateFileW(secondPath.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_EQ(deleter, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    second = PrivateFolder();
    ASSERT_TRUE(RemoveDirectoryW(secondPath.c_str()));
    ASSERT_TRUE(CreateDirectoryW(secondPath.c_str(), nullptr));
    {
        PrivateFolder reopened = PrivateFolder::Open(secondPath, error);
        ASSERT_TRUE(reopened.valid()) << error;
        ASSERT_TRUE(RemoveDirectoryW(secondPath.c_str()) == FALSE);
    }
    ASSERT_TRUE(RemoveDirectoryW(secondPath.c_str()));

    // With a temporary folder that does not exist, no folder is made anywhere.
    ScopedEnv missing(L"TMP", (temp_ / L"gone\\").c_str());
    ScopedEnv missingTemp(L"TEMP", (temp_ / L"gone\\").c_str());
    EXPECT_FALSE(PrivateFolder::Create(error).valid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(StageTest, RelocationTakesOnlyTheInstallFoldersTraceLibraryAndUndoesItself) {
    TempFolder install(L"tavo install");
    const std::wstring self = install / L"TavoRemover.exe";
    ASSERT_TRUE(WriteTextFile(self, "program"));
    ASSERT_TRUE(WriteTextFile(install / L"vlrtrace.dll", "library"));
    // A library in the shared temporary folder and in the current folder are never taken.
    ASSERT_TRUE(WriteTextFile(temp_ / L"vlrtrace.dll", "planted"));

    Relocation relocation = RelocateIntoPrivateFolder(self.c_str(), install.path().c_str());
    ASSERT_EQ(relocation.failedStep, Relocation::kDone) << relocation.error;
    const std::wstring folderPath = relocation.folder.path();
    EXPECT_EQ(relocation.copy, folderPath + L"\\Launchlet.exe");
    // Copied: the program stays in the install folder, where the uninstall can be started again.
    EXPECT_EQ(ReadFileBytes(self), "program");
    EXPECT_EQ(ReadFileBytes(relocation.copy), "program");
    EXPECT_EQ(ReadFileBytes(folderPath + L"\\vlrtrace.dll"), "library");
    wchar_t folder[MAX_PATH] = {};
    EXPECT_TRUE(IsRelocatedCopy(relocation.copy.c_str(), folder));
    EXPECT_EQ(std::wstring(folder), folderPath);

    // A copy that could not be started is deleted with its folder.
    UndoRelocation(relocation);
    EXPECT_EQ(ReadFileBytes(self), "program");
    EXPECT_EQ(GetFileAttributesW(folderPath.c_str()), INVALID_FILE_ATTRIBUTES);

    // Unknown install folders: empty, relative, a bare drive; and one without a library.
    for (const wchar_t* unknown : {L"", L"Velnor\\Tavo Suite", L"C:", L"\\Velnor"}) {
        relocation = RelocateIntoPrivateFolder(self.c_str(), unknown);
        ASSERT_EQ(relocation.failedStep, Relocation::kDone);
        EXPECT_EQ(relocation.folder.Entries(), std::vector<std::wstring>{L"Launchlet.exe"});
        UndoRelocation(relocation);
    }
    DeleteFileW((install / L"vlrtrace.dll").c_str());
    relocation = RelocateIntoPrivateFolder(self.c_str(), install.path().c_str());
    EXPECT_EQ(relocation.folder.Entries(), std::vector<std::wstring>{L"Launchlet.exe"});
    UndoRelocation(relocation);

    // A program that cannot be copied: nothing is left behind, the error is the copy's.
    relocation = RelocateIntoPrivateFolder((install / L"missing.exe").c_str(), install.path().c_str());
    EXPECT_EQ(relocation.failedStep, Relocation::kMove);
    EXPECT_EQ(relocation.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(relocation.folder.valid());
    std::vector<std::wstring> left = FolderEntries(temp_.path());
    std::erase(left, install.path().substr(install.path().find_last_of(L'\\') + 1));
    EXPECT_EQ(left, std::vector<std::wstring>{L"vlrtrace.dll"});
    EXPECT_EQ(ReadFileBytes(temp_ / L"vlrtrace.dll"), "planted");
}

// The libraries moved out of the install folder go into the held private folder, wherever the user's TMP
// points by then (the process's own variable and HKCU\Environment), and are deleted there through its
// handle; one still mapped stays there and is marked for deletion at the next restart under the private
// folder's path. The folder TMP points at neither receives nor loses a file.
TEST_F(StageTest, MovedOutLibrariesGoIntoThePrivateFolderNeverWhereTmpPoints) {
    ASSERT_EQ(GetLogicalDrives(), 1u << 2) << "deletes only on the sealed machine (drive C: alone)";
    wchar_t programFiles[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE));
    const std::wstring install = std::wstring(programFiles) + L"\\Velnor\\Tavo Suite";
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, install.c_str(), nullptr), ERROR_SUCCESS);
    const std::wstring library = tavo::test::BinPath(L"fixtures\\vlrtrace\\none\\vlrtrace.dll");
    for (const wchar_t* name : {L"vlrtrace.dll", L"vcruntime140.dll"})
        ASSERT_TRUE(CopyFileW(library.c_str(), (install + L"\\" + name).c_str(), FALSE));
    HMODULE mapped =
        LoadLibraryW((install + L"\\vcruntime140.dll").c_str());  // as a running program of the suite
    ASSERT_NE(mapped, nullptr);

    DWORD error = ERROR_SUCCESS;
    PrivateFolder folder = PrivateFolder::Create(error);
    ASSERT_TRUE(folder.valid()) << error;
    // The user points TMP somewhere else, with files of their own under the libraries' moved names.
    TempFolder user(L"tavo user temp");
    ASSERT_TRUE(WriteTextFile(user / L"vlrtrace1.dll", "user's"));
    ASSERT_TRUE(WriteTextFile(user / L"vcruntime140.dll", "user's"));
    ScopedEnv tmp(L"TMP", (user.path() + L"\\").c_str()), temp(L"TEMP", (user.path() + L"\\").c_str());
    HKEY environment = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Environment", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &environment, nullptr),
              ERROR_SUCCESS);
    const std::wstring userTmp = user.path();
    RegSetValueExW(environment, L"TMP", 0, REG_SZ, reinterpret_cast<const BYTE*>(userTmp.c_str()),
                   static_cast<DWORD>((userTmp.size() + 1) * sizeof(wchar_t)));

    SetMovedOutFolder(&folder);
    ReleaseLockedModules(install.c_str());
    EXPECT_EQ(FolderEntries(install), std::vector<std::wstring>{});
    // Wine deletes a mapped library through its handle (Windows refuses while it is mapped): there nothing
    // is left to mark for the restart.
    const bool wine = RunningUnderWine();
    EXPECT_EQ(folder.Entries(),
              wine ? std::vector<std::wstring>{} : std::vector<std::wstring>{L"vcruntime140.dll"});
    DeleteMovedOutLibraries();
    SetMovedOutFolder(nullptr);
    EXPECT_EQ(tavo::test::PendingRestartOperations(),
              wine ? std::vector<std::wstring>{}
                   : std::vector<std::wstring>{L"\\??\\" + folder.PathOf(L"vcruntime140.dll")});
    EXPECT_EQ(FolderEntries(user.path()), (std::vector<std::wstring>{L"vcruntime140.dll", L"vlrtrace1.dll"}));
    EXPECT_EQ(ReadFileBytes(user / L"vlrtrace1.dll"), "user's");
    EXPECT_EQ(ReadFileBytes(user / L"vcruntime140.dll"), "user's");

    RegDeleteValueW(environment, L"TMP");
    RegCloseKey(environment);
    tavo::test::ClearPendingRestartOperations();
    FreeLibrary(mapped);
    folder.DeleteEntry(L"vcruntime140.dll");
    EXPECT_EQ(folder.Remove(), static_cast<DWORD>(ERROR_SUCCESS));
    RemoveDirectoryW(install.c_str());
    RemoveDirectoryW((std::wstring(programFiles) + L"\\Velnor").c_str());
}

// One uninstall at a time: the lock exists once on the machine; a copy takes a handle it was given for
// the lock only when it is one (a handle to any other object is refused). The copy's command line carries
// the handles it inherits.
TEST(UninstallLock, OneAtATimeAndOnlyTheMachinesLockCounts) {
    DWORD error = ERROR_SUCCESS;
    tavo::ScopedHandle first = TakeUninstallLock(error);
    ASSERT_TRUE(first.valid()) << error;
    tavo::ScopedHandle second = TakeUninstallLock(error);
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(IsUninstallLock(first.get()));
    tavo::ScopedHandle other(CreateMutexW(nullptr, FALSE, L"Global\\TavoRemover-Other"));
    tavo::ScopedHandle unnamed(CreateMutexW(nullptr, FALSE, nullptr));
    EXPECT_FALSE(IsUninstallLock(other.get()));
    EXPECT_FALSE(IsUninstallLock(unnamed.get()));
    EXPECT_FALSE(IsUninstallLock(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x7FFC))));

    const StageHandles handed = {first.get(), unnamed.get(), GetCurrentProcess()};
    const std::wstring line = CopyCommandLine(L"C:\\T\\Launchlet.exe", handed);
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &argc);
    ASSERT_EQ(argc, 3);
    EXPECT_STREQ(argv[1], L"/TempUninstall");
    StageHandles parsed;
    EXPECT_TRUE(ParseStageHandles(argc, argv, parsed));
    EXPECT_EQ(parsed.lock, first.get());
    EXPECT_EQ(parsed.folder, unnamed.get());
    EXPECT_EQ(parsed.firstStage, GetCurrentProcess());
    LocalFree(argv);
    wchar_t* bare[] = {const_cast<wchar_t*>(L"x"), const_cast<wchar_t*>(L"/TempUninstall")};
    EXPECT_FALSE(ParseStageHandles(2, bare, parsed));

    first.reset();
    tavo::ScopedHandle again = TakeUninstallLock(error);
    EXPECT_TRUE(again.valid());
}

TEST_F(StageTest, OnlyACopyInAPrivateFolderOfTheTemporaryFolderIsARelocatedCopy) {
    const std::wstring digits = L"0123456789abcdefABCDEF0123456789";
    const std::wstring good = Slash() + L"TavoRemover-" + digits + L"\\Launchlet.exe";
    wchar_t folder[MAX_PATH] = {};
    EXPECT_TRUE(IsRelocatedCopy(good.c_str(), folder));
    EXPECT_EQ(std::wstring(folder), Slash() + L"TavoRemover-" + digits);
    const std::wstring bad[] = {
        Slash() + L"Launchlet.exe",                                                // the shared folder itself
        Slash() + L"TavoRemover-" + digits + L"\\TavoRemover.exe",                 // another name
        Slash() + L"TavoRemover-" + digits.substr(1) + L"\\Launchlet.exe",         // 31 digits
        Slash() + L"TavoRemover-" + digits + L"0\\Launchlet.exe",                  // 33 digits
        Slash() + L"TavoRemover-0123456789abcdefABCDEF012345678g\\Launchlet.exe",  // not a digit
        Slash() + L"Other-" + digits + L"\\Launchlet.exe",
        Slash() + L"x\\TavoRemover-" + digits + L"\\Launchlet.exe",        // one level deeper
        L"C:\\Program Files\\TavoRemover-" + digits + L"\\Launchlet.exe",  // outside the temporary folder
    };
    for (const std::wstring& path : bad) {
        SCOPED_TRACE(tavo::test::Narrow(path));
        EXPECT_FALSE(IsRelocatedCopy(path.c_str(), folder));
    }
    EXPECT_FALSE(IsRelocatedCopy(nullptr, folder));
}

TEST(SelfDeletion, TheCommandProcessorGetsSlashDAndOnlyPlainPaths) {
    wchar_t parameters[900] = {};
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_TRUE(BuildSelfDeleteParameters(L"C:\\a b\\T\\Launchlet.exe", L"C:\\a b\\T", parameters, 900));
    const std::wstring copy = L"\"C:\\a b\\T\\Launchlet.exe\"";
    EXPECT_EQ(std::wstring(parameters),
              L"/D /S /c \"set /p tavo= & for /l %n in (1,1,10) do (if exist " + copy + L" del /f /q " +
                  copy + L" > nul 2> nul & if exist " + copy + L" \"" + system +
                  L"\\ping.exe\" -n 2 127.0.0.1 > nul) & rd \"C:\\a b\\T\" > nul 2> nul\"");
    for (const wchar_t* special : {L"%", L"!", L"^", L"\"", L"&", L"|", L"<", L">"}) {
        const std::wstring folder = std::wstring(L"C:\\Temp") + special + L"x";
        const std::wstring copy = folder + L"\\Launchlet.exe";
        EXPECT_FALSE(BuildSelfDeleteParameters(copy.c_str(), folder.c_str(), parameters, 900))
            << tavo::test::Narrow(special);
        EXPECT_EQ(parameters[0], L'\0');
        EXPECT_TRUE(HoldsCommandProcessorText(folder.c_str()));
    }
    EXPECT_FALSE(BuildSelfDeleteParameters(L"C:\\T\\Launchlet.exe", L"C:\\T", parameters, 20));  // too small
    EXPECT_EQ(parameters[0], L'\0');
}

TEST_F(StageTest, DeletionAtRestartMarksTheCopyAndThenItsFolder) {
    DWORD error = ERROR_SUCCESS;
    PrivateFolder folder = PrivateFolder::Create(error);
    ASSERT_TRUE(folder.valid());
    const std::wstring copy = folder.PathOf(L"Launchlet.exe");
    ASSERT_TRUE(WriteTextFile(copy, "copy"));

    ASSERT_EQ(tavo::test::PendingRestartOperations(), std::vector<std::wstring>{});  // a clean machine

    EXPECT_TRUE(ScheduleDeletionAtRestart(copy.c_str(), folder.path().c_str()));

    // Pairs of a source and an empty target.
    const std::wstring prefix = L"\\??\\";
    EXPECT_EQ(tavo::test::PendingRestartOperations(),
              (std::vector<std::wstring>{prefix + copy, L"", prefix + folder.path()}));
    tavo::test::ClearPendingRestartOperations();
    const std::wstring path = folder.path();
    folder = PrivateFolder();
    tavo::test::RemoveTree(path);
}

// Standard output pointed at `handle` for the life of the object.
class ScopedStdOut {
  public:
    explicit ScopedStdOut(HANDLE handle) : old_(GetStdHandle(STD_OUTPUT_HANDLE)) {
        SetStdHandle(STD_OUTPUT_HANDLE, handle);
    }
    ~ScopedStdOut() { SetStdHandle(STD_OUTPUT_HANDLE, old_); }

  private:
    HANDLE old_;
};

const wchar_t kWorld[] =
    L"\u5FEB\u6377\u65B9\u5F0F \u30B7\u30E7\u30FC\u30C8\u30AB\u30C3\u30C8 "
    L"\uBC14\uB85C \uAC00\uAE30 \u042F\u0440\u043B\u044B\u043A";

TEST(Console, EveryLineArrivesWhateverItsCharactersAndAfterAFailedWrite) {
    // Redirected: UTF-8, with a Windows line end.
    TempFolder folder(L"tavo console");
    const std::wstring path = folder / L"out.txt";
    {
        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ScopedStdOut redirect(file);
        ConsoleLine(kWorld);
        ConsoleLine(L"ascii after");
        ConsoleLine(nullptr);
        ConsoleBanner(L"TRY TO CLEANUP TAVO SHORTCUTS");
        CloseHandle(file);
    }
    const std::string stars(76, '*');
    EXPECT_EQ(
        ReadFileBytes(path),
        "\xE5\xBF\xAB\xE6\x8D\xB7\xE6\x96\xB9\xE5\xBC\x8F \xE3\x82\xB7\xE3\x83\xA7\xE3\x83\xBC\xE3\x83\x88"
        "\xE3\x82\xAB\xE3\x83\x83\xE3\x83\x88 \xEB\xB0\x94\xEB\xA1\x9C \xEA\xB0\x80\xEA\xB8\xB0 "
        "\xD0\xAF\xD1\x80\xD0\xBB\xD1\x8B\xD0\xBA\r\nascii after\r\n\r\n\r\n" +
            stars + "\r\n********TRY TO CLEANUP TAVO SHORTCUTS" + std::string(76 - 37, '*') + "\r\n");

    // A write that fails (a handle that is not one) does not silence the next.
    {
        ScopedStdOut broken(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x7FFC)));
        ConsoleLine(kWorld);
    }
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    {
        ScopedStdOut redirect(file);
        ConsoleLine(L"still here");
    }
    CloseHandle(file);
    EXPECT_EQ(ReadFileBytes(path), "still here\r\n");

    // A console: the characters land in its screen buffer as written.
    HANDLE screen =
        CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CONSOLE_TEXTMODE_BUFFER, nullptr);
    if (screen == INVALID_HANDLE_VALUE) {
        // The test program runs without a console of its own (Wine started with its output to a pipe): make
        // one, keeping the standard handles on the test's own output.
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        FreeConsole();
        AllocConsole();
        SetStdHandle(STD_INPUT_HANDLE, input);
        SetStdHandle(STD_OUTPUT_HANDLE, output);
        SetStdHandle(STD_ERROR_HANDLE, error);
        screen = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
    }
    ASSERT_NE(screen, INVALID_HANDLE_VALUE) << GetLastError();
    {
        ScopedStdOut redirect(screen);
        ConsoleLine(kWorld);
        ConsoleLine(L"ascii after");
    }
    const DWORD length = static_cast<DWORD>(wcslen(kWorld));
    std::wstring first(length, L'\0'), second(11, L'\0');
    DWORD read = 0;
    ASSERT_TRUE(ReadConsoleOutputCharacterW(screen, first.data(), length, COORD{0, 0}, &read));
    EXPECT_EQ(first, kWorld);
    ASSERT_TRUE(ReadConsoleOutputCharacterW(screen, second.data(), 11, COORD{0, 1}, &read));
    EXPECT_EQ(second, L"ascii after");
    CloseHandle(screen);
}

}  // namespace
