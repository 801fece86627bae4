// The recursive deletion of files.h: each folder listed from its own handle, each child opened relative
// to that handle and checked through its own, folders deleted after their contents. The walk keeps its
// own stack of open folders (no recursion: a tree as deep as paths allow cannot exhaust the thread's stack).
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
                entries.push_back({std::move(name), (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
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
    std::wstring path;
    std::vector<Entry> entries;
    size_t next = 0;
    DWORD error = ERROR_SUCCESS;
};

void Note(DWORD& first, DWORD error) {
    if (first == ERROR_SUCCESS) first = error;
}

// Deletes one entry of `parent` that is not a folder to enter: a file, or a link (Windows opened the link
// itself). Reports to the observer.
void DeleteLeaf(HANDLE child, const std::wstring& path, EntryKind kind, bool announced, Frame& parent,
                TreeObserver& observer) {
    if (!announced) observer.Deleting(path, kind);
    const DWORD error = DeleteThroughHandle(child);
    observer.Done(path, kind, error);
    Note(parent.error, error);
}

}  // namespace

DWORD DeleteTreeContents(const HeldFolder& folder, const std::wstring& path, TreeObserver& observer) {
    if (!folder.handle || folder.namePath.empty()) return ERROR_INVALID_HANDLE;
    std::vector<Frame> stack;
    stack.emplace_back();
    stack.back().handle = folder.handle.get();
    stack.back().namePath = folder.namePath;
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
            observer.Deleting(done.path, EntryKind::kFolder);
            const DWORD error = DeleteThroughHandle(done.handle);
            observer.Done(done.path, EntryKind::kFolder, error);
            Note(done.error, error);
            Note(stack.back().error, done.error);
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
            observer.Done(childPath, entry.listedAsFolder ? EntryKind::kFolder : EntryKind::kFile, error);
            Note(top.error, error);
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
            DeleteLeaf(child.get(), childPath, EntryKind::kFile, announced, top, observer);
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
            DeleteLeaf(child.get(), childPath, EntryKind::kLink, announced, top, observer);
            continue;
        }
        if (!check.isFolder) {
            DeleteLeaf(child.get(), childPath, EntryKind::kFile, announced, top, observer);
            continue;
        }
        Frame frame;
        frame.owned = std::move(child);
        frame.handle = frame.owned.get();
        frame.namePath = check.namePath;
        frame.path = childPath;
        Note(frame.error, List(frame.handle, frame.entries));
        // `top` and `entry` may move with the stack's growth: neither is used after this.
        stack.push_back(std::move(frame));
        observer.Listed(childPath);
    }
    return result;
}

}  // namespace tavo::files
