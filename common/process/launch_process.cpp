// Starting programs with the process-creation functions: with the caller's token, as the active session's
// user, with a given token, and as the console user; then the wait the caller asked for.
#include <windows.h>
#include <shlwapi.h>

#include <utility>

#include "process/process.h"
#include "process/process_detail.h"
#include "support/proc_address.h"
#include "support/scoped.h"
#include "system/system_facts.h"
#include "trace/trace.h"

namespace tavo::process {

void FillCommandLine(wchar_t (&buffer)[MAX_PATH], const wchar_t* commandLine, CommandLineRule rule) {
    buffer[0] = L'\0';
    if (!commandLine) return;
    const bool addSpace = rule == CommandLineRule::kSpaceWhenNoSpace ? wcschr(commandLine, L' ') == nullptr
                                                                     : commandLine[0] != L' ';
    size_t at = 0;
    if (addSpace) buffer[at++] = L' ';
    // Cut to fit, the terminator included.
    for (const wchar_t* p = commandLine; *p && at < MAX_PATH - 1; ++p) buffer[at++] = *p;
    buffer[at] = L'\0';
}

const wchar_t* ShellVerb(BOOL elevate, int osVersionType) {
    return elevate && osVersionType == kOSWindowsVistaOrLater ? L"runas" : L"open";
}

void CombinePath(wchar_t (&buffer)[MAX_PATH], const wchar_t* folder, const wchar_t* fileName) {
    buffer[0] = L'\0';
    if (!PathCombineW(buffer, folder, fileName)) buffer[0] = L'\0';
    buffer[MAX_PATH - 1] = L'\0';
}

void ShortPathOrSelf(wchar_t (&buffer)[MAX_PATH], const wchar_t* path) {
    buffer[0] = L'\0';
    const DWORD length = GetShortPathNameW(path, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) lstrcpynW(buffer, path, MAX_PATH);
}

BOOL CreateProcessWithTokenRuntime(HANDLE token, DWORD logonFlags, LPCWSTR application, LPWSTR commandLine,
                                   DWORD creationFlags, LPVOID environment, LPCWSTR currentFolder,
                                   LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    using Pfn = BOOL(WINAPI*)(HANDLE, DWORD, LPCWSTR, LPWSTR, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                              LPPROCESS_INFORMATION);
    const HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
    const auto create = advapi ? tavo::ProcAddress<Pfn>(advapi, "CreateProcessWithTokenW") : nullptr;
    if (!create) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return create(token, logonFlags, application, commandLine, creationFlags, environment, currentFolder,
                  startup, info);
}

namespace {

// The user's environment block for a launch, with the creation flags that go with it.
struct LaunchEnvironment {
    DWORD flags = NORMAL_PRIORITY_CLASS;
    ScopedEnvironmentBlock block;
};

void MakeEnvironment(HANDLE token, LaunchEnvironment& environment) {
    LPVOID block = nullptr;
    CTavoCallProcess::VlrTavoCreateEnvironmentBlock(token, &environment.flags, &block);
    environment.block.reset(block);
    if (!environment.block) environment.flags &= ~static_cast<DWORD>(CREATE_UNICODE_ENVIRONMENT);
}

// Waits as asked and closes the handles of a started child.
void WaitAndClose(PROCESS_INFORMATION& info, DWORD waitType, LPDWORD exitCode) {
    ScopedHandle process(info.hProcess);
    ScopedHandle thread(info.hThread);
    CTavoCallProcess::VlrTavoWaitForObjectExit(process.get(), waitType, exitCode);
}

// A child to start as the user of a token.
struct UserStart {
    HANDLE token;
    HANDLE stdOutput;
    const wchar_t* fullPath;
    const wchar_t* folder;  // the child's current folder
    const wchar_t* commandLine;
    CommandLineRule rule;
    bool userEnvironment;
    // When set, a failed CreateProcessAsUserW writes this debug message and CreateProcessWithTokenW
    // (with the user's profile) makes a second attempt.
    const wchar_t* retryNotice;
};

// Starts the child by its short path, without handle inheritance. The user's environment block is
// released once the child was created: the new process holds its own copy. `error` receives the error of
// the last attempt on failure.
BOOL StartAsUser(const UserStart& start, PROCESS_INFORMATION& info, DWORD& error) {
    wchar_t application[MAX_PATH];
    ShortPathOrSelf(application, start.fullPath);
    wchar_t command[MAX_PATH];
    FillCommandLine(command, start.commandLine, start.rule);
    LaunchEnvironment environment;
    if (start.userEnvironment) MakeEnvironment(start.token, environment);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.hStdOutput = start.stdOutput;
    BOOL created =
        CreateProcessAsUserW(start.token, application, command, nullptr, nullptr, FALSE, environment.flags,
                             environment.block.get(), start.folder, &startup, &info);
    if (!created && start.retryNotice) {
        OutputDebugStringW(start.retryNotice);
        created = CreateProcessWithTokenRuntime(start.token, LOGON_WITH_PROFILE, application, command,
                                                environment.flags, environment.block.get(), start.folder,
                                                &startup, &info);
    }
    error = created ? ERROR_SUCCESS : GetLastError();
    return created;
}

}  // namespace

BOOL CreateProcessAsActiveUser(ScopedToken token, HANDLE hStdOutput, const wchar_t* fullPath,
                               const wchar_t* folder, const wchar_t* commandLine, DWORD waitType,
                               LPDWORD exitCode, BOOL setEnvironment) {
    PROCESS_INFORMATION info = {};
    DWORD error = 0;
    const BOOL created = StartAsUser({token.get(), hStdOutput, fullPath, folder, commandLine,
                                      CommandLineRule::kSpaceWhenNoSpace, setEnvironment != FALSE, nullptr},
                                     info, error);
    token.reset();  // closed right after the call
    if (!created) {
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcessAsUser: CreateProcessAsUser FAILED")
                .get(),
            TracePair("dwError", error).get());
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoCreateProcessAsUser: CreateProcessAsUser FAILED\n");
        return FALSE;
    }
    WaitAndClose(info, waitType, exitCode);
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcessAsUser: SUCCESS!\n").get());
    OutputDebugStringW(L"CTavoCallProcess::VlrTavoCreateProcessAsUser: SUCCESS!\n");
    return TRUE;
}

