// The private folder of the relocated copy: made and opened in one step, held from then on so that it
// cannot be renamed or replaced, and worked on through that handle: files moved in and deleted relative to
// it, the folder itself removed only after its identity was checked again.
#include <windows.h>

#include <ntsecapi.h>
#include <sddl.h>
#include <winternl.h>

#include <cwchar>
#include <string>
#include <vector>

#include "files/files.h"
#include "stages/stages.h"
#include "support/scoped.h"

namespace {

constexpr size_t kRandomDigits = 32;
// What the holder may do through its handle. No DELETE: a rename into the folder opens the folder as its
// target with read and write sharing only, which a held DELETE right would refuse. Shared for reading and
// writing, never for deletion: nobody can rename, move or delete the folder while it is held.
constexpr ACCESS_MASK kHoldAccess =
    FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kHoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

// The temporary folder as GetTempPathW gives it, with its trailing backslash, in its long form when the
// system knows one (so that a short 8.3 form and the long form compare equal).
bool LongTempFolder(wchar_t (&folder)[MAX_PATH]) {
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH) return false;
    const DWORD longLength = GetLongPathNameW(temp, folder, MAX_PATH);
    if (longLength == 0 || longLength >= MAX_PATH) wcscpy(folder, temp);
    return true;
}

// "\??\C:\..." or "\??\UNC\server\share\..." for a full path.
std::wstring NtPath(const std::wstring& path) {
    if (path.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + path.substr(2);
    return L"\\??\\" + path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// A folder, no link: through the handle, not the name.
bool IsPlainFolder(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

DWORD ErrorOf(NTSTATUS status) { return RtlNtStatusToDosError(status); }

// Renames the file open as `file` (with DELETE access) to `name` in the folder open as `folder`, never
// replacing a file there: no path decides where it lands.
DWORD RenameInto(HANDLE file, HANDLE folder, const wchar_t* name) {
    if (!file || file == INVALID_HANDLE_VALUE || !folder || !name || !*name) return ERROR_INVALID_PARAMETER;
    try {
        BY_HANDLE_FILE_INFORMATION info = {};
        if (!GetFileInformationByHandle(file, &info)) return GetLastError();
        if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            return ERROR_BAD_FILE_TYPE;
        const size_t nameBytes = wcslen(name) * sizeof(wchar_t);
        std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFORMATION) + nameBytes);
        auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
        rename->ReplaceIfExists = FALSE;
        rename->RootDirectory = folder;
        rename->FileNameLength = static_cast<ULONG>(nameBytes);
        memcpy(rename->FileName, name, nameBytes);
        IO_STATUS_BLOCK io = {};
        const NTSTATUS status = NtSetInformationFile(file, &io, rename, static_cast<ULONG>(buffer.size()),
                                                     static_cast<FILE_INFORMATION_CLASS>(10));  // rename
        return NT_SUCCESS(status) ? ERROR_SUCCESS : ErrorOf(status);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace

PrivateFolder PrivateFolder::Create(DWORD& error) {
    PrivateFolder folder;
    error = ERROR_SUCCESS;
    try {
        wchar_t temp[MAX_PATH] = {};
        const DWORD length = GetTempPathW(MAX_PATH, temp);
        if (length == 0 || length >= MAX_PATH) {
            error = length ? ERROR_FILENAME_EXCED_RANGE : GetLastError();
            return folder;
        }
        BYTE random[kRandomDigits / 2] = {};
        if (!RtlGenRandom(random, sizeof(random))) {
            error = ERROR_GEN_FAILURE;
            return folder;
        }
        std::wstring name = kPrivateFolderPrefix;
        for (BYTE byte : random) {
            wchar_t digits[3] = {};
            swprintf(digits, 3, L"%02X", byte);
            name += digits;
        }
        const std::wstring path = std::wstring(temp) + name;
        if (path.size() + 1 + wcslen(kCopyName) >= MAX_PATH) {
            error = ERROR_FILENAME_EXCED_RANGE;
            return folder;
        }
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateFolderSddl, SDDL_REVISION_1,
                                                                  &descriptor, nullptr)) {
            error = GetLastError();
            return folder;
        }
        const tavo::ScopedLocalMemory descriptorOwner(descriptor);

        // Made and opened in one call: the folder is new (the call fails when anything of that name exists,
        // a link included), and held from its first moment.
        std::wstring ntPath = NtPath(path);
        UNICODE_STRING unicode = {};
        unicode.Buffer = ntPath.data();
        unicode.Length = static_cast<USHORT>(ntPath.size() * sizeof(wchar_t));
        unicode.MaximumLength = unicode.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, nullptr, descriptor);
        IO_STATUS_BLOCK io = {};
        HANDLE handle = nullptr;
        const NTSTATUS status = NtCreateFile(
            &handle, kHoldAccess, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, kHoldSharing, FILE_CREATE,
            FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        if (!NT_SUCCESS(status)) {
            error = ErrorOf(status);
            return folder;
        }
        folder.handle_.reset(handle);
        if (!folder.Verify(name)) {
            error = ERROR_BAD_PATHNAME;
            folder.handle_.reset();
        }
    } catch (...) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        folder.handle_.reset();
    }
    return folder;
}

