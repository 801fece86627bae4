// The install folder: the two libraries moved out first, then the folder with everything in it. Every path
// is printed before it is deleted. Only a folder that the deletion guard (paths/path_api.h) accepts is
// touched at all, and no link inside it is followed: a link is removed itself, its target stays.
#include <windows.h>

#include <string>
#include <vector>

#include "console/console.h"
#include "outcome/outcome.h"
#include "paths/path_api.h"
#include "steps/steps.h"
#include "support/scoped.h"

namespace {

// The install folder with environment references expanded; the path as given when that fails.
std::wstring ExpandedFolder(LPCWSTR folder) {
    if (!folder) return {};
    const std::wstring given = folder;
    std::wstring buffer(given.size() + 2048, L'\0');
    const DWORD length =
        ExpandEnvironmentStringsW(given.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    std::wstring result = given;
    if (length > 0 && length <= buffer.size()) result.assign(buffer.c_str(), length - 1);
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
    if (g_movedOutFolder->DeleteEntry(movedName) != ERROR_SUCCESS) MovedOutLeft().push_back(movedName);
}

void MoveOutLibraries(const std::wstring& folder) {
    MoveOutAndDelete(folder, L"vlrtrace.dll", L"vlrtrace1.dll");
    Sleep(500);
    MoveOutAndDelete(folder, L"vcruntime140.dll", L"vcruntime140.dll");
}

// Deletes a file; a read-only one loses that attribute first (and gets it back when it still cannot be
// deleted).
bool DeleteOneFile(const std::wstring& path, DWORD attributes) {
    if (DeleteFileW(path.c_str())) return true;
    if (!(attributes & FILE_ATTRIBUTE_READONLY) || GetLastError() != ERROR_ACCESS_DENIED) return false;
    if (!SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return false;
    if (DeleteFileW(path.c_str())) return true;
    const DWORD error = GetLastError();
    SetFileAttributesW(path.c_str(), attributes);
    SetLastError(error);
    return false;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Everything inside `folder`, which the guard has accepted (or which lies inside such a folder and is no
// link). 1 when anything is left.
int DeleteTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry = {};
    tavo::ScopedFindHandle listing(FindFirstFileW((folder + L"\\*.*").c_str(), &entry));
    if (!listing) return 1;
    int result = 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        ConsoleLine(path.c_str());
        // A path the file functions cannot take whole is left alone: a shortened one would name another file.
        if (path.size() >= MAX_PATH) {
            result = 1;
            continue;
        }
        const DWORD attributes = entry.dwFileAttributes;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A junction, symbolic link or mount point: the link goes, whatever it leads to stays.
            const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                                         : DeleteFileW(path.c_str());
            if (!removed) result = 1;
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (DeleteTree(path) == 1) result = 1;
            if (!RemoveDirectoryW(path.c_str()) && Exists(path)) result = 1;
        } else if (!DeleteOneFile(path, attributes)) {
            result = 1;
        }
    } while (FindNextFileW(listing.get(), &entry));
    return result;
}

void PrintRefusal(const std::wstring& folder, FolderVerdict verdict) {
    const std::wstring line =
        L"Refused to delete \"" + folder + L"\": it is " + FolderVerdictText(verdict) + L".";
    ReportLine(line.c_str());
}

}  // namespace

void ReleaseLockedModules(LPCWSTR installFolder) {
    try {
        const std::wstring folder = ExpandedFolder(installFolder);
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
            if (MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
                RecordOutcome(ItemKind::kFile, path.c_str(), ItemResult::kScheduled);
            else
                RecordOutcome(ItemKind::kFile, path.c_str(), ItemResult::kFailed, GetLastError());
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
        const std::wstring folder = ExpandedFolder(installFolder);
        if (folder.empty()) return 0;
        const FolderVerdict verdict = JudgeFolderForDeletion(folder.c_str());
        if (verdict == FolderVerdict::kMissing) return 0;
        if (verdict != FolderVerdict::kDeletable) {
            PrintRefusal(folder, verdict);
            return 1;
        }
        int result = 0;
        if (DeleteTree(folder) == 1) {
            result = 1;
            MoveOutLibraries(folder);
        }
        ConsoleLine(folder.c_str());
        if (!RemoveDirectoryW(folder.c_str()) && Exists(folder)) result = 1;
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
        const FolderVerdict verdict = JudgeFolderForDeletion(folder);
        if (verdict == FolderVerdict::kMissing) return 1;
        if (verdict != FolderVerdict::kDeletable) {
            PrintRefusal(folder, verdict);
            return 1;
        }
        std::wstring path = folder;
        while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
        return DeleteTree(path);
    } catch (...) {
        return 1;
    }
}
