// Deletion through handles on the sealed test machine: a tree goes whole (read-only files, paths longer
// than MAX_PATH, folders after their contents); a held folder cannot be renamed; a subfolder or a file
// swapped for a link between the listing of its folder and its opening is never entered nor deleted
// through, and what the link leads to keeps every file.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "files/files.h"
#include "process/process.h"
#include "test_support.h"

using tavo::test::FileExists;
using tavo::test::FolderEntries;
using tavo::test::Narrow;
using tavo::test::TempFolder;
using tavo::test::WriteTextFile;

namespace {

using tavo::files::EntryKind;

bool OnlyDriveC() {
    wchar_t drives[256] = {};
    return GetLogicalDriveStringsW(255, drives) == 4 && _wcsicmp(drives, L"C:\\") == 0;
}

// Every event of a deletion, in order, with a hook run once a folder has been listed.
class Recorder : public tavo::files::TreeObserver {
  public:
    struct Event {
        char what;  // 'L' listed, 'D' deleting, 'R' result
        std::wstring path;
        EntryKind kind = EntryKind::kFile;
        DWORD error = 0;
    };
    std::vector<Event> events;
    std::map<std::wstring, std::function<void()>> onListed;

    void Listed(const std::wstring& folder) override {
        events.push_back({'L', folder});
        const auto hook = onListed.find(folder);
        if (hook != onListed.end()) hook->second();
    }
    void Deleting(const std::wstring& path, EntryKind kind) override { events.push_back({'D', path, kind}); }
    void Done(const std::wstring& path, EntryKind kind, DWORD error) override {
        events.push_back({'R', path, kind, error});
    }
    const Event* Result(const std::wstring& path) const {
        for (const Event& event : events) {
            if (event.what == 'R' && event.path == path) return &event;
        }
        return nullptr;
    }
    size_t Index(char what, const std::wstring& path) const {
        for (size_t i = 0; i < events.size(); ++i) {
            if (events[i].what == what && events[i].path == path) return i;
        }
        return events.size();
    }
};

std::vector<std::wstring> Sorted(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    return names;
}

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(OnlyDriveC()) << "deletion tests run on the sealed machine only"; }
};