BOOL LaunchExeAsUser(ScopedToken token, const wchar_t* fullPath, const wchar_t* folder,
                     const wchar_t* commandLine, DWORD waitType, LPDWORD exitCode) {
    PROCESS_INFORMATION info = {};
    DWORD error = 0;
    const BOOL created =
        StartAsUser({token.get(), nullptr, fullPath, folder, commandLine, CommandLineRule::kSpaceWhenNoSpace,
                     true, L"CTavoCallProcess::LaunchExe: CreateProcessAsUser FAILED\n"},
                    info, error);
    token.reset();  // closed after the attempts
    if (!created) {
        TraceLevel4(TracePair(nullptr, "CTavoCallProcess::LaunchExe: CreateProcessWithTokenW FAILED").get(),
                    TracePair("dwError", error).get());
        OutputDebugStringW(L"CTavoCallProcess::LaunchExe: CreateProcessWithTokenW FAILED\n");
        return FALSE;
    }
    WaitAndClose(info, waitType, exitCode);
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::LaunchExe: SUCCESS!\n").get());
    OutputDebugStringW(L"CTavoCallProcess::LaunchExe: SUCCESS!\n");
    return TRUE;
}

}  // namespace tavo::process

using namespace tavo::process;

BOOL CTavoCallProcess::VlrTavoCreateProcess(HANDLE hStdOutput, LPCWSTR lpszExePath, LPCWSTR lpszProcessName,
                                            LPCWSTR lpszCommand, DWORD dwWaitObjectExitType,
                                            LPDWORD lpdwExitCode) {
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcess:").get(),
                TracePair("lpszExePath", lpszExePath).get(),
                TracePair("lpszProcessName", lpszProcessName).get(),
                TracePair("lpszCommand", lpszCommand).get(),
                TracePair("dwWaitObjectExitType", dwWaitObjectExitType).get());
    if (!lpszExePath || !lpszProcessName || !lpszCommand) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoCreateProcess: input para is NULL!\n");
        return FALSE;
    }
    wchar_t fullPath[MAX_PATH];
    CombinePath(fullPath, lpszExePath, lpszProcessName);
    OutputDebugStringW(
        L"CTavoCallProcess::VlrTavoCreateProcess: Launching spec process ad user to start at spec "
        L"directory.\n");
    OutputDebugStringW(fullPath);
    {
        WIN32_FIND_DATAW found = {};
        tavo::ScopedFindHandle find(FindFirstFileW(fullPath, &found));
        if (!find) {
            TraceLevel4(
                TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcess: can not find the file!\n").get());
            return FALSE;
        }
    }
    wchar_t application[MAX_PATH];
    ShortPathOrSelf(application, fullPath);
    wchar_t command[MAX_PATH];
    FillCommandLine(command, lpszCommand, CommandLineRule::kSpaceWhenNoSpace);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.hStdOutput = hStdOutput;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(application, command, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                        lpszExePath, &startup, &info)) {
        const DWORD error = GetLastError();
        TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcess: CreateProcess FAILED,").get(),
                    TracePair("dwError", error).get());
        return FALSE;
    }
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcess: CreateProcess succeeded.").get());
    WaitAndClose(info, dwWaitObjectExitType, lpdwExitCode);
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcess: SUCCESS!\n").get());
    return TRUE;
}