PrivateFolder PrivateFolder::Adopt(HANDLE handle, const std::wstring& expectedPath) {
    PrivateFolder folder;
    folder.handle_.reset(handle);
    try {
        const size_t slash = expectedPath.find_last_of(L'\\');
        if (slash == std::wstring::npos || !folder.Verify(expectedPath.substr(slash + 1)) ||
            !SamePath(folder.path_, expectedPath)) {
            folder.handle_.reset();
        }
    } catch (...) {
        folder.handle_.reset();
    }
    return folder;
}

PrivateFolder PrivateFolder::Open(const std::wstring& path, DWORD& error) {
    PrivateFolder folder;
    error = ERROR_SUCCESS;
    folder.handle_.reset(CreateFileW(path.c_str(), kHoldAccess, kHoldSharing, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder.handle_) {
        error = GetLastError();
        return folder;
    }
    return Adopt(folder.handle_.release(), path);
}

bool PrivateFolder::Verify(const std::wstring& name) {
    if (!IsPlainFolder(handle_.get(), identity_)) return false;
    // The handle's own final path ends in the name that was made: the folder was not reached through a
    // link; from now on its path is this one.
    path_ = tavo::files::FinalPath(handle_.get());
    if (path_.size() <= name.size() + 1 || path_[path_.size() - name.size() - 1] != L'\\') return false;
    return SamePath(path_.substr(path_.size() - name.size()), name);
}

DWORD PrivateFolder::MoveIn(const std::wstring& source, const wchar_t* name) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    tavo::ScopedHandle file(CreateFileW(source.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return GetLastError();
    return MoveIn(file.get(), name);
}

DWORD PrivateFolder::MoveIn(HANDLE file, const wchar_t* name) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    return RenameInto(file, handle_.get(), name);
}

DWORD PrivateFolder::MoveOut(const wchar_t* name, HANDLE target, const wchar_t* targetName) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    tavo::ScopedHandle file;
    const DWORD error = tavo::files::OpenRelative(handle_.get(), name, false, file);
    if (error != ERROR_SUCCESS) return error;
    return RenameInto(file.get(), target, targetName);
}

DWORD PrivateFolder::CopyIn(const std::wstring& source, const wchar_t* name) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    // By path: the held folder keeps its path (neither it nor a folder above it can be renamed while it is
    // held, on Windows), and the copy never replaces an existing file.
    const std::wstring target = path_ + L"\\" + name;
    return CopyFileW(source.c_str(), target.c_str(), TRUE) ? ERROR_SUCCESS : GetLastError();
}

