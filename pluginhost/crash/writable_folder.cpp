// The search for a folder the crashing process may write its dump into.
#include <shlwapi.h>

#include <cwchar>

#include "crash/crash_dump.h"
#include "seh/seh_guard.h"
#include "support/proc_address.h"
#include "support/scoped.h"

namespace {

constexpr int kCsidlInternetCache = 0x20;  // CSIDL_INTERNET_CACHE
constexpr SECURITY_INFORMATION kFolderSecurityInfo = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                     DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

using SHGetSpecialFolderPathFunction = BOOL(WINAPI*)(HWND, LPWSTR, int, BOOL);

tavo::SehVerdict HandleEvery(const EXCEPTION_RECORD&) { return tavo::SehVerdict::kHandle; }

bool IsWindowsNt6OrLater() {
    OSVERSIONINFOW os = {};
    os.dwOSVersionInfoSize = sizeof(os);
    return GetVersionExW(&os) && os.dwPlatformId == VER_PLATFORM_WIN32_NT && os.dwMajorVersion > 5;
}

// Owners the guarded part of the writability test leaves behind, released after the guard.
struct AccessState {
    tavo::ScopedProcessHeapMemory descriptor;
    tavo::ScopedToken token;
    bool impersonating = false;
    BOOL writable = FALSE;
};

void CheckFolderGuarded(const wchar_t* folder, AccessState& state) {
    if (!PathFileExistsW(folder)) return;
    OSVERSIONINFOW os = {};
    os.dwOSVersionInfoSize = sizeof(os);
    if (GetVersionExW(&os) && os.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        state.writable = TRUE;
        return;
    }
    DWORD needed = 0;
    if (GetFileSecurityW(folder, kFolderSecurityInfo, nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
        return;
    state.descriptor.reset(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
    if (!state.descriptor) return;
    auto* descriptor = static_cast<PSECURITY_DESCRIPTOR>(state.descriptor.get());
    if (!GetFileSecurityW(folder, kFolderSecurityInfo, descriptor, needed, &needed)) {
        const DWORD error = GetLastError();
        CrashLog(L"GetFileSecurity 2 [%s] failed, err [%d]\r\n", folder, error);
        return;
    }
    if (!ImpersonateSelf(SecurityImpersonation)) {
        const DWORD error = GetLastError();
        CrashLog(L"ImpersonateSelf failed, err [%d]\r\n", error);
        return;
    }
    state.impersonating = true;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE, FALSE, state.token.put())) {
        const DWORD error = GetLastError();
        CrashLog(L"OpenThreadToken failed, err [%d]\r\n", error);
        return;
    }
    GENERIC_MAPPING mapping = {};
    mapping.GenericWrite = FILE_GENERIC_WRITE;
    DWORD desired = FILE_WRITE_DATA | FILE_APPEND_DATA;
    MapGenericMask(&desired, &mapping);
    union {
        PRIVILEGE_SET set;
        BYTE bytes[20];
    } privileges = {};
    DWORD privilegesLength = sizeof(privileges.bytes);
    DWORD granted = 0;
    BOOL accessStatus = FALSE;
    if (AccessCheck(descriptor, state.token.get(), desired, &mapping, &privileges.set, &privilegesLength,
                    &granted, &accessStatus) &&
        accessStatus)
        state.writable = TRUE;
}

// Copies a candidate into the caller's buffer and tests it; a candidate too long for the buffer is skipped.
bool TryCandidate(const wchar_t* candidate, DWORD length, wchar_t* path) {
    const size_t candidateLength = wcslen(candidate);
    if (candidateLength == 0 || candidateLength >= length) return false;
    if (!Exception_IsFolderWritable(candidate)) return false;
    wmemcpy(path, candidate, candidateLength + 1);
    return true;
}

// The folder with "Low" appended, when that still is a path.
bool LowFolder(const wchar_t* folder, wchar_t (&low)[MAX_PATH]) {
    if (wcslen(folder) >= MAX_PATH) return false;
    wcscpy(low, folder);
    return PathAppendW(low, L"Low") != FALSE;
}

}  // namespace

BOOL Exception_IsFolderWritable(const wchar_t* folder) {
    AccessState state;
    const bool completed = tavo::SehTry([&] { CheckFolderGuarded(folder, state); }, HandleEvery);
    state.token.reset();
    if (state.impersonating) RevertToSelf();
    state.descriptor.reset();
    if (!completed) {
        CrashLog(L"Exception encountered in Exception_IsFolderWritable\r\n");
        return FALSE;
    }
    return state.writable;
}

BOOL FindWritablePath(DWORD length, wchar_t* path) {
    if (!path || length == 0) return FALSE;
    const bool nt6 = IsWindowsNt6OrLater();
    wchar_t low[MAX_PATH] = {};

    // Every candidate is built in a buffer of its own; the caller's buffer only receives the one that passed.
    wchar_t temp[MAX_PATH] = {};
    const DWORD tempLength = GetTempPathW(MAX_PATH, temp);
    if (tempLength != 0 && tempLength < MAX_PATH) {
        if (TryCandidate(temp, length, path)) return TRUE;
        if (nt6 && LowFolder(temp, low) && TryCandidate(low, length, path)) return TRUE;
    }

    tavo::ScopedLibrary shell32(LoadLibraryW(L"shell32.dll"));
    if (!shell32) return FALSE;
    auto getSpecialFolderPath =
        tavo::ProcAddress<SHGetSpecialFolderPathFunction>(shell32.get(), "SHGetSpecialFolderPathW");
    wchar_t cache[MAX_PATH] = {};
    if (!getSpecialFolderPath || !getSpecialFolderPath(nullptr, cache, kCsidlInternetCache, FALSE))
        return FALSE;
    cache[MAX_PATH - 1] = L'\0';
    if (TryCandidate(cache, length, path)) return TRUE;
    if (nt6 && LowFolder(cache, low) && TryCandidate(low, length, path)) return TRUE;
    return FALSE;
}