// A tree with a read-only file, a folder whose paths pass MAX_PATH and nested folders: everything goes,
// each folder is reported after everything in it, and the root stays the caller's.
TEST_F(FilesTest, TreeGoesWholeFoldersAfterTheirContents) {
    TempFolder scratch(L"tavo files tree");
    const std::wstring root = scratch / L"root";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(WriteTextFile(root + L"\\a\\read-only.txt", "r"));
    ASSERT_TRUE(SetFileAttributesW((root + L"\\a\\read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    // Folders of 100 characters each: the file's path is far beyond MAX_PATH.
    std::wstring deep = root + L"\\a";
    for (int i = 0; i < 4; ++i) {
        deep += L"\\" + std::wstring(100, static_cast<wchar_t>(L'k' + i));
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    }
    const std::wstring deepFile = deep + L"\\deep.txt";
    ASSERT_GT(deepFile.size(), 400u);
    HANDLE file =
        CreateFileW((L"\\\\?\\" + deepFile).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    ASSERT_TRUE(WriteTextFile(root + L"\\top.txt", "t"));

    tavo::files::FolderForDeletion held = tavo::files::HoldFolderForDeletion(root);
    ASSERT_EQ(held.verdict, FolderVerdict::kDeletable);
    Recorder recorder;
    EXPECT_EQ(tavo::files::DeleteTreeContents(held.folder, root, recorder),
              static_cast<DWORD>(ERROR_SUCCESS));
    for (const Recorder::Event& event : recorder.events) {
        if (event.what == 'R') {
            EXPECT_EQ(event.error, static_cast<DWORD>(ERROR_SUCCESS)) << Narrow(event.path);
        }
    }
    ASSERT_NE(recorder.Result(deepFile), nullptr);
    EXPECT_EQ(recorder.Result(root + L"\\a\\read-only.txt")->kind, EntryKind::kFile);
    // A folder after its contents: "a" after the deepest file, each deep folder after the one inside it.
    EXPECT_LT(recorder.Index('D', deepFile), recorder.Index('D', deep));
    EXPECT_LT(recorder.Index('D', deep), recorder.Index('D', root + L"\\a"));
    EXPECT_LT(recorder.Index('R', root + L"\\a\\read-only.txt"), recorder.Index('D', root + L"\\a"));
    EXPECT_EQ(recorder.Result(root + L"\\a")->kind, EntryKind::kFolder);
    EXPECT_EQ(recorder.Result(root), nullptr);
    // The root goes through the same handle, once it is empty.
    EXPECT_EQ(tavo::files::DeleteThroughHandle(held.folder.handle.get()), static_cast<DWORD>(ERROR_SUCCESS));
    held.folder.handle.reset();
    EXPECT_FALSE(FileExists(root));
}

// While a folder is held, nobody can rename it: the system answers with a sharing violation. A file that
// another program holds without delete sharing stays, with its error, and keeps its folder; the rest goes.
TEST_F(FilesTest, HeldFolderCannotBeRenamedAndAHeldFileStays) {
    TempFolder scratch(L"tavo files held");
    const std::wstring root = scratch / L"root";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\busy").c_str(), nullptr));
    ASSERT_TRUE(WriteTextFile(root + L"\\busy\\held.txt", "h"));
    ASSERT_TRUE(WriteTextFile(root + L"\\free.txt", "f"));
    tavo::files::FolderForDeletion held = tavo::files::HoldFolderForDeletion(root);
    ASSERT_EQ(held.verdict, FolderVerdict::kDeletable);
    EXPECT_FALSE(MoveFileW(root.c_str(), (scratch / L"renamed").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    tavo::ScopedHandle other(CreateFileW((root + L"\\busy\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(other);
    Recorder recorder;
    EXPECT_EQ(tavo::files::DeleteTreeContents(held.folder, root, recorder),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(recorder.Result(root + L"\\busy\\held.txt")->error,
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(recorder.Result(root + L"\\busy")->error, static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_EQ(recorder.Result(root + L"\\free.txt")->error, static_cast<DWORD>(ERROR_SUCCESS));
    held.folder.handle.reset();  // (Wine lists a folder only when it is shared for deletion)
    EXPECT_EQ(FolderEntries(root), std::vector<std::wstring>{L"busy"});
    EXPECT_TRUE(FileExists(root + L"\\busy\\held.txt"));
}

// Asked to, the walk marks what others hold for deletion at the next restart: a file open without delete
// sharing (it cannot even be opened for deletion) and a library mapped as an image (it opens, its deletion
// is refused), then each folder left only because of them, after everything in it. The system's list of
// deletions at restart holds exactly those, by their final paths, in the order they were reported; what
// could go is gone. The Restart Manager is asked who holds the file: Windows names this process, Wine 8's
// stub names nobody.
TEST_F(FilesTest, HeldFilesAndTheirFoldersAreDeletedAtTheNextRestart) {
    TempFolder scratch(L"tavo files restart");
    const std::wstring root = scratch / L"root";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\busy").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\busy\\deep").c_str(), nullptr));
    ASSERT_TRUE(WriteTextFile(root + L"\\busy\\deep\\held.dat", "h"));
    ASSERT_TRUE(WriteTextFile(root + L"\\busy\\deep\\free.dat", "f"));
    ASSERT_TRUE(WriteTextFile(root + L"\\free.txt", "f"));
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_TRUE(CopyFileW(self, (root + L"\\addin.dll").c_str(), TRUE));
    tavo::ScopedHandle heldFile(CreateFileW((root + L"\\busy\\deep\\held.dat").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    tavo::ScopedHandle library(CreateFileW((root + L"\\addin.dll").c_str(), GENERIC_READ | GENERIC_EXECUTE,
                                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                           nullptr));
    ASSERT_TRUE(heldFile && library);
    tavo::ScopedHandle section(
        CreateFileMappingW(library.get(), nullptr, PAGE_EXECUTE_READ | SEC_IMAGE, 0, 0, nullptr));
    ASSERT_TRUE(section);
    void* view = MapViewOfFile(section.get(), FILE_MAP_READ | FILE_MAP_EXECUTE, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    tavo::test::ClearPendingRestartOperations();

    tavo::files::FolderForDeletion held = tavo::files::HoldFolderForDeletion(root);
    ASSERT_EQ(held.verdict, FolderVerdict::kDeletable);
    Recorder recorder;
    EXPECT_EQ(tavo::files::DeleteTreeContents(held.folder, root, recorder,
                                              tavo::files::HeldItems::kDeleteAtRestart),
              static_cast<DWORD>(ERROR_SUCCESS_REBOOT_REQUIRED));
    std::vector<std::wstring> marked, expectedPending;
    for (const Recorder::Event& event : recorder.events) {
        if (event.what != 'R' || event.error != ERROR_SUCCESS_REBOOT_REQUIRED) continue;
        marked.push_back(event.path);
        expectedPending.push_back(L"\\??\\" + held.folder.finalPath + event.path.substr(root.size()));
        expectedPending.push_back(L"");
    }
    expectedPending.pop_back();  // the list's last empty target ends with the value
    EXPECT_EQ(Sorted(marked), Sorted({root + L"\\addin.dll", root + L"\\busy", root + L"\\busy\\deep",
                                      root + L"\\busy\\deep\\held.dat"}));
    EXPECT_LT(recorder.Index('R', root + L"\\busy\\deep\\held.dat"),
              recorder.Index('R', root + L"\\busy\\deep"));
    EXPECT_LT(recorder.Index('R', root + L"\\busy\\deep"), recorder.Index('R', root + L"\\busy"));
    EXPECT_EQ(tavo::test::PendingRestartOperations(), expectedPending);
    EXPECT_FALSE(FileExists(root + L"\\free.txt"));
    EXPECT_FALSE(FileExists(root + L"\\busy\\deep\\free.dat"));

    std::vector<tavo::FileUser> users;
    EXPECT_EQ(tavo::ProcessesUsingFile(root + L"\\busy\\deep\\held.dat", users),
              static_cast<DWORD>(ERROR_SUCCESS));
    if (tavo::test::RunningUnderWine()) {
        EXPECT_TRUE(users.empty());
    } else {
        ASSERT_EQ(users.size(), 1u);
        EXPECT_EQ(users[0].processId, GetCurrentProcessId());
    }
    tavo::test::ClearPendingRestartOperations();
    UnmapViewOfFile(view);

    // A link in place of a file, to a file another program holds, is never marked: Windows lists it as a
    // link (and deletes the link itself); Wine follows it even on a no-follow open, so only the path seen
    // through a handle that merely looks at it tells.
    TempFolder canary(L"tavo files restart canary");
    ASSERT_TRUE(WriteTextFile(canary / L"precious.dat", "p"));
    tavo::ScopedHandle precious(CreateFileW((canary / L"precious.dat").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(precious);
    const std::wstring linked = scratch / L"linked";
    ASSERT_TRUE(CreateDirectoryW(linked.c_str(), nullptr));
    ASSERT_TRUE(tavo::test::MakeLink(linked + L"\\held.dat", canary / L"precious.dat", false));
    tavo::files::FolderForDeletion linkHolder = tavo::files::HoldFolderForDeletion(linked);
    ASSERT_EQ(linkHolder.verdict, FolderVerdict::kDeletable);
    Recorder linkRecorder;
    EXPECT_NE(tavo::files::DeleteTreeContents(linkHolder.folder, linked, linkRecorder,
                                              tavo::files::HeldItems::kDeleteAtRestart),
              static_cast<DWORD>(ERROR_SUCCESS_REBOOT_REQUIRED));
    EXPECT_EQ(tavo::test::PendingRestartOperations(), std::vector<std::wstring>{});
    EXPECT_TRUE(FileExists(canary / L"precious.dat"));
    linkHolder.folder.handle.reset();
    DeleteFileW((linked + L"\\held.dat").c_str());
}

// After the root was listed, its subfolder "data" is renamed aside and a link to a canary folder takes its
// name, and so does its file "notes.txt" with a link to a canary file. Neither link is entered or deleted
// through; the canaries keep every file. Windows deletes each link itself; Wine follows a link even when
// told not to, so there the walk sees the handle lead elsewhere, leaves the link and reports it.
TEST_F(FilesTest, SubfolderSwappedForALinkAfterTheListingIsNotEntered) {
    TempFolder canary(L"tavo files canary");
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(WriteTextFile(canary / (L"keep" + std::to_wstring(i) + L".txt"), "k"));
    ASSERT_TRUE(CreateDirectoryW((canary / L"inner").c_str(), nullptr));
    ASSERT_TRUE(WriteTextFile(canary / L"inner\\keep.txt", "k"));
    TempFolder canaryFile(L"tavo files canary file");
    ASSERT_TRUE(WriteTextFile(canaryFile / L"precious.txt", "p"));
    const std::vector<std::wstring> canaryBefore = Sorted(FolderEntries(canary.path()));

    TempFolder scratch(L"tavo files swap");
    const std::wstring root = scratch / L"root";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\data").c_str(), nullptr));
    ASSERT_TRUE(WriteTextFile(root + L"\\data\\suite.txt", "s"));
    ASSERT_TRUE(WriteTextFile(root + L"\\notes.txt", "n"));
    ASSERT_TRUE(WriteTextFile(root + L"\\other.txt", "o"));

    tavo::files::FolderForDeletion held = tavo::files::HoldFolderForDeletion(root);
    ASSERT_EQ(held.verdict, FolderVerdict::kDeletable);
    Recorder recorder;
    bool swapped = false;
    recorder.onListed[root] = [&] {
        swapped = MoveFileW((root + L"\\data").c_str(), (scratch / L"data aside").c_str()) &&
                  tavo::test::MakeLink(root + L"\\data", canary.path(), true) &&
                  MoveFileW((root + L"\\notes.txt").c_str(), (scratch / L"notes aside.txt").c_str()) &&
                  tavo::test::MakeLink(root + L"\\notes.txt", canaryFile / L"precious.txt", false);
    };
    // Even where held files would be marked for the next restart, a link in the way never is.
    tavo::test::ClearPendingRestartOperations();
    const DWORD result = tavo::files::DeleteTreeContents(held.folder, root, recorder,
                                                         tavo::files::HeldItems::kDeleteAtRestart);
    held.folder.handle.reset();
    ASSERT_TRUE(swapped);
    EXPECT_EQ(tavo::test::PendingRestartOperations(), std::vector<std::wstring>{});

    EXPECT_EQ(Sorted(FolderEntries(canary.path())), canaryBefore);
    EXPECT_TRUE(FileExists(canary / L"inner\\keep.txt"));
    EXPECT_TRUE(FileExists(canaryFile / L"precious.txt"));
    EXPECT_TRUE(FileExists(scratch / L"data aside\\suite.txt"));  // renamed out of the tree: not the walk's
    EXPECT_FALSE(FileExists(root + L"\\other.txt"));
    EXPECT_EQ(recorder.Index('L', root + L"\\data"), recorder.events.size());  // never listed: not entered
    if (tavo::test::RunningUnderWine()) {
        EXPECT_EQ(result, tavo::files::kErrorLinkInTheWay);
        EXPECT_EQ(recorder.Result(root + L"\\data")->kind, EntryKind::kLink);
        EXPECT_EQ(recorder.Result(root + L"\\data")->error, tavo::files::kErrorLinkInTheWay);
        EXPECT_EQ(recorder.Result(root + L"\\notes.txt")->error, tavo::files::kErrorLinkInTheWay);
        EXPECT_EQ(Sorted(FolderEntries(root)), (std::vector<std::wstring>{L"data", L"notes.txt"}));
    } else {
        EXPECT_EQ(result, static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(recorder.Result(root + L"\\data")->kind, EntryKind::kLink);
        EXPECT_TRUE(FolderEntries(root).empty());
    }
    // The links themselves, by the test (Wine: only through the Unix name).
    RemoveDirectoryW((root + L"\\data").c_str());
}

// A folder that is a link, or that is reached where a link stood: never held, and the guard's verdict says
// so; a folder that is not there is "missing".
TEST_F(FilesTest, FolderThatIsALinkIsNotHeld) {
    TempFolder canary(L"tavo files link target");
    ASSERT_TRUE(WriteTextFile(canary / L"keep.txt", "k"));
    TempFolder scratch(L"tavo files link");
    ASSERT_TRUE(tavo::test::MakeLink(scratch / L"suite", canary.path(), true));
    const tavo::files::HeldFolder link = tavo::files::HoldFolder(scratch / L"suite");
    EXPECT_FALSE(link.handle);
    EXPECT_EQ(link.error, tavo::files::kErrorLinkInTheWay);
    EXPECT_EQ(tavo::files::HoldFolderForDeletion(scratch / L"suite").verdict, FolderVerdict::kLink);
    EXPECT_EQ(tavo::files::HoldFolderForDeletion(scratch / L"missing").verdict, FolderVerdict::kMissing);
    ASSERT_TRUE(WriteTextFile(scratch / L"file", "f"));
    EXPECT_EQ(tavo::files::HoldFolder(scratch / L"file").error, static_cast<DWORD>(ERROR_DIRECTORY));
    // Inside a real folder reached through the link's target path, a folder is held as itself.
    const tavo::files::HeldFolder real = tavo::files::HoldFolder(canary.path() + L"\\");
    ASSERT_TRUE(real.handle);
    EXPECT_TRUE(FileExists(canary / L"keep.txt"));
}

}  // namespace
