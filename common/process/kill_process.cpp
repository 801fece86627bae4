// Terminating processes: the first process of a name (optionally only when its module path holds a given
// text, or followed by a bounded wait for its end), or a process by id. Exit code 0.
#include <windows.h>

#include "process/process.h"
#include "support/scoped.h"
#include "trace/trace.h"

namespace {

// Opens the process for termination; the debug message when it cannot be opened.
tavo::ScopedHandle OpenForTermination(DWORD processId) {
    tavo::ScopedHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (!process) OutputDebugStringW(L"CTavoCallProcess::VlrTavoKillProcess: OpenProcess FAILED!\n");
    return process;
}

}  // namespace

BOOL CTavoCallProcess::VlrTavoKillProcess(LPCWSTR lpszProcessName) {
    OutputDebugStringW(L"CTavoCallProcess::VlrTavoKillProcess(LPCTSTR lpszProcessName)");
    DWORD processId = 0;
    if (VlrTavoFindProcess(lpszProcessName, &processId) != S_OK) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoKillProcess: VlrTavoFindProcess FAILED!\n");
        return FALSE;
    }
    tavo::ScopedHandle process = OpenForTermination(processId);
    if (!process) return FALSE;
    return TerminateProcess(process.get(), 0);
}

BOOL CTavoCallProcess::VlrTavoKillProcessAndWait(LPCWSTR lpszProcessName, DWORD dwWaitMs) {
    OutputDebugStringW(L"CTavoCallProcess::VlrTavoKillProcess(LPCTSTR lpszProcessName)");
    DWORD processId = 0;
    if (VlrTavoFindProcess(lpszProcessName, &processId) != S_OK) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoKillProcess: VlrTavoFindProcess FAILED!\n");
        Sleep(dwWaitMs);
        return FALSE;
    }
    tavo::ScopedHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    const bool waitable = static_cast<bool>(process);
    if (!waitable) process = OpenForTermination(processId);
    if (!process) {
        Sleep(dwWaitMs);
        return FALSE;
    }
    const BOOL terminated = TerminateProcess(process.get(), 0);
    // Signalled once the process has ended: its threads stopped, its handles closed, its code unmapped.
    if (!waitable || WaitForSingleObject(process.get(), dwWaitMs) == WAIT_FAILED) Sleep(dwWaitMs);
    return terminated;
}

BOOL CTavoCallProcess::VlrTavoKillProcess(LPCWSTR lpszProcessName, BOOL bCurrentUserOnly) {
    return VlrTavoKillProcess(lpszProcessName, CStringEx(), bCurrentUserOnly);
}

BOOL CTavoCallProcess::VlrTavoKillProcess(LPCWSTR lpszProcessName, CStringEx strModulePath,
                                          BOOL bCurrentUserOnly) {
    CAutoFunTrace scope("CTavoCallProcess::VlrTavoKillProcess(LPCTSTR lpszProcessName)");
    DWORD processId = 0;
    if (VlrTavoFindProcess(lpszProcessName, &processId, bCurrentUserOnly) != S_OK) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoKillProcess: VlrTavoFindProcess FAILED!\n");
        return FALSE;
    }
    tavo::ScopedHandle process = OpenForTermination(processId);
    if (!process) return FALSE;
    // Only the first process of the name is examined: when it lives elsewhere, nothing is terminated.
    if (!strModulePath.IsEmpty() && GetProcessModulePath(processId).Find(strModulePath.GetString()) < 0)
        return FALSE;
    return TerminateProcess(process.get(), 0);
}

BOOL CTavoCallProcess::VlrKillProcessByID(DWORD dwProcessId) {
    CAutoFunTrace scope("CTavoCallProcess::VlrKillProcessByID", TracePair("dwProcessId", dwProcessId).get());
    tavo::ScopedHandle process = OpenForTermination(dwProcessId);
    if (!process) return FALSE;
    return TerminateProcess(process.get(), 0);
}
