// The install folder: the two libraries moved out first, then the folder with everything in it. Every path
// is printed before it is deleted (a folder's after everything in it). Only a folder that the deletion
// guard (paths/path_api.h) accepts, by its path and by the final path of the handle it is deleted through,
// is touched at all; the tree is deleted through handles (files/files.h), and no link inside it is
// followed: a link is removed itself, its target stays. A file that another program holds (an add-in's
// library mapped by a mail client or browser the user left open, a data file open without delete sharing)
// is deleted at the next restart, and so are the folders that hold it (children before parents); the
// processes the Restart Manager names as its users are printed.
#include <windows.h>

#include <string>
#include <vector>

#include "console/console.h"
#include "files/files.h"
#include "outcome/outcome.h"
#include "paths/path_api.h"
#include "process/process.h"
#include "steps/steps.h"
#include "support/scoped.h"

namespace {

// The install folder as the steps print it: without trailing backslashes (a drive root keeps its own).
std::wstring Trimmed(LPCWSTR folder) {
    std::wstring result = folder ? folder : L"";
    while (result.size() > 3 && (result.back() == L'\\' || result.back() == L'/')) result.pop_back();
    return result;
}

MovedOutFolder* g_movedOutFolder = nullptr;

// The names of the libraries this process moved into the moved-out folder and could not delete yet.
std::vector<std::wstring>& MovedOutLeft() {
    static std::vector<std::wstring> left;
    return left;
}

// Moves `name` out of the folder into the moved-out folder as `movedName` and deletes it there (a library
// still mapped by a process can be moved but not deleted: it is remembered for DeleteMovedOutLibraries).
// The move never replaces a file already there.
void MoveOutAndDelete(const std::wstring& folder, const wchar_t* name, const wchar_t* movedName) {
    if (!g_movedOutFolder) return;
    const std::wstring source = folder + L"\\" + name;
    if (source.size() >= MAX_PATH) return;
    if (g_movedOutFolder->MoveIn(source, movedName) != ERROR_SUCCESS) return;
    // Gone from the install folder; a moved file that stays is recorded by DeleteMovedOutLibraries.
    RecordOutcome(ItemKind::kFile, source.c_str(), ItemResult::kDeleted);
    if (g_movedOutFolder->DeleteEntry(movedName) != ERROR_SUCCESS) MovedOutLeft().push_back(movedName);
}

void MoveOutLibraries(const std::wstring& folder) {
    MoveOutAndDelete(folder, kMovedLibraries[0].name, kMovedLibraries[0].movedName);
    Sleep(500);
    MoveOutAndDelete(folder, kMovedLibraries[1].name, kMovedLibraries[1].movedName);
}

// "<path> is in use by <NAME> (<pid>)" for every process the Restart Manager names as a user of the file,
// then "<path> will be deleted at the next restart".
void PrintDeletedAtRestart(const std::wstring& path, tavo::files::EntryKind kind) {
    if (kind == tavo::files::EntryKind::kFile) {
        std::vector<tavo::FileUser> users;
        tavo::ProcessesUsingFile(path, users);
        for (const tavo::FileUser& user : users) {
            const std::wstring line =
                path + L" is in use by " + user.name + L" (" + std::to_wstring(user.processId) + L")";
            ReportLine(line.c_str());
        }
    }
    ReportLine((path + L" will be deleted at the next restart").c_str());
}

ItemKind KindOf(tavo::files::EntryKind kind) {
    return kind == tavo::files::EntryKind::kFile ? ItemKind::kFile : ItemKind::kFolder;
}

// Prints every path before it is deleted (a folder's after everything in it) and records each outcome.
// `kept` (a path in the deleted tree, or empty) is left where it is.
class PrintingObserver : public tavo::files::TreeObserver {
  public:
    explicit PrintingObserver(std::wstring kept = {}) : kept_(std::move(kept)) {}
    bool Skip(const std::wstring& path, tavo::files::EntryKind kind) override {
        return kind == tavo::files::EntryKind::kFile && !kept_.empty() &&
               CompareStringOrdinal(path.c_str(), -1, kept_.c_str(), -1, TRUE) == CSTR_EQUAL;
    }
    void Deleting(const std::wstring& path, tavo::files::EntryKind) override { ConsoleLine(path.c_str()); }
    void Done(const std::wstring& path, tavo::files::EntryKind kind, DWORD error) override {
        if (error == ERROR_SUCCESS_REBOOT_REQUIRED) {
            PrintDeletedAtRestart(path, kind);
            RecordOutcome(KindOf(kind), path.c_str(), ItemResult::kScheduled);
            return;
        }
        RecordOutcome(KindOf(kind), path.c_str(),
                      error == ERROR_SUCCESS ? ItemResult::kDeleted : ItemResult::kFailed, error);
    }