DWORD PrivateFolder::DeleteEntry(const wchar_t* name) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    if (!name) return ERROR_INVALID_PARAMETER;
    try {
        tavo::ScopedHandle file;
        const DWORD error = tavo::files::OpenRelative(handle_.get(), name, false, file);
        // Through its handle (a read-only file, such as a library copied with its attributes, loses that
        // attribute first).
        return error == ERROR_SUCCESS ? tavo::files::DeleteThroughHandle(file.get()) : error;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

std::vector<std::wstring> PrivateFolder::Entries() const {
    std::vector<std::wstring> names;
    if (handle_) tavo::files::ListNames(handle_.get(), names);
    return names;
}

DWORD PrivateFolder::Remove() {
    if (!handle_) return ERROR_INVALID_HANDLE;
    // The hold is given up to take the folder's DELETE right, which the hold's sharing refuses to everyone.
    // Whatever is found under the name then is deleted only when it is the same folder (its file id): an
    // empty folder, since a folder that still holds anything is not deleted.
    handle_.reset();
    tavo::ScopedHandle folder(
        CreateFileW(path_.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) return GetLastError();
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!IsPlainFolder(folder.get(), info) || info.dwVolumeSerialNumber != identity_.dwVolumeSerialNumber ||
        info.nFileIndexHigh != identity_.nFileIndexHigh || info.nFileIndexLow != identity_.nFileIndexLow) {
        return ERROR_FILE_NOT_FOUND;
    }
    return tavo::files::DeleteThroughHandle(folder.get());
}

BOOL IsRelocatedCopy(LPCWSTR path, LPWSTR folder) {
    if (!path || !folder) return FALSE;
    wchar_t longPath[MAX_PATH] = {};
    const DWORD longLength = GetLongPathNameW(path, longPath, MAX_PATH);
    if (longLength == 0 || longLength >= MAX_PATH) {
        if (wcslen(path) >= MAX_PATH) return FALSE;
        wcscpy(longPath, path);
    }
    wchar_t temp[MAX_PATH] = {};
    if (!LongTempFolder(temp)) return FALSE;
    const size_t tempLength = wcslen(temp);
    const size_t prefixLength = ARRAYSIZE(kPrivateFolderPrefix) - 1;
    const size_t folderLength = tempLength + prefixLength + kRandomDigits;
    const size_t copyLength = ARRAYSIZE(kCopyName) - 1;
    if (wcslen(longPath) != folderLength + 1 + copyLength) return FALSE;
    if (CompareStringOrdinal(longPath, static_cast<int>(tempLength), temp, static_cast<int>(tempLength),
                             TRUE) != CSTR_EQUAL) {
        return FALSE;
    }
    const wchar_t* name = longPath + tempLength;
    if (CompareStringOrdinal(name, static_cast<int>(prefixLength), kPrivateFolderPrefix,
                             static_cast<int>(prefixLength), TRUE) != CSTR_EQUAL) {
        return FALSE;
    }
    for (size_t i = 0; i < kRandomDigits; ++i) {
        if (!IsHexDigit(name[prefixLength + i])) return FALSE;
    }
    if (longPath[folderLength] != L'\\' ||
        CompareStringOrdinal(longPath + folderLength + 1, -1, kCopyName, -1, TRUE) != CSTR_EQUAL) {
        return FALSE;
    }
    wmemcpy(folder, longPath, folderLength);
    folder[folderLength] = L'\0';
    return TRUE;
}

bool HoldsCommandProcessorText(LPCWSTR path) { return !path || wcspbrk(path, L"%!^\"&|<>") != nullptr; }

BOOL ScheduleDeletionAtRestart(LPCWSTR copy, LPCWSTR folder) {
    if (!copy || !folder) return FALSE;
    const bool scheduled = tavo::files::DeleteAtNextRestart(copy) == ERROR_SUCCESS;
    // A folder is removed at restart once the files in it are gone.
    return tavo::files::DeleteAtNextRestart(folder) == ERROR_SUCCESS && scheduled;
}
