// Opening, checking and deleting through handles: the pieces of every deletion in files.h.
#include <windows.h>
#include <winternl.h>

#include <vector>

#include "files/files.h"
#include "support/proc_address.h"

namespace tavo::files {

namespace {

using NtOpenFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG,
                                            ULONG);
using StatusToErrorFunction = ULONG(NTAPI*)(NTSTATUS);
using NtQueryObjectFunction = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

// NtQueryObject's class for an object's name (OBJECT_NAME_INFORMATION: a UNICODE_STRING and its text).
constexpr ULONG kObjectNameInformation = 1;
constexpr NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);

HMODULE Ntdll() { return GetModuleHandleW(L"ntdll.dll"); }

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

std::wstring Child(const std::wstring& parent, const std::wstring& name) {
    if (!parent.empty() && parent.back() == L'\\') return parent + name;
    return parent + L"\\" + name;
}

// Only the attributes change (zero times are left as they are; no attributes at all is "normal").
bool SetAttributes(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) != 0;
}

// Windows 10 1709 and later (the SDK headers name them for builds that target it only).
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;
struct DispositionInfoEx {
    DWORD Flags;
};

// Whether FileDispositionInfoEx is worth trying: systems before Windows 10 1709 (and Wine) do not know the
// class, and say so the same way every time.
bool g_dispositionExUnknown = false;

bool ClassUnknown(DWORD error) {
    return error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION ||
           error == ERROR_CALL_NOT_IMPLEMENTED || error == ERROR_NOT_SUPPORTED;
}

}  // namespace

std::wstring FinalPath(HANDLE handle) {
    std::vector<wchar_t> buffer(MAX_PATH + 8);
    DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    // Too small: Windows answers the size needed, Wine 0 with ERROR_NOT_ENOUGH_MEMORY.
    if (length >= buffer.size() || (length == 0 && GetLastError() == ERROR_NOT_ENOUGH_MEMORY)) {
        buffer.resize(length >= buffer.size() ? length + 1 : 32768);
        length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    if (length == 0 || length >= buffer.size()) return {};
    std::wstring result(buffer.data(), length);
    if (result.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + result.substr(8);
    if (result.rfind(L"\\\\?\\", 0) == 0) result.erase(0, 4);
    return result;
}

std::wstring NamePath(HANDLE handle) {
    static const auto ntQueryObject = ProcAddress<NtQueryObjectFunction>(Ntdll(), "NtQueryObject");
    if (!ntQueryObject) return {};
    // A name has at most 32,767 characters: a second try with room for that is the last.
    std::vector<LONGLONG> buffer((sizeof(UNICODE_STRING) + (MAX_PATH + 64) * sizeof(wchar_t)) /
                                 sizeof(LONGLONG));
    for (int attempt = 0; attempt < 2; ++attempt) {
        const NTSTATUS status = ntQueryObject(handle, kObjectNameInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size() * sizeof(LONGLONG)), nullptr);
        if (status >= 0) {
            const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
            if (!name->Buffer || name->Length == 0) return {};
            return std::wstring(name->Buffer, name->Length / sizeof(wchar_t));
        }
        if (status != kStatusBufferOverflow && status != kStatusInfoLengthMismatch &&
            status != kStatusBufferTooSmall) {
            return {};
        }
        buffer.resize((sizeof(UNICODE_STRING) + 0x10000 + sizeof(wchar_t)) / sizeof(LONGLONG) + 1);
    }
    return {};
}

DWORD DeleteThroughHandle(HANDLE handle) {
    if (!g_dispositionExUnknown) {
        DispositionInfoEx ex = {kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly};
        if (SetFileInformationByHandle(handle, kFileDispositionInfoEx, &ex, sizeof(ex))) return ERROR_SUCCESS;
        const DWORD error = GetLastError();
        if (!ClassUnknown(error)) return error;
        // ERROR_NOT_SUPPORTED also comes from a file system without POSIX deletion: try the next one again.
        if (error != ERROR_NOT_SUPPORTED) g_dispositionExUnknown = true;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)))
        return ERROR_SUCCESS;
    DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED) return error;
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic)) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        return error;
    }
    if (!SetAttributes(handle, basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY)) return error;
    if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)))
        return ERROR_SUCCESS;
    error = GetLastError();
    SetAttributes(handle, basic.FileAttributes);
    return error;
}

