// Deleting files and folder trees as an administrator where others may write: every file and folder is
// acted on through a handle of its own, opened without following a link, checked through that handle,
// and deleted through it. A name is looked up once, relative to the handle of the folder it was listed in;
// paths are only for printing.
//
// What a user who can write in a folder can still do while it is being deleted: rename any child and put
// another one (a folder, or a link to somewhere else) in its place. Against that:
// - A folder is held open without delete sharing from its opening until it is deleted: nobody can rename
//   or replace it meanwhile (the system refuses with a sharing violation).
// - A child is opened relative to its parent's handle with FILE_OPEN_REPARSE_POINT: on Windows a link
//   then opens as the link itself, shows FILE_ATTRIBUTE_REPARSE_POINT, and is deleted as itself (its
//   target stays).
// - Wine follows a Unix symbolic link even on such an open (the handle is the target's); so every child's
//   final path must also be its parent's final path plus its name. A handle that leads anywhere else is
//   never entered nor deleted through: that child stays, and is reported (kErrorLinkInTheWay).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "paths/path_api.h"
#include "support/scoped.h"

namespace tavo::files {

// "The object manager encountered a reparse point while retrieving an object": a link in the way, or a
// handle that leads elsewhere than the name it was opened by (winerror.h of newer SDKs).
constexpr DWORD kErrorLinkInTheWay = 4395;
// OpenRelative of a file found a folder under the name (ERROR_DIRECTORY_NOT_SUPPORTED).
constexpr DWORD kErrorIsAFolder = 336;

// The path the system gives for what `handle` is open on (long names, "\\?\" removed, a UNC path as
// "\\server\share\..."); empty when it cannot be had.
std::wstring FinalPath(HANDLE handle);

// The system's name of what `handle` is open on, its device included ("\\Device\\HarddiskVolume3\\users\\..."
// on Windows, "\\??\\C:\\users\\..." under Wine), of any length; empty when it cannot be had. Only compared
// with another NamePath, never shown. (Wine gives GetFinalPathNameByHandleW no more than MAX_PATH
// characters; and the object's name is one request, where the file's own name information costs Wine two.)
std::wstring NamePath(HANDLE handle);

// Deletes what `handle` is open on (opened with DELETE; FILE_READ_ATTRIBUTES and FILE_WRITE_ATTRIBUTES
// for a read-only file): POSIX semantics (the name goes at once, also while others hold it open) and
// read-only ignored, where the system has them; otherwise the plain delete disposition, a read-only file
// losing that attribute first and getting it back when the deletion still fails. A folder goes only when
// it is empty. ERROR_SUCCESS, or the system's error.
DWORD DeleteThroughHandle(HANDLE handle);

// A folder opened without following a link, held without delete sharing (nobody can rename, replace or
// delete it while the object lives), and checked: no reparse point, and its path (NamePath) is the path of
// the folder it was found in plus its name.
struct HeldFolder {
    ScopedHandle handle;
    std::wstring finalPath;  // FinalPath
    std::wstring namePath;   // NamePath
    // ERROR_SUCCESS; the system's error of the open (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ...);
    // ERROR_DIRECTORY for something that is no folder; kErrorLinkInTheWay for a link, or a
    // folder whose final path is not where it was found.
    DWORD error = ERROR_SUCCESS;
};

// Opens the folder `path` (a full path; links above its last component are followed, and show in the
// final path) for listing and deletion.
HeldFolder HoldFolder(const std::wstring& path);

// HoldFolder, then the deletion guard's verdict on the folder's final path (what will really be deleted).
// `verdict` is kDeletable only with a held, checked folder; a folder that cannot be held gives kMissing
// when it is not there, kLink for a link (or a folder that is not where it was found), kNotAFolder
// otherwise.
struct FolderForDeletion {
    HeldFolder folder;
    FolderVerdict verdict = FolderVerdict::kMissing;
};
FolderForDeletion HoldFolderForDeletion(const std::wstring& path);

// Opens `name` (one component, as listed) in the folder held by `parent` without following a link. The
// handle has DELETE, FILE_READ_ATTRIBUTES, FILE_WRITE_ATTRIBUTES (and with `listFolder`
// FILE_LIST_DIRECTORY) access; a folder (`listFolder`) is shared for reading and writing only, a file also
// for deletion. ERROR_SUCCESS, kErrorIsAFolder (a file was asked for), or the system's error.
DWORD OpenRelative(HANDLE parent, const std::wstring& name, bool listFolder, ScopedHandle& out);

// Opens `name` in the folder held by `parent` as OpenRelative does, but only to look at it
// (FILE_READ_ATTRIBUTES, every sharing): that access takes no part in sharing, so this works also where
// another program holds the entry without sharing it. ERROR_SUCCESS or the system's error.
DWORD OpenRelativeToLook(HANDLE parent, const std::wstring& name, ScopedHandle& out);

// Whether `child`, opened by `name` in the folder whose NamePath is `parentName`, is that child itself: a
// reparse point through its handle (on Windows: the link itself, opened without following it), or its
// NamePath is the parent's plus the name.
struct ChildCheck {
    bool isFolder = false;
    bool isLink = false;
    bool inPlace = false;  // the handle is on the child itself (a link on Windows counts: it is the link)
    std::wstring namePath;
};
ChildCheck CheckChild(HANDLE child, const std::wstring& parentName, const std::wstring& name);
// The names in the folder open as `folder` (with FILE_LIST_DIRECTORY), "." and ".." left out, read through
// the handle. ERROR_SUCCESS or the listing's error.
DWORD ListNames(HANDLE folder, std::vector<std::wstring>& names);

// Only the second half of CheckChild: the NamePath of `child` is `parentName` plus `name`. For a file
// opened by OpenRelative that is all there is to check: on Windows a link opens as itself (and its path is
// its own), so deleting through the handle deletes the link; under Wine a followed link fails here.
bool InPlace(HANDLE child, const std::wstring& parentName, const std::wstring& name);

enum class EntryKind { kFile, kFolder, kLink };

// What a tree deletion tells its caller, in order.
class TreeObserver {
  public:
    virtual ~TreeObserver() = default;
    // True to leave `path` (a listed entry, not opened yet) as it is: it is neither printed, opened nor
    // deleted, and the folder that holds it then stays too (unless the caller deletes it first).
    virtual bool Skip(const std::wstring& path, EntryKind kind) {
        (void)path;
        (void)kind;
        return false;
    }
    // The entries of `folder` (its printed path) have been listed; none of them is opened yet.
    virtual void Listed(const std::wstring& folder) { (void)folder; }
    // `path` is about to be deleted: a file or link before it is opened, a folder after everything in it.
    virtual void Deleting(const std::wstring& path, EntryKind kind) {
        (void)path;
        (void)kind;
    }
    // The outcome for `path`: ERROR_SUCCESS when it is gone, ERROR_SUCCESS_REBOOT_REQUIRED when it is
    // deleted at the next restart (HeldItems::kDeleteAtRestart), else the error that left it.
    virtual void Done(const std::wstring& path, EntryKind kind, DWORD error) {
        (void)path;
        (void)kind;
        (void)error;
    }
};

// What a tree deletion does with what it cannot delete now.
enum class HeldItems {
    kStay,  // it stays, with its error
    // A file (never a link, and only one the walk found in its place) that cannot be opened or deleted
    // (another program holds it without delete sharing or maps it, or any error but "not found" and a link
    // in the way) is marked for deletion at the next restart, by its folder's final path and its name (the
    // folder is held, so nobody can rename it meanwhile); so is a folder that is left only because of what
    // in it was marked, after everything in it (children before parents). The marks are the system's
    // deletions at restart (DeleteAtNextRestart): only for trees that are wholly one's own, in folders
    // that only administrators can write.
    kDeleteAtRestart,
};

// Deletes everything inside the held folder (not the folder itself). `path` is the folder's printed path;
// a child's is `path`, a backslash and its name, of any length. A link is deleted itself and never
// entered. ERROR_SUCCESS when everything went; ERROR_SUCCESS_REBOOT_REQUIRED when everything went or is
// marked for deletion at the next restart (only with HeldItems::kDeleteAtRestart); else the first error
// of something that stays (the rest is still tried, and marked where it may be).
DWORD DeleteTreeContents(const HeldFolder& folder, const std::wstring& path, TreeObserver& observer,
                         HeldItems held = HeldItems::kStay);

// Marks the file or (empty) folder at the full local path `path` for deletion at the next restart
// (MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT: the system's list of renames at restart, which only
// administrators may write); a path of MAX_PATH characters or more is given as "\\?\" plus the path.
// ERROR_SUCCESS, or the system's error.
DWORD DeleteAtNextRestart(const std::wstring& path);

}  // namespace tavo::files
