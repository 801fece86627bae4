// Starting programs through the shell (ShellExecuteExW), optionally elevated, then the wait the caller
// asked for.
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include "process/process.h"
#include "process/process_detail.h"
#include "support/scoped.h"
#include "system/system_facts.h"
#include "trace/trace.h"

using namespace tavo::process;

BOOL CTavoCallProcess::VlrTavoShellExecuteEx(LPCWSTR lpszFilePath, LPCWSTR lpszExeFileName,
                                             LPCWSTR lpszCommandLine, DWORD dwWaitObjectExitType,
                                             BOOL bNeedUpgradePrivilege, LPDWORD lpdwExitCode) {
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoShellExecuteEx:").get(),
                TracePair("lpszFilePath", lpszFilePath).get(),
                TracePair("lpszExeFileName", lpszExeFileName).get(),
                TracePair("lpszCommandLine", lpszCommandLine).get(),
                TracePair("dwWaitObjectExitType", dwWaitObjectExitType).get(),
                TracePair("bNeedUpgradePrivilege", bNeedUpgradePrivilege).get(),
                TracePair("lpdwExitCode", lpdwExitCode).get());
    if (!lpszFilePath || !lpszExeFileName || !lpszCommandLine) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoShellExecuteEx: input para is NULL!\n");
        return FALSE;
    }
    wchar_t fullPath[MAX_PATH];
    CombinePath(fullPath, lpszFilePath, lpszExeFileName);
    OutputDebugStringW(L"\nLaunching spec process to start at spec directory.\n");
    OutputDebugStringW(lpszCommandLine);
    WIN32_FIND_DATAW found = {};
    tavo::ScopedFindHandle find(FindFirstFileW(fullPath, &found));
    if (!find) {
        TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoShellExecuteEx").get(),
                    TracePair("hFind", find.get()).get());
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoShellExecuteEx: can not find the file!\n");
        return FALSE;
    }
    wchar_t application[MAX_PATH];
    ShortPathOrSelf(application, fullPath);
    SHELLEXECUTEINFOW execute = {};
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_NOCLOSEPROCESS;
    execute.lpVerb = ShellVerb(bNeedUpgradePrivilege, GetOSVersionType());
    execute.lpFile = application;
    execute.lpParameters = lpszCommandLine;
    execute.lpDirectory = lpszFilePath;
    execute.nShow = SW_SHOW;
    const BOOL result = ShellExecuteExW(&execute);
    const DWORD error = GetLastError();
    tavo::ScopedHandle process(execute.hProcess);
    if (!process) {
        // Also when the shell reported success without a process.
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::VlrTavoShellExecuteEx: Launching process FAILED!").get(),
            TracePair("bResult", result).get(), TracePair("dwError", error).get());
        return FALSE;
    }
    TraceLevel4(
        TracePair(nullptr, "CTavoCallProcess::VlrTavoShellExecuteEx: Launching process succeeded!").get(),
        TracePair("bResult", result).get());
    const BOOL waited = VlrTavoWaitForObjectExit(process.get(), dwWaitObjectExitType, lpdwExitCode);
    return waited ? result : FALSE;
}

BOOL CCallProcEx::VlrShellEx(LPCWSTR lpszFileFullPath, LPCWSTR lpszCmdLine, DWORD dwWaitExitType,
                             BOOL bRunAsAdmin, LPDWORD lpdwExitCode) {
    CAutoFunTrace scope(
        "CCallProcEx::VlrShellEx(LPCTSTR lpszFileFullPath, LPCTSTR lpszCmdLine, BOOL bRunAsAdmin)");
    if (!lpszFileFullPath || !lpszCmdLine) {
        TraceLevel2(TracePair(nullptr, "CCallProcEx::VlrShellEx: input para is NULL!\n").get());
        return FALSE;
    }
    wchar_t folder[MAX_PATH];
    lstrcpynW(folder, lpszFileFullPath, MAX_PATH);
    PathRemoveFileSpecW(folder);
    TraceLevel2(
        TracePair(nullptr, "CCallProcEx::VlrShellEx: Launching spec process to start at spec directory.\n")
            .get());
    TraceLevel2(TracePair(nullptr, lpszCmdLine).get());
    {
        WIN32_FIND_DATAW found = {};
        tavo::ScopedFindHandle find(FindFirstFileW(lpszFileFullPath, &found));
        if (!find) {
            TraceLevel2(TracePair(nullptr, "CCallProcEx::VlrShellEx: can not find the file!\n").get());
            return FALSE;
        }
    }
    wchar_t application[MAX_PATH];
    ShortPathOrSelf(application, lpszFileFullPath);
    SHELLEXECUTEINFOW execute = {};
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_DOENVSUBST;
    execute.lpVerb = ShellVerb(bRunAsAdmin, GetOSVersionType());
    execute.lpFile = application;
    execute.lpParameters = lpszCmdLine;
    execute.lpDirectory = folder;
    execute.nShow = SW_SHOWNORMAL;
    ShellExecuteExW(&execute);
    tavo::ScopedHandle process(execute.hProcess);
    if (!process) {
        TraceLevel2(TracePair(nullptr, "CCallProcEx::VlrShellEx: Launching process FAILED!\n").get());
        return FALSE;
    }
    return VlrWaitForObjExit(process.get(), dwWaitExitType, lpdwExitCode);
}