BOOL CTavoCallProcess::VlrTavoCreateProcessAsUser(HANDLE hStdOutput, LPCWSTR lpszExePath,
                                                  LPCWSTR lpszProcessName, LPCWSTR lpszCommandLine,
                                                  DWORD dwWaitObjectExitType, LPDWORD lpdwExitCode,
                                                  BOOL bSetEnvironment) {
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcessAsUser:").get(),
                TracePair("lpszExePath", lpszExePath).get(),
                TracePair("lpszProcessName", lpszProcessName).get(),
                TracePair("lpszCommandLine", lpszCommandLine).get(),
                TracePair("dwWaitObjectExitType", dwWaitObjectExitType).get(),
                TracePair("bSetEnvironment", bSetEnvironment).get());
    if (!lpszExePath || !lpszProcessName || !lpszCommandLine) {
        OutputDebugStringW(L"CTavoCallProcess::VlrTavoCreateProcessAsUser: input para is NULL!\n");
        return FALSE;
    }
    wchar_t fullPath[MAX_PATH];
    CombinePath(fullPath, lpszExePath, lpszProcessName);
    OutputDebugStringW(
        L"CTavoCallProcess::VlrTavoCreateProcessAsUser: Launching spec process ad user to start at "
        L"spec directory.\n");
    OutputDebugStringW(fullPath);
    OutputDebugStringW(lpszCommandLine);
    {
        WIN32_FIND_DATAW found = {};
        tavo::ScopedFindHandle find(FindFirstFileW(fullPath, &found));
        if (!find) {
            TraceLevel4(
                TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcessAsUser: can not find the file!")
                    .get(),
                TracePair("hFind", find.get()).get());
            OutputDebugStringW(L"CTavoCallProcess::VlrTavoCreateProcessAsUser: can not find the file!");
            return FALSE;
        }
    }
    tavo::ScopedToken token(VlrTavoGetActiveUserToken());
    if (!token) {
        TraceLevel4(
            TracePair(nullptr,
                      "CTavoCallProcess::VlrTavoCreateProcessAsUser: can not get active user's token!\n")
                .get());
        OutputDebugStringW(
            L"CTavoCallProcess::VlrTavoCreateProcessAsUser: can not get active user's token!\n");
        return FALSE;
    }
    return CreateProcessAsActiveUser(std::move(token), hStdOutput, fullPath, lpszExePath, lpszCommandLine,
                                     dwWaitObjectExitType, lpdwExitCode, bSetEnvironment);
}

