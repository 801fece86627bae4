// Windows Installer keeps a copy of every package it installs in its cache folder (%SystemRoot%\Installer),
// under a name of its own that the product's "LocalPackage" record holds, and the product's icons in a
// folder there named by the product code. The cleanup removes the product's records by hand, so nothing
// would know either afterwards: they go just before the records. The record is believed no further than
// this: only a plain file directly in the cache folder, named "*.msi", is deleted; of the icon folder only
// the plain files directly in it, then the folder when it is empty.
#include <windows.h>

#include <cwchar>

#include <string>
#include <vector>

#include "console/console.h"
#include "files/files.h"
#include "install/install.h"
#include "outcome/outcome.h"
#include "steps/registry_cleanup.h"
#include "support/scoped.h"

namespace {

constexpr DWORD kPathChars = MAX_PATH;

// `subkey` under `parent` opened for reading; a registry link in its place (which leads to another key's
// records) does not open.
bool OpenNoLink(HKEY parent, LPCWSTR subkey, tavo::ScopedRegKey& key) {
    if (RegOpenKeyExW(parent, subkey, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | RegistryViewFlag, key.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) ==
            ERROR_SUCCESS &&
        type == REG_LINK) {
        key.reset();
        return false;
    }
    return true;
}

// The product's "LocalPackage" (a REG_SZ under <code>\InstallProperties) into `path`; false when it is not
// there, not text, empty or longer than the buffer.
bool ReadLocalPackage(HKEY products, LPCWSTR packedCode, wchar_t (&path)[kPathChars]) {
    tavo::ScopedRegKey product, properties;
    if (!OpenNoLink(products, packedCode, product) ||
        !OpenNoLink(product.get(), L"InstallProperties", properties))
        return false;
    DWORD type = 0;
    DWORD bytes = sizeof(path) - sizeof(wchar_t);
    if (RegQueryValueExW(properties.get(), L"LocalPackage", nullptr, &type, reinterpret_cast<BYTE*>(path),
                         &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    path[bytes / sizeof(wchar_t)] = L'\0';
    return path[0] != L'\0';
}

// A folder that is there and is no link (junction, symbolic link or mount point).
bool IsRealFolder(LPCWSTR path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// "<system Windows folder>\Installer\" into `folder`, when that folder is a real one (not a link).
bool CacheFolder(wchar_t (&folder)[kPathChars]) {
    const UINT length = GetSystemWindowsDirectoryW(folder, kPathChars);
    if (length == 0 || length >= kPathChars) return false;
    if (folder[length - 1] == L'\\') folder[length - 1] = L'\0';
    if (wcscat_s(folder, L"\\Installer") != 0) return false;
    if (!IsRealFolder(folder)) return false;
    return wcscat_s(folder, L"\\") == 0;
}

// True when `path` is "<folder><name>.msi" with a plain file name: no further folder, stream or wildcard,
// nothing that Windows would trim from the end.
bool IsCachedPackagePath(LPCWSTR path, LPCWSTR folder) {
    const size_t folderLength = wcslen(folder);
    if (_wcsnicmp(path, folder, folderLength) != 0) return false;
    const wchar_t* name = path + folderLength;
    const size_t nameLength = wcslen(name);
    if (nameLength <= 4 || _wcsicmp(name + nameLength - 4, L".msi") != 0) return false;
    return wcspbrk(name, L"\\/:*?\"<>|") == nullptr;
}

void Record(LPCWSTR path, ItemKind kind, DWORD error) {
    RecordOutcome(kind, path, error == ERROR_SUCCESS ? ItemResult::kDeleted : ItemResult::kFailed, error);
}

// Deletes the file through one handle that was opened on the file itself (never through a link) and found
// to be a plain file with this one name (files/files.h deletes it, read-only or not).
void DeletePlainFile(LPCWSTR path) {
    tavo::ScopedHandle file(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) Record(path, ItemKind::kFile, error);
        return;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        info.nNumberOfLinks != 1) {
        return;
    }
    Record(path, ItemKind::kFile, tavo::files::DeleteThroughHandle(file.get()));
}

// The plain files directly in the product's icon folder (a folder, not a link), then the folder when that
// leaves it empty. Anything else in it stays, and so does the folder. Once listed, the folder is held while
// each listed name is opened relative to it.
void DeleteIconFolder(LPCWSTR cacheFolder, LPCWSTR packedCode) {
    wchar_t guid[kPathChars] = {}, folder[kPathChars] = {};
    if (!UnpackProductCode(packedCode, guid) ||
        swprintf(folder, kPathChars, L"%ls%ls", cacheFolder, guid) <= 0)
        return;
    if (!IsRealFolder(folder)) return;
    ConsoleLine(folder);
    wchar_t pattern[kPathChars] = {};
    if (swprintf(pattern, kPathChars, L"%ls\\*", folder) <= 0) return;
    std::vector<std::wstring> names;
    {
        WIN32_FIND_DATAW entry = {};
        tavo::ScopedFindHandle listing(FindFirstFileW(pattern, &entry));
        if (!listing) return;
        do {
            if (!(entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
                names.push_back(entry.cFileName);
        } while (FindNextFileW(listing.get(), &entry));
    }
    const tavo::files::HeldFolder held = tavo::files::HoldFolder(folder);
    if (!held.handle) return;
    for (const std::wstring& name : names) {
        const std::wstring path = std::wstring(folder) + L"\\" + name;
        ConsoleLine(path.c_str());
        tavo::ScopedHandle file;
        DWORD error = tavo::files::OpenRelative(held.handle.get(), name, false, file);
        if (error == ERROR_SUCCESS) {
            const tavo::files::ChildCheck check = tavo::files::CheckChild(file.get(), held.namePath, name);
            if (check.isFolder || check.isLink || !check.inPlace) continue;
            error = tavo::files::DeleteThroughHandle(file.get());
        }
        Record(path.c_str(), ItemKind::kFile, error);
    }
    const DWORD error = tavo::files::DeleteThroughHandle(held.handle.get());
    if (error != ERROR_DIR_NOT_EMPTY) Record(folder, ItemKind::kFolder, error);
}

}  // namespace

void DeleteInstallerCache(HKEY products, LPCWSTR packedCode) {
    wchar_t package[kPathChars] = {}, folder[kPathChars] = {};
    if (!products || !IsPackedCode(packedCode) || !CacheFolder(folder)) return;
    if (ReadLocalPackage(products, packedCode, package) && IsCachedPackagePath(package, folder)) {
        ConsoleLine(package);
        DeletePlainFile(package);
    }
    DeleteIconFolder(folder, packedCode);
}