  private:
    std::wstring kept_;
};

// The uninstaller's program, left in the install folder until everything else in it is gone, goes last:
// renamed through its own handle into the moved-out folder (the process that maps it, the first stage,
// deletes it there after its end); where it cannot be moved (the folder lies on another volume), deleted
// through its handle.
// ERROR_SUCCESS when it is gone (or was not there), else the error that left it.
DWORD MoveRemoverOut(const tavo::files::HeldFolder& installFolder, const std::wstring& folder,
                     PrintingObserver& observer) {
    tavo::ScopedHandle file;
    DWORD error = tavo::files::OpenRelative(installFolder.handle.get(), kRemoverName, false, file);
    if (error == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    const std::wstring path = folder + L"\\" + kRemoverName;
    ConsoleLine(path.c_str());
    if (error == ERROR_SUCCESS && !tavo::files::InPlace(file.get(), installFolder.namePath, kRemoverName))
        error = tavo::files::kErrorLinkInTheWay;
    if (error == ERROR_SUCCESS && g_movedOutFolder->MoveIn(file.get(), kRemoverName) != ERROR_SUCCESS)
        error = tavo::files::DeleteThroughHandle(file.get());
    observer.Done(path, tavo::files::EntryKind::kFile, error);
    return error;
}

// The system error that stands for the guard's refusal in the record of the folder.
DWORD RefusalError(FolderVerdict verdict) {
    switch (verdict) {
        case FolderVerdict::kNotAbsoluteLocal:
            return ERROR_BAD_PATHNAME;
        case FolderVerdict::kNetworkPath:
            return ERROR_BAD_NETPATH;
        case FolderVerdict::kNotAFolder:
            return ERROR_DIRECTORY;
        case FolderVerdict::kLink:
            return tavo::files::kErrorLinkInTheWay;
        default:
            return ERROR_ACCESS_DENIED;
    }
}

void PrintRefusal(const std::wstring& folder, FolderVerdict verdict) {
    const std::wstring line =
        L"Refused to delete \"" + folder + L"\": it is " + FolderVerdictText(verdict) + L".";
    ReportLine(line.c_str());
    RecordOutcome(ItemKind::kFolder, folder.c_str(), ItemResult::kFailed, RefusalError(verdict));
}

// Holds the folder and judges it, by its path and through its handle; false, with a refusal printed and
// recorded (nothing when the folder is not there), when nothing may be deleted.
bool HoldInstallFolder(const std::wstring& folder, tavo::files::FolderForDeletion& held) {
    // The path as given first: a refusal names what the path is, not where a link on the way leads.
    const FolderVerdict given = JudgeFolderForDeletion(folder.c_str());
    if (given != FolderVerdict::kDeletable) {
        if (given != FolderVerdict::kMissing) PrintRefusal(folder, given);
        held.verdict = given;
        return false;
    }
    held = tavo::files::HoldFolderForDeletion(folder);
    if (held.verdict == FolderVerdict::kDeletable) return true;
    if (held.verdict != FolderVerdict::kMissing) PrintRefusal(folder, held.verdict);
    return false;
}

}  // namespace

void ReleaseLockedModules(LPCWSTR installFolder) {
    try {
        const std::wstring folder = Trimmed(installFolder);
        if (folder.empty() || JudgeFolderForDeletion(folder.c_str()) != FolderVerdict::kDeletable) return;
        MoveOutLibraries(folder);
    } catch (...) {
    }
}

void SetMovedOutFolder(MovedOutFolder* folder) { g_movedOutFolder = folder; }

void DeleteMovedOutLibraries() {
    try {
        for (const std::wstring& name : MovedOutLeft()) {
            if (!g_movedOutFolder) break;
            const DWORD error = g_movedOutFolder->DeleteEntry(name.c_str());
            if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) continue;
            const std::wstring path = g_movedOutFolder->PathOf(name.c_str());
            const DWORD marked = tavo::files::DeleteAtNextRestart(path);
            if (marked == ERROR_SUCCESS)
                RecordOutcome(ItemKind::kFile, path.c_str(), ItemResult::kScheduled);
            else
                RecordOutcome(ItemKind::kFile, path.c_str(), ItemResult::kFailed, marked);
        }
        MovedOutLeft().clear();
    } catch (...) {
    }
}