BOOL CTavoCallProcess::VlrTavoCreateProcessAsUser(HANDLE hToken, HANDLE hStdOutput, LPCWSTR lpszExePath,
                                                  LPCWSTR lpszProcessName, LPCWSTR lpszCommandLine,
                                                  DWORD dwWaitObjectExitType, LPDWORD lpdwExitCode,
                                                  BOOL bSetEnvironment) {
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcessAsUser:").get(),
                TracePair("hToken", hToken).get(), TracePair("lpszExePath", lpszExePath).get(),
                TracePair("lpszProcessName", lpszProcessName).get(),
                TracePair("lpszCommandLine", lpszCommandLine).get(),
                TracePair("dwWaitObjectExitType", dwWaitObjectExitType).get(),
                TracePair("bSetEnvironment", bSetEnvironment).get());
    if (!hToken || !lpszExePath || !lpszProcessName || !lpszCommandLine) {
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcessAsUser: input para is nullptr").get());
        return FALSE;
    }
    wchar_t fullPath[MAX_PATH];
    CombinePath(fullPath, lpszExePath, lpszProcessName);
    OutputDebugStringW(
        L"CTavoCallProcess::VlrTavoCreateProcessAsUser: Launching spec process ad user to start at "
        L"spec directory");
    OutputDebugStringW(fullPath);
    if (!PathFileExistsW(fullPath)) {
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcessAsUser: can not find the file").get(),
            TracePair("szExeName", static_cast<const wchar_t*>(fullPath)).get());
        return FALSE;
    }
    PROCESS_INFORMATION info = {};
    DWORD error = 0;
    if (!StartAsUser({hToken, hStdOutput, fullPath, lpszExePath, lpszCommandLine,
                      CommandLineRule::kSpaceUnlessLeading, bSetEnvironment != FALSE, nullptr},
                     info, error)) {
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcessAsUser: CreateProcessAsUser failed")
                .get(),
            TracePair("dwError", error).get());
        return FALSE;
    }
    WaitAndClose(info, dwWaitObjectExitType, lpdwExitCode);
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::VlrTavoCreateProcessAsUser: SUCCESS!\n").get());
    return TRUE;
}

BOOL CTavoCallProcess::LaunchExe(LPCWSTR lpszExePath, LPCWSTR lpszProcessName, LPCWSTR lpszCommandLine,
                                 DWORD dwWaitObjectExitType, LPDWORD lpdwExitCode) {
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::LaunchExe:").get(),
                TracePair("lpszExePath", lpszExePath).get(),
                TracePair("lpszProcessName", lpszProcessName).get(),
                TracePair("lpszCommandLine", lpszCommandLine).get(),
                TracePair("dwWaitObjectExitType", dwWaitObjectExitType).get());
    if (!lpszExePath || !lpszProcessName || !lpszCommandLine) {
        OutputDebugStringW(L"CTavoCallProcess::LaunchExe: input para is NULL!\n");
        return FALSE;
    }
    wchar_t fullPath[MAX_PATH];
    CombinePath(fullPath, lpszExePath, lpszProcessName);
    OutputDebugStringW(
        L"CTavoCallProcess::LaunchExe: Launching spec process ad user to start at spec directory.\n");
    OutputDebugStringW(fullPath);
    OutputDebugStringW(lpszCommandLine);
    {
        WIN32_FIND_DATAW found = {};
        tavo::ScopedFindHandle find(FindFirstFileW(fullPath, &found));
        if (!find) {
            TraceLevel4(TracePair(nullptr, "CTavoCallProcess::LaunchExe: can not find the file!").get(),
                        TracePair("hFind", find.get()).get());
            OutputDebugStringW(L"CTavoCallProcess::LaunchExe: can not find the file!");
            return FALSE;
        }
    }
    HANDLE logonToken = nullptr;
    GetCurrentLogonUserToken2(logonToken);  // TRUE does not imply a token
    tavo::ScopedToken token(logonToken);
    if (!token) {
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::LaunchExe: can not get active user's token!\n").get());
        OutputDebugStringW(L"CTavoCallProcess::LaunchExe: can not get active user's token!\n");
        return FALSE;
    }
    return LaunchExeAsUser(std::move(token), fullPath, lpszExePath, lpszCommandLine, dwWaitObjectExitType,
                           lpdwExitCode);
}
