// Finding processes: by executable name in the process snapshot, by full image path, and by the base name
// of the first module (psapi); the module path of a process.
#include <windows.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include "process/process.h"
#include "support/proc_address.h"
#include "support/scoped.h"
#include "trace/trace.h"

namespace {

using tavo::ProcAddress;
using PfnEnumProcesses = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using PfnEnumProcessModules = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using PfnGetModuleBaseNameW = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
using PfnGetModuleFileNameExW = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);

constexpr DWORD kMaxProcessIds = 1024;  // a 4096-byte list

// How a walk of the process snapshot ended.
enum class Walk { kNoSnapshot, kNoFirstEntry, kMatched, kEnd };

// Walks a process snapshot in the system's order until `matches` accepts an entry, whose id goes to
// `processId`. `error` receives the error of a failed first entry. The snapshot is closed on return.
template <class Match>
Walk WalkProcesses(Match&& matches, DWORD& processId, DWORD& error) {
    tavo::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return Walk::kNoSnapshot;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) {
        error = GetLastError();
        return Walk::kNoFirstEntry;
    }
    do {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        if (matches(entry)) {
            processId = entry.th32ProcessID;
            return Walk::kMatched;
        }
    } while (Process32NextW(snapshot.get(), &entry));
    return Walk::kEnd;
}

// The result of a search after its walk; the snapshot failures traced at level 4 with the texts given.
HRESULT TracedResult(Walk walk, DWORD error, const char* noSnapshot, const char* noFirstEntry) {
    switch (walk) {
        case Walk::kMatched:
            return S_OK;
        case Walk::kNoSnapshot:
            TraceLevel4(TracePair(nullptr, noSnapshot).get());
            return E_FAIL;
        case Walk::kNoFirstEntry:
            TraceLevel4(TracePair(nullptr, noFirstEntry).get(), TracePair("GetLastError()", error).get());
            return E_FAIL;
        case Walk::kEnd:
            break;
    }
    return E_FAIL;
}

// Full image path of a process (main module), empty when it cannot be opened or read.
void ImagePathOf(DWORD processId, PfnGetModuleFileNameExW moduleFileName, wchar_t (&path)[MAX_PATH]) {
    path[0] = L'\0';
    if (!moduleFileName) return;
    tavo::ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) return;
    if (moduleFileName(process.get(), nullptr, path, MAX_PATH) == 0) path[0] = L'\0';
    path[MAX_PATH - 1] = L'\0';
}

// Both look-ups refuse the same arguments with the same debug lines; S_OK when they are usable.
HRESULT RefusedArguments(LPCWSTR processName, const DWORD* processId) {
    if (!processName) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcess: input para is NULL!\n");
        return E_INVALIDARG;
    }
    if (!*processName) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcess: process name is empty!\n");
        return E_FAIL;
    }
    return processId ? S_OK : E_INVALIDARG;
}

}  // namespace

HRESULT CTavoCallProcess::VlrTavoFindProcess(LPCWSTR lpszProcessName, DWORD* pdwProcessId,
                                             BOOL bCurrentUserOnly) {
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoFindProcess").get(),
                TracePair("lpszProcessName", lpszProcessName).get());
    if (const HRESULT refused = RefusedArguments(lpszProcessName, pdwProcessId); FAILED(refused))
        return refused;
    // The short (8.3) form exists only when the name leads to an existing file.
    wchar_t shortName[MAX_PATH] = {};
    if (GetShortPathNameW(lpszProcessName, shortName, MAX_PATH) >= MAX_PATH) shortName[0] = L'\0';
    const CStringEx name(lpszProcessName);
    const CStringEx shortForm(shortName);
    DWORD error = 0;
    const Walk walk = WalkProcesses(
        [&](const PROCESSENTRY32W& entry) {
            const bool nameMatches = name.CompareNoCase(entry.szExeFile) == 0 ||
                                     (!shortForm.IsEmpty() && shortForm.CompareNoCase(entry.szExeFile) == 0);
            return nameMatches && (!bCurrentUserOnly || IsCurrentLogonUserProcess(entry.th32ProcessID));
        },
        *pdwProcessId, error);
    return TracedResult(walk, error,
                        "CTavoCallProcess::VlrTavoFindProcess: CreateToolhelp32Snapshot FAILED!\n",
                        "CTavoCallProcess::VlrTavoFindProcess: Process32First FAILED!\n");
}

