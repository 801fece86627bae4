// The recursive deletion of files.h: each folder listed from its own handle, each child opened relative
// to that handle and checked through its own, folders deleted after their contents; what cannot go now is
// marked for deletion at the next restart where the caller asks for it. The walk keeps its own stack of
// open folders (no recursion: a tree as deep as paths allow cannot exhaust the thread's stack).
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "files/files.h"

namespace tavo::files {

namespace {

struct Entry {
    std::wstring name;
    bool listedAsFolder = false;
    bool listedAsLink = false;
};

// The names in the folder of `handle`, "." and ".." left out. ERROR_SUCCESS or the listing's error.
DWORD List(HANDLE folder, std::vector<Entry>& entries) {
    constexpr DWORD kBufferBytes = 64 * 1024;
    std::unique_ptr<LONGLONG[]> buffer(new LONGLONG[kBufferBytes / sizeof(LONGLONG)]);
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileFullDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(folder, infoClass, buffer.get(), kBufferBytes)) {
            const DWORD error = GetLastError();
            return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
        }
        infoClass = FileFullDirectoryInfo;
        const BYTE* at = reinterpret_cast<const BYTE*>(buffer.get());
        for (;;) {
            const auto* info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
            std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                entries.push_back({std::move(name), (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                   (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
            }
            if (info->NextEntryOffset == 0) break;
            at += info->NextEntryOffset;
        }
    }
}

// One folder of the walk: held open until it is deleted.
struct Frame {
    ScopedHandle owned;  // empty for the root, which stays the caller's
    HANDLE handle = nullptr;
    std::wstring namePath;
    std::wstring finalPath;  // FinalPath of the root; a child's is its parent's plus its name (checked)
    std::wstring path;
    std::vector<Entry> entries;
    size_t next = 0;
    DWORD error = ERROR_SUCCESS;  // the first error of something in it that stays
    bool marked = false;          // something in it is marked for deletion at the next restart
};

void Note(DWORD& first, DWORD error) {
    if (first == ERROR_SUCCESS) first = error;
}

std::wstring Child(const std::wstring& parent, const std::wstring& name) {
    return (!parent.empty() && parent.back() == L'\\' ? parent : parent + L"\\") + name;
}

// Whether a file that could not be opened or deleted with `error` is one a restart deletes: the system
// holds it (sharing, mapping, access), not a name that is gone, a link in the way or something else
// than the file that was listed.
bool HeldBySomeone(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_PROC_NOT_FOUND:
        case kErrorLinkInTheWay:
        case kErrorIsAFolder:
            return false;
        default:
            return true;
    }
}

// The final path of `name` in the folder of `frame` (the folder is held: the name cannot move elsewhere).
std::wstring FinalPathIn(const Frame& frame, const std::wstring& name) {
    return frame.finalPath.empty() ? std::wstring() : Child(frame.finalPath, name);
}

bool IsLink(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    return !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) ||
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Whether the file `entry` of `frame`, which could not be opened for deletion, is a plain file in its place:
// listed as one, and opened only to look at it (which no sharing refuses), no link and its path its
// folder's plus its name (Wine follows a link even then: the path shows it).
bool PlainFileInPlace(const Frame& frame, const Entry& entry) {
    if (entry.listedAsFolder || entry.listedAsLink) return false;
    ScopedHandle look;
    if (OpenRelativeToLook(frame.handle, entry.name, look) != ERROR_SUCCESS) return false;
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    return GetFileInformationByHandleEx(look.get(), FileAttributeTagInfo, &tag, sizeof(tag)) &&
           !(tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
           InPlace(look.get(), frame.namePath, entry.name);
}

class Walk {
  public:
    Walk(TreeObserver& observer, HeldItems held) : m_observer(observer), m_held(held) {}

    // The outcome of an entry of `parent` (printed as `path`, its final path `finalPath`, empty when
    // unknown) that could not be deleted with `error`: marked for deletion at the next restart when
    // `markable` (and the caller asked for it), else it stays with its error.
    void Left(Frame& parent, const std::wstring& finalPath, const std::wstring& path, EntryKind kind,
              DWORD error, bool markable) {
        if (markable && m_held == HeldItems::kDeleteAtRestart && !finalPath.empty() &&
            DeleteAtNextRestart(finalPath) == ERROR_SUCCESS) {
            m_observer.Done(path, kind, ERROR_SUCCESS_REBOOT_REQUIRED);
            parent.marked = true;
            m_anyMarked = true;
            return;
        }
        m_observer.Done(path, kind, error);
        Note(parent.error, error);
    }

    // Deletes one entry of `parent` that is not a folder to enter: a file, or a link (Windows opened the
    // link itself). Only a file is ever marked.
    void DeleteLeaf(HANDLE child, const std::wstring& name, const std::wstring& path, EntryKind kind,
                    bool announced, Frame& parent) {
        if (!announced) m_observer.Deleting(path, kind);
        const DWORD error = DeleteThroughHandle(child);
        if (error == ERROR_SUCCESS) {
            m_observer.Done(path, kind, error);
            return;
        }
        Left(parent, FinalPathIn(parent, name), path, kind, error,
             kind == EntryKind::kFile && HeldBySomeone(error) && !IsLink(child));
    }

    // `done`, popped off the stack with everything in it dealt with, and its parent.
    void DeleteFolder(Frame& done, Frame& parent) {
        m_observer.Deleting(done.path, EntryKind::kFolder);
        const DWORD error = DeleteThroughHandle(done.handle);
        if (error == ERROR_SUCCESS) {
            m_observer.Done(done.path, EntryKind::kFolder, error);
            return;
        }
        if (done.error != ERROR_SUCCESS) {
            m_observer.Done(done.path, EntryKind::kFolder, error);
            Note(parent.error, done.error);
            return;
        }
        // Left only because of what in it is marked: marked itself, after its children.
        Left(parent, done.finalPath, done.path, EntryKind::kFolder, error,
             done.marked && error == ERROR_DIR_NOT_EMPTY);
    }

    bool anyMarked() const { return m_anyMarked; }

  private:
    TreeObserver& m_observer;
    HeldItems m_held;
    bool m_anyMarked = false;
};

}  // namespace

DWORD ListNames(HANDLE folder, std::vector<std::wstring>& names) {
    try {
        std::vector<Entry> entries;
        const DWORD error = List(folder, entries);
        for (Entry& entry : entries) names.push_back(std::move(entry.name));
        return error;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD DeleteAtNextRestart(const std::wstring& path) {
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    const bool drivePath = path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
    const std::wstring given = path.size() >= MAX_PATH && drivePath ? L"\\\\?\\" + path : path;
    if (MoveFileExW(given.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
}

DWORD DeleteTreeContents(const HeldFolder& folder, const std::wstring& path, TreeObserver& observer,
                         HeldItems held) {
    if (!folder.handle || folder.namePath.empty()) return ERROR_INVALID_HANDLE;
    Walk walk(observer, held);
    std::vector<Frame> stack;
    stack.emplace_back();
    stack.back().handle = folder.handle.get();
    stack.back().namePath = folder.namePath;
    stack.back().finalPath = folder.finalPath;
    stack.back().path = path;
    const DWORD rootError = List(folder.handle.get(), stack.back().entries);
    observer.Listed(path);
    DWORD result = ERROR_SUCCESS;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.entries.size()) {
            if (stack.size() == 1) {
                Note(result, rootError);
                Note(result, top.error);
                break;
            }
            Frame done = std::move(top);
            stack.pop_back();
            walk.DeleteFolder(done, stack.back());
            continue;
        }
        const Entry& entry = top.entries[top.next++];
        const std::wstring childPath =
            (!top.path.empty() && top.path.back() == L'\\' ? top.path : top.path + L"\\") + entry.name;
        if (observer.Skip(childPath, entry.listedAsFolder ? EntryKind::kFolder : EntryKind::kFile)) continue;
        // Files are printed before they are opened, folders once their contents are gone.
        const bool announced = !entry.listedAsFolder;
        if (announced) observer.Deleting(childPath, EntryKind::kFile);
        ScopedHandle child;
        DWORD error = OpenRelative(top.handle, entry.name, entry.listedAsFolder, child);
        if (error == ERROR_FILE_NOT_FOUND) {
            // Gone since the listing (deleted by someone else meanwhile): nothing is left of it.
            if (!announced) observer.Deleting(childPath, EntryKind::kFolder);
            observer.Done(childPath, announced ? EntryKind::kFile : EntryKind::kFolder, ERROR_SUCCESS);
            continue;
        }
        if (error != ERROR_SUCCESS) {
            if (!announced) observer.Deleting(childPath, EntryKind::kFolder);
            walk.Left(top, FinalPathIn(top, entry.name), childPath,
                      entry.listedAsFolder ? EntryKind::kFolder : EntryKind::kFile, error,
                      !entry.listedAsFolder && HeldBySomeone(error) && PlainFileInPlace(top, entry));
            continue;
        }
        if (!entry.listedAsFolder) {
            // A file, opened as one: deleted through its handle when it is the entry listed here (on
            // Windows a link opened as itself also is: then the link goes).
            if (!InPlace(child.get(), top.namePath, entry.name)) {
                observer.Done(childPath, EntryKind::kFile, kErrorLinkInTheWay);
                Note(top.error, kErrorLinkInTheWay);
                continue;
            }
            walk.DeleteLeaf(child.get(), entry.name, childPath, EntryKind::kFile, announced, top);
            continue;
        }
        const ChildCheck check = CheckChild(child.get(), top.namePath, entry.name);
        if (!check.inPlace) {
            // The handle leads somewhere else than the entry listed: a link that was followed (Wine), or a
            // folder renamed meanwhile. Nothing is done through it.
            observer.Deleting(childPath, EntryKind::kLink);
            observer.Done(childPath, EntryKind::kLink, kErrorLinkInTheWay);
            Note(top.error, kErrorLinkInTheWay);
            continue;
        }
        if (check.isLink) {
            walk.DeleteLeaf(child.get(), entry.name, childPath, EntryKind::kLink, announced, top);
            continue;
        }
        if (!check.isFolder) {
            walk.DeleteLeaf(child.get(), entry.name, childPath, EntryKind::kFile, announced, top);
            continue;
        }
        Frame frame;
        frame.owned = std::move(child);
        frame.handle = frame.owned.get();
        frame.namePath = check.namePath;
        // In its place (checked above): its final path is its folder's plus its name.
        frame.finalPath = FinalPathIn(top, entry.name);
        frame.path = childPath;
        Note(frame.error, List(frame.handle, frame.entries));
        // `top` and `entry` may move with the stack's growth: neither is used after this.
        stack.push_back(std::move(frame));
        observer.Listed(childPath);
    }
    if (result == ERROR_SUCCESS && walk.anyMarked()) return ERROR_SUCCESS_REBOOT_REQUIRED;
    return result;
}

}  // namespace tavo::files
