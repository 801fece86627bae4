// The process search by executable name, which the account lookup by process name is built on.
#include <windows.h>
#include <tlhelp32.h>

#include "session/call_process.h"
#include "support/scoped.h"
#include "trace/trace.h"

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