HRESULT CTavoCallProcess::VlrTavoFindProcess(LPCWSTR lpszProcessName, DWORD* pdwProcessId) {
    if (const HRESULT refused = RefusedArguments(lpszProcessName, pdwProcessId); FAILED(refused))
        return refused;
    DWORD error = 0;
    const Walk walk = WalkProcesses(
        [&](const PROCESSENTRY32W& entry) { return lstrcmpiW(entry.szExeFile, lpszProcessName) == 0; },
        *pdwProcessId, error);
    if (walk == Walk::kNoSnapshot)
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcess: CreateToolhelp32Snapshot FAILED!\n");
    if (walk == Walk::kNoFirstEntry)
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcess: Process32First FAILED!\n");
    return walk == Walk::kMatched ? S_OK : E_FAIL;
}

HRESULT CTavoCallProcess::VlrTavoFindProcessByExePath(LPCWSTR lpszProcessExePath, DWORD* pdwProcessId,
                                                      BOOL bCurrentUserOnly) {
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoFindProcessByExePath").get(),
                TracePair("lpszProcessExePath", lpszProcessExePath).get());
    if (!lpszProcessExePath || !*lpszProcessExePath || !pdwProcessId) return E_INVALIDARG;
    const auto moduleFileName =
        ProcAddress<PfnGetModuleFileNameExW>(GetPsapiModule(), "GetModuleFileNameExW");
    const CStringEx wanted(lpszProcessExePath);
    DWORD error = 0;
    const Walk walk = WalkProcesses(
        [&](const PROCESSENTRY32W& entry) {
            wchar_t image[MAX_PATH];
            ImagePathOf(entry.th32ProcessID, moduleFileName, image);
            return wanted.CompareNoCase(image) == 0 &&
                   (!bCurrentUserOnly || IsCurrentLogonUserProcess(entry.th32ProcessID));
        },
        *pdwProcessId, error);
    return TracedResult(walk, error,
                        "CTavoCallProcess::VlrTavoFindProcessByExePath: CreateToolhelp32Snapshot FAILED!\n",
                        "CTavoCallProcess::VlrTavoFindProcessByExePath: Process32First FAILED!\n");
}

HRESULT CTavoCallProcess::VlrTavoFindProcessEx(LPCWSTR lpszProcessName, DWORD* pdwProcessId) {
    if (!lpszProcessName) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcessEx: Input lpszProcessName is NULL!\n");
        return E_FAIL;
    }
    if (!pdwProcessId) return E_FAIL;
    tavo::ScopedLibrary psapi(LoadSystemLibrary(L"psapi.dll"));
    if (!psapi) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcessEx: LoadSystemLibrary failed!\n");
        return E_FAIL;
    }
    const auto enumProcesses = ProcAddress<PfnEnumProcesses>(psapi.get(), "EnumProcesses");
    const auto baseName = ProcAddress<PfnGetModuleBaseNameW>(psapi.get(), "GetModuleBaseNameW");
    const auto enumModules = ProcAddress<PfnEnumProcessModules>(psapi.get(), "EnumProcessModules");
    if (!enumProcesses || !baseName || !enumModules) return E_FAIL;

    DWORD ids[kMaxProcessIds] = {};
    DWORD bytes = 0;
    if (!enumProcesses(ids, sizeof(ids), &bytes)) return E_FAIL;
    const DWORD count = bytes / sizeof(DWORD);
    for (DWORD i = 0; i < count && i < kMaxProcessIds; ++i) {
        if (ids[i] == 0) continue;
        tavo::ScopedHandle process(
            OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]));
        if (!process) continue;
        wchar_t name[MAX_PATH] = {};
        HMODULE first = nullptr;
        DWORD needed = 0;
        if (enumModules(process.get(), &first, sizeof(first), &needed)) {
            if (baseName(process.get(), first, name, MAX_PATH) == 0) name[0] = L'\0';
            name[MAX_PATH - 1] = L'\0';
        }
        process.reset();
        // A process whose modules cannot be listed has no name to match (an empty name matches nothing).
        if (name[0] && StrCmpIW(name, lpszProcessName) == 0) {
            *pdwProcessId = ids[i];
            return S_OK;
        }
    }
    return E_FAIL;
}

CStringEx CTavoCallProcess::GetProcessModulePath(DWORD dwProcessId) {
    tavo::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, dwProcessId));
    if (!snapshot) return CStringEx();
    MODULEENTRY32W module = {};
    module.dwSize = sizeof(module);
    if (!Module32FirstW(snapshot.get(), &module)) return CStringEx();
    module.szExePath[MAX_PATH - 1] = L'\0';
    return CStringEx(module.szExePath);
}
