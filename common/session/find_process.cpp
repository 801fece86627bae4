// Finding processes: by executable name in the process snapshot, by full image path, and by the base name
// of the first module (psapi); the module path of a process.
#include <windows.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include "session/call_process.h"
#include "session/system_library.h"
#include "support/scoped.h"
#include "trace/trace.h"

namespace {

using PfnEnumProcesses = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using PfnEnumProcessModules = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using PfnGetModuleBaseNameW = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
using PfnGetModuleFileNameExW = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);

constexpr DWORD kMaxProcessIds = 1024;  // a 4096-byte list

template <class Function>
Function Resolve(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
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

}  // namespace

HRESULT CTavoCallProcess::VlrTavoFindProcess(LPCWSTR lpszProcessName, DWORD* pdwProcessId,
                                             BOOL bCurrentUserOnly) {
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoFindProcess").get(),
                TracePair("lpszProcessName", lpszProcessName).get());
    if (!lpszProcessName) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcess: input para is NULL!\n");
        return E_INVALIDARG;
    }
    if (!*lpszProcessName) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcess: process name is empty!\n");
        return E_FAIL;
    }
    if (!pdwProcessId) return E_INVALIDARG;

    tavo::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::VlrTavoFindProcess: CreateToolhelp32Snapshot FAILED!\n")
                .get());
        return E_FAIL;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) {
        const DWORD error = GetLastError();
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::VlrTavoFindProcess: Process32First FAILED!\n").get(),
            TracePair("GetLastError()", error).get());
        return E_FAIL;
    }
    // The short (8.3) form exists only when the name leads to an existing file.
    wchar_t shortName[MAX_PATH] = {};
    if (GetShortPathNameW(lpszProcessName, shortName, MAX_PATH) >= MAX_PATH) shortName[0] = L'\0';
    const CStringEx name(lpszProcessName);
    do {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        const bool nameMatches = name.CompareNoCase(entry.szExeFile) == 0 ||
                                 (shortName[0] && CStringEx(shortName).CompareNoCase(entry.szExeFile) == 0);
        if (!nameMatches) continue;
        if (bCurrentUserOnly && !IsCurrentLogonUserProcess(entry.th32ProcessID)) continue;
        *pdwProcessId = entry.th32ProcessID;
        return S_OK;
    } while (Process32NextW(snapshot.get(), &entry));
    return E_FAIL;
}

HRESULT CTavoCallProcess::VlrTavoFindProcess(LPCWSTR lpszProcessName, DWORD* pdwProcessId) {
    if (!lpszProcessName) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcess: input para is NULL!\n");
        return E_INVALIDARG;
    }
    if (!*lpszProcessName) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcess: process name is empty!\n");
        return E_FAIL;
    }
    if (!pdwProcessId) return E_INVALIDARG;
    tavo::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcess: CreateToolhelp32Snapshot FAILED!\n");
        return E_FAIL;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoFindProcess: Process32First FAILED!\n");
        return E_FAIL;
    }
    do {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        if (lstrcmpiW(entry.szExeFile, lpszProcessName) == 0) {
            *pdwProcessId = entry.th32ProcessID;
            return S_OK;
        }
    } while (Process32NextW(snapshot.get(), &entry));
    return E_FAIL;
}

HRESULT CTavoCallProcess::VlrTavoFindProcessByExePath(LPCWSTR lpszProcessExePath, DWORD* pdwProcessId,
                                                      BOOL bCurrentUserOnly) {
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoFindProcessByExePath").get(),
                TracePair("lpszProcessExePath", lpszProcessExePath).get());
    if (!lpszProcessExePath || !*lpszProcessExePath || !pdwProcessId) return E_INVALIDARG;
    tavo::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        TraceLevel4(
            TracePair(nullptr,
                      "CTavoCallProcess::VlrTavoFindProcessByExePath: CreateToolhelp32Snapshot FAILED!\n")
                .get());
        return E_FAIL;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) {
        const DWORD error = GetLastError();
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::VlrTavoFindProcessByExePath: Process32First FAILED!\n")
                .get(),
            TracePair("GetLastError()", error).get());
        return E_FAIL;
    }
    const auto moduleFileName = Resolve<PfnGetModuleFileNameExW>(GetPsapiModule(), "GetModuleFileNameExW");
    const CStringEx wanted(lpszProcessExePath);
    do {
        wchar_t image[MAX_PATH];
        ImagePathOf(entry.th32ProcessID, moduleFileName, image);
        if (wanted.CompareNoCase(image) != 0) continue;
        if (bCurrentUserOnly && !IsCurrentLogonUserProcess(entry.th32ProcessID)) continue;
        *pdwProcessId = entry.th32ProcessID;
        return S_OK;
    } while (Process32NextW(snapshot.get(), &entry));
    return E_FAIL;
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
    const auto enumProcesses = Resolve<PfnEnumProcesses>(psapi.get(), "EnumProcesses");
    const auto baseName = Resolve<PfnGetModuleBaseNameW>(psapi.get(), "GetModuleBaseNameW");
    const auto enumModules = Resolve<PfnEnumProcessModules>(psapi.get(), "EnumProcessModules");
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