int RemoveInstallFiles(LPCWSTR installFolder) {
    ConsoleBanner(L"TRY TO REMOVE TAVO INSTALL FILES & FOLDER", 84);
    return RemoveInstallFolder(installFolder) == 1 ? 1 : 0;
}

int RemoveInstallFolder(LPCWSTR installFolder) {
    try {
        const std::wstring folder = Trimmed(installFolder);
        if (folder.empty()) return 0;
        tavo::files::FolderForDeletion held;
        if (!HoldInstallFolder(folder, held)) return held.verdict == FolderVerdict::kMissing ? 0 : 1;
        int result = 0;
        // With a moved-out folder (the uninstall sequence), the program goes last.
        PrintingObserver observer(g_movedOutFolder ? folder + L"\\" + kRemoverName : std::wstring());
        // The install folder is the suite's own and only administrators write there: what is held is
        // deleted at the next restart.
        DWORD contents = tavo::files::DeleteTreeContents(held.folder, folder, observer,
                                                         tavo::files::HeldItems::kDeleteAtRestart);
        if (contents != ERROR_SUCCESS && contents != ERROR_SUCCESS_REBOOT_REQUIRED) {
            result = 1;
            MoveOutLibraries(folder);
        } else if (g_movedOutFolder) {
            // Everything else is gone or goes at the next restart: so does the program (the uninstall
            // need not be run again).
            const DWORD remover = MoveRemoverOut(held.folder, folder, observer);
            if (remover != ERROR_SUCCESS) contents = remover;
        }
        ConsoleLine(folder.c_str());
        DWORD error = tavo::files::DeleteThroughHandle(held.folder.handle.get());
        // Left only because of what in it goes at the next restart: it goes then too, after everything in it.
        if (error == ERROR_DIR_NOT_EMPTY && contents == ERROR_SUCCESS_REBOOT_REQUIRED &&
            tavo::files::DeleteAtNextRestart(held.folder.finalPath) == ERROR_SUCCESS) {
            error = ERROR_SUCCESS_REBOOT_REQUIRED;
        }
        observer.Done(folder, tavo::files::EntryKind::kFolder, error);
        if (error != ERROR_SUCCESS && error != ERROR_SUCCESS_REBOOT_REQUIRED) result = 1;
        return result;
    } catch (...) {
        return 1;
    }
}

int DeleteFolderContents(LPCWSTR folder) {
    try {
        if (!folder) return 1;
        const size_t length = wcslen(folder);
        if (length < 3 || length > 255) return 1;
        const std::wstring path = Trimmed(folder);
        tavo::files::FolderForDeletion held;
        if (!HoldInstallFolder(path, held)) return 1;
        PrintingObserver observer;
        return tavo::files::DeleteTreeContents(held.folder, path, observer) == ERROR_SUCCESS ? 0 : 1;
    } catch (...) {
        return 1;
    }
}