namespace {

// NtOpenFile of the one component `name` relative to `parent`, without following a link.
DWORD OpenChild(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG options,
                ScopedHandle& out) {
    out.reset();
    static const auto ntOpenFile = ProcAddress<NtOpenFileFunction>(Ntdll(), "NtOpenFile");
    static const auto toError = ProcAddress<StatusToErrorFunction>(Ntdll(), "RtlNtStatusToDosError");
    if (!ntOpenFile || !toError) return ERROR_PROC_NOT_FOUND;
    // One component only: a separator or a dot name would reach another folder.
    if (name.empty() || name == L"." || name == L".." || name.find_first_of(L"\\/") != std::wstring::npos ||
        name.size() * sizeof(wchar_t) > 0xFFF0) {
        return ERROR_INVALID_NAME;
    }
    UNICODE_STRING unicodeName;
    unicodeName.Buffer = const_cast<PWSTR>(name.c_str());
    unicodeName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    unicodeName.MaximumLength = unicodeName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE handle = nullptr;
    const NTSTATUS result = ntOpenFile(
        &handle, access | SYNCHRONIZE, &attributes, &status, share,
        options | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT);
    if (result == static_cast<NTSTATUS>(0xC00000BA)) return kErrorIsAFolder;  // STATUS_FILE_IS_A_DIRECTORY
    if (result < 0) return toError(result);
    out.reset(handle);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD OpenRelative(HANDLE parent, const std::wstring& name, bool listFolder, ScopedHandle& out) {
    const ACCESS_MASK access =
        DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | (listFolder ? FILE_LIST_DIRECTORY : 0);
    ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (!listFolder) share |= FILE_SHARE_DELETE;
    return OpenChild(parent, name, access, share, listFolder ? 0 : FILE_NON_DIRECTORY_FILE, out);
}

DWORD OpenRelativeToLook(HANDLE parent, const std::wstring& name, ScopedHandle& out) {
    return OpenChild(parent, name, FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, out);
}

ChildCheck CheckChild(HANDLE child, const std::wstring& parentName, const std::wstring& name) {
    ChildCheck check;
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(child, FileAttributeTagInfo, &tag, sizeof(tag))) return check;
    check.isFolder = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    check.isLink = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (check.isLink) {
        // Opened without following it: the handle is the link itself, whatever it leads to.
        check.inPlace = true;
        return check;
    }
    check.namePath = NamePath(child);
    check.inPlace = !parentName.empty() && !check.namePath.empty() &&
                    EqualNoCase(check.namePath, Child(parentName, name));
    return check;
}

bool InPlace(HANDLE child, const std::wstring& parentName, const std::wstring& name) {
    const std::wstring namePath = NamePath(child);
    return !parentName.empty() && !namePath.empty() && EqualNoCase(namePath, Child(parentName, name));
}

HeldFolder HoldFolder(const std::wstring& path) {
    HeldFolder held;
    std::wstring trimmed = path;
    while (trimmed.size() > 3 && (trimmed.back() == L'\\' || trimmed.back() == L'/')) trimmed.pop_back();
    const size_t slash = trimmed.find_last_of(L"\\/");
    if (trimmed.empty() || slash == std::wstring::npos || slash + 1 >= trimmed.size()) {
        held.error = ERROR_BAD_PATHNAME;
        return held;
    }
    const std::wstring name = trimmed.substr(slash + 1);
    held.handle.reset(
        CreateFileW(trimmed.c_str(),
                    DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held.handle) {
        held.error = GetLastError();
        return held;
    }
    // The folder that holds it, through whatever links lead there: the folder must be in it by its name.
    std::wstring parentPath = trimmed.substr(0, slash);
    if (parentPath.size() == 2 && parentPath[1] == L':') parentPath += L'\\';
    const ScopedHandle parent(CreateFileW(parentPath.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const ChildCheck check = CheckChild(held.handle.get(), parent ? NamePath(parent.get()) : L"", name);
    if (!check.isFolder && !check.isLink) {
        held.error = ERROR_DIRECTORY;
    } else if (check.isLink || !check.inPlace) {
        held.error = kErrorLinkInTheWay;
    } else {
        held.namePath = check.namePath;
        held.finalPath = FinalPath(held.handle.get());
        if (!held.finalPath.empty()) return held;
        held.error = GetLastError() ? GetLastError() : ERROR_INVALID_NAME;
    }
    held.handle.reset();
    return held;
}

FolderForDeletion HoldFolderForDeletion(const std::wstring& path) {
    FolderForDeletion result;
    result.folder = HoldFolder(path);
    switch (result.folder.error) {
        case ERROR_SUCCESS:
            result.verdict = JudgeFolderForDeletion(result.folder.finalPath.c_str());
            if (result.verdict != FolderVerdict::kDeletable) result.folder.handle.reset();
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            result.verdict = FolderVerdict::kMissing;
            break;
        case kErrorLinkInTheWay:
            result.verdict = FolderVerdict::kLink;
            break;
        default:
            result.verdict = FolderVerdict::kNotAFolder;
            break;
    }
    return result;
}

}  // namespace tavo::files
