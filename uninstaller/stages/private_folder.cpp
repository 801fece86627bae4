// The private folder of the relocated copy: making it, recognising it, and what may be said about it to
// the command processor.
#include <windows.h>

#include <ntsecapi.h>
#include <sddl.h>

#include <cwchar>

#include "stages/stages.h"
#include "support/scoped.h"

namespace {

constexpr size_t kRandomDigits = 32;

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

}  // namespace

BOOL CreatePrivateFolder(LPWSTR folder) {
    if (!folder) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    folder[0] = L'\0';
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0) return FALSE;
    if (length >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    BYTE random[kRandomDigits / 2] = {};
    if (!RtlGenRandom(random, sizeof(random))) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    wchar_t name[ARRAYSIZE(kPrivateFolderPrefix) + kRandomDigits] = {};
    wcscpy(name, kPrivateFolderPrefix);
    for (size_t i = 0; i < sizeof(random); ++i) {
        swprintf(name + wcslen(name), 3, L"%02X", random[i]);
    }
    wchar_t path[MAX_PATH] = {};
    const int written = swprintf(path, MAX_PATH, L"%ls%ls", temp, name);
    if (written <= 0 || written >= MAX_PATH - static_cast<int>(ARRAYSIZE(kCopyName))) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateFolderSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return FALSE;
    }
    const tavo::ScopedLocalMemory descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    // Fails when anything of that name exists already, a link included: the folder is always new.
    if (!CreateDirectoryW(path, &attributes)) return FALSE;
    wcscpy(folder, path);
    return TRUE;
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

BOOL BuildSelfDeleteParameters(LPCWSTR copy, LPCWSTR folder, LPWSTR parameters, size_t count) {
    if (!parameters || count == 0) return FALSE;
    parameters[0] = L'\0';
    // The wait runs by the full path of the system's ping.exe: a bare name would be searched in the current
    // folder and the user's PATH first.
    wchar_t systemFolder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    if (HoldsCommandProcessorText(copy) || HoldsCommandProcessorText(folder) ||
        HoldsCommandProcessorText(systemFolder)) {
        return FALSE;
    }
    // /S with quotes around the whole command: the command processor takes away exactly those two and
    // keeps the quotes of the paths inside.
    const int written =
        swprintf(parameters, count,
                 L"/D /S /c \"\"%ls\\ping.exe\" -n 3 127.0.0.1 > nul & del /q \"%ls\" > nul & "
                 L"rd /s /q \"%ls\" > nul\"",
                 systemFolder, copy, folder);
    if (written <= 0 || static_cast<size_t>(written) >= count) {
        parameters[0] = L'\0';
        return FALSE;
    }
    return TRUE;
}

BOOL ScheduleDeletionAtRestart(LPCWSTR copy, LPCWSTR folder) {
    if (!copy || !folder) return FALSE;
    BOOL scheduled = MoveFileExW(copy, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    wchar_t library[MAX_PATH] = {};
    const int written = swprintf(library, MAX_PATH, L"%ls\\%ls", folder, kTraceLibraryName);
    if (written > 0 && written < MAX_PATH && GetFileAttributesW(library) != INVALID_FILE_ATTRIBUTES) {
        scheduled = MoveFileExW(library, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) && scheduled;
    }
    // A folder is removed at restart once the files in it are gone.
    return MoveFileExW(folder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) && scheduled;
}
