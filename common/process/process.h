// The process toolkit, and the operations on the interactive user that belong to the same class.
//
// Processes: finding them by executable name, by image path or by module base name; starting programs
// (plainly, as the interactive user or with a given token, through the shell, optionally elevated);
// waiting for them; terminating them; user environment blocks; loading system DLLs by full path.
// The interactive user: the active terminal-services session and its user's token, the console session's
// user token, the account and SID behind a process or a token (defined with the sessions in session/).
//
// All operations are static members of the data-less classes CTavoCallProcess and CCallProcEx. Text is
// wide; path buffers hold MAX_PATH characters with the terminator. No operation throws: failures give
// FALSE, E_FAIL/E_INVALIDARG, a null handle or an empty string, with the trace lines and debug messages
// written where they fail.
//
// Functions of wtsapi32.dll, psapi.dll and userenv.dll are resolved at run time from the system folder, so
// that neither program imports those DLLs.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "strings/string_ex.h"
#include "support/scoped.h"

class CTavoCallProcess {
  public:
    virtual ~CTavoCallProcess() = default;

    // Sessions and tokens.

    // The id of the first session in state WTSActive, or 0xFFFFFFFF when there is none.
    static DWORD VlrTavoGetActiveSessionId();
    // A new primary token of the active session's user, or null (also when no session is active); the
    // caller closes it.
    static HANDLE VlrTavoGetActiveUserToken();
    // The token (TOKEN_ALL_ACCESS) of the first process of the console session whose token opens; on
    // systems older than Windows XP, of the first explorer.exe. The caller closes it. `hHandle` is written
    // only on success.
    static BOOL GetCurrentLogonUserToken(HANDLE& hHandle);
    // The active session's user token, else the token of explorer.exe in the active session. TRUE does not
    // imply a token: callers test `hHandle` (null on entry), which receives the token when one was opened.
    static BOOL GetCurrentLogonUserToken2(HANDLE& hHandle);
    // A new primary token duplicated from the process's token, or null; the caller closes it.
    static HANDLE VlrTavoOpenProcessToken(HANDLE hProcess);

    // Accounts and SIDs. SIDs come in the standard string form ("S-1-5-21-...").
    static BOOL GetTokenSID(HANDLE hToken, CStringEx& strSid);
    static BOOL GetProcessSID(HANDLE hProcess, CStringEx& strSid);
    // SID of the console user (token from GetCurrentLogonUserToken).
    static BOOL GetLogonSID(CStringEx& strSid);
    // The account name (without domain) under which a process runs.
    static BOOL GetProcessUserName(LPCWSTR lpszProcessName, CStringEx& strUserName);
    static BOOL GetProcessUserName(HANDLE hProcess, CStringEx& strUserName);
    static BOOL GetProcessUserName(DWORD dwProcessId, std::wstring& strUserName);
    // The process runs under the account named "SYSTEM" (any letter case).
    static BOOL IsSysProcess(HANDLE hProcess);
    // The process runs under exactly the same account name as the calling thread.
    static BOOL IsCurrentLogonUserProcess(DWORD dwProcessId);

    // Finding processes. Each search takes the first match in the order the system lists processes.

    // S_OK and the id of the first process whose executable name equals `lpszProcessName` (or the short
    // form of it, when the name leads to an existing file) case-insensitively and, with
    // `bCurrentUserOnly`, that runs under the caller's account; E_FAIL when none or on error (also for an
    // empty name); E_INVALIDARG for a null name or a null out-pointer.
    static HRESULT VlrTavoFindProcess(LPCWSTR lpszProcessName, DWORD* pdwProcessId, BOOL bCurrentUserOnly);
    // The same without the short form and the account test; every diagnostic is a debug message.
    static HRESULT VlrTavoFindProcess(LPCWSTR lpszProcessName, DWORD* pdwProcessId);
    // By full image path (case-insensitive); E_INVALIDARG for a null or empty path or a null out-pointer.
    static HRESULT VlrTavoFindProcessByExePath(LPCWSTR lpszProcessExePath, DWORD* pdwProcessId,
                                               BOOL bCurrentUserOnly);
    // By the base name of the first module (psapi, at most the first 1024 process ids): S_OK on a match,
    // else E_FAIL (also for a null name or a null out-pointer). An empty name matches nothing, not even a
    // process whose modules cannot be listed.
    static HRESULT VlrTavoFindProcessEx(LPCWSTR lpszProcessName, DWORD* pdwProcessId);
    // Full path of the process's first module; empty when it cannot be read.
    static CStringEx GetProcessModulePath(DWORD dwProcessId);

    // Terminating processes (exit code 0). Only the first process of the name is considered.

    static BOOL VlrTavoKillProcess(LPCWSTR lpszProcessName);
    static BOOL VlrTavoKillProcess(LPCWSTR lpszProcessName, BOOL bCurrentUserOnly);
    // Terminates the first process of the name only when `strModulePath` is empty or is an exact substring
    // of that process's module path.
    static BOOL VlrTavoKillProcess(LPCWSTR lpszProcessName, CStringEx strModulePath, BOOL bCurrentUserOnly);
    static BOOL VlrKillProcessByID(DWORD dwProcessId);
    // The plain VlrTavoKillProcess (the same search, debug messages and exit code), then a wait of at most
    // `dwWaitMs` on the terminated process itself: TerminateProcess only starts the termination, and a
    // process that has ended by then costs no further time. Where there is no process to wait on (none
    // found, or it does not open), the whole `dwWaitMs` passes asleep, as a fixed pause would. The
    // termination result.
    static BOOL VlrTavoKillProcessAndWait(LPCWSTR lpszProcessName, DWORD dwWaitMs);

    // Starting and waiting. `lpszExePath` is the folder (and the child's current folder), `lpszProcessName`
    // the file name in it. The command line goes into a MAX_PATH buffer and is cut to fit. After the start
    // the launch waits as `dwWaitObjectExitType` says (kWaitExitBlock, kWaitExitPumpMessages, anything
    // else: no wait); `lpdwExitCode` (may be null) then receives the child's exit code (STILL_ACTIVE while
    // it runs). A user environment block made for a launch is released as soon as the child was created
    // (or could not be): the new process holds its own copy, and keeping the block would leak one per launch.

    // With the caller's token; a command line without any space gets one in front ("/RegServer" is passed
    // as " /RegServer").
    static BOOL VlrTavoCreateProcess(HANDLE hStdOutput, LPCWSTR lpszExePath, LPCWSTR lpszProcessName,
                                     LPCWSTR lpszCommand, DWORD dwWaitObjectExitType, LPDWORD lpdwExitCode);
    // As the active session's user, with that user's environment when `bSetEnvironment`; space rule as
    // VlrTavoCreateProcess.
    static BOOL VlrTavoCreateProcessAsUser(HANDLE hStdOutput, LPCWSTR lpszExePath, LPCWSTR lpszProcessName,
                                           LPCWSTR lpszCommandLine, DWORD dwWaitObjectExitType,
                                           LPDWORD lpdwExitCode, BOOL bSetEnvironment);
    // With the caller's token `hToken` (stays the caller's). The command line is passed with one space in
    // front unless it already starts with a space.
    static BOOL VlrTavoCreateProcessAsUser(HANDLE hToken, HANDLE hStdOutput, LPCWSTR lpszExePath,
                                           LPCWSTR lpszProcessName, LPCWSTR lpszCommandLine,
                                           DWORD dwWaitObjectExitType, LPDWORD lpdwExitCode,
                                           BOOL bSetEnvironment);
    // As the console user (GetCurrentLogonUserToken2) with that user's environment; CreateProcessAsUserW,
    // then CreateProcessWithTokenW when that fails. Space rule as VlrTavoCreateProcess.
    static BOOL LaunchExe(LPCWSTR lpszExePath, LPCWSTR lpszProcessName, LPCWSTR lpszCommandLine,
                          DWORD dwWaitObjectExitType, LPDWORD lpdwExitCode);
    // Through the shell ("runas" when `bNeedUpgradePrivilege` on Vista or later, else "open"); the command
    // line is passed as the parameters unchanged. FALSE when the shell gave no process handle.
    static BOOL VlrTavoShellExecuteEx(LPCWSTR lpszFilePath, LPCWSTR lpszExeFileName, LPCWSTR lpszCommandLine,
                                      DWORD dwWaitObjectExitType, BOOL bNeedUpgradePrivilege,
                                      LPDWORD lpdwExitCode);
    // FALSE only for a null or INVALID_HANDLE_VALUE handle. A WM_QUIT taken during a message-pumping wait
    // ends the wait at once and is posted again with exit code -1.
    static BOOL VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD lpdwExitCode);
    // Waits at most `dwWaitMs` for the process `dwProcessId` to end, on its handle. TRUE when it has ended
    // or no process has that id any more. When it cannot be waited on (it does not open for
    // synchronisation, or the wait fails) the whole `dwWaitMs` passes asleep and the result is FALSE.
    static BOOL VlrTavoWaitForProcessEnd(DWORD dwProcessId, DWORD dwWaitMs);

    // Environment blocks of a user (userenv, loaded from the system folder for each call).

    // `*pdwCreationFlags` becomes NORMAL_PRIORITY_CLASS, with CREATE_UNICODE_ENVIRONMENT added when a block
    // was made into `*ppEnvironment` (release it with VlrTavoDestroyEnvironmentBlock). TRUE also when the
    // block could not be made (the pointer is then left as it was); FALSE for a null token or out-pointer
    // or when userenv.dll does not load.
    static BOOL VlrTavoCreateEnvironmentBlock(HANDLE hToken, DWORD* pdwCreationFlags, LPVOID* ppEnvironment);
    static BOOL VlrTavoDestroyEnvironmentBlock(LPVOID pEnvironment);

    // Loads a DLL by its full path in the system folder (never through the DLL search order); null when
    // the name is null or empty, the path does not fit MAX_PATH or loading fails. The caller frees it.
    static HMODULE LoadSystemLibrary(LPCWSTR lpszDllName);
};

// The wait-exit types of the launch operations.
constexpr DWORD kWaitExitNone = 0;          // return at once (any value other than the two below)
constexpr DWORD kWaitExitBlock = 1;         // wait without limit, no message pumping
constexpr DWORD kWaitExitPumpMessages = 2;  // wait without limit, dispatching the thread's messages

// The shell launch and the wait with scope traces and level-2 lines.
class CCallProcEx {
  public:
    // `lpszFileFullPath` is the program; its folder becomes the current folder. Environment strings in
    // the path are expanded by the shell. FALSE when the shell gave no process handle.
    static BOOL VlrShellEx(LPCWSTR lpszFileFullPath, LPCWSTR lpszCmdLine, DWORD dwWaitExitType,
                           BOOL bRunAsAdmin, LPDWORD lpdwExitCode);
    // As CTavoCallProcess::VlrTavoWaitForObjectExit.
    static BOOL VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD lpdwExitCode);
};

// System DLLs, loaded from the 32-bit system folder only, and the process-wide holders of those that the
// process, session and profile code needs.

// Loads `name` by full path from the 32-bit system folder (SysWOW64 on 64-bit Windows, else the system
// folder) with LOAD_WITH_ALTERED_SEARCH_PATH. Null for a null or empty name, when the folder cannot be
// read or the path would not fit in MAX_PATH characters, or when loading fails. The caller frees the module.
HMODULE LoadSystemLibraryEx(LPCWSTR name);

// Owner of one loaded module: frees it on destruction when it owns it.
class CDLLHandle {
  public:
    CDLLHandle(HMODULE module, BOOL owning) : m_hModule(module), m_bOwning(owning) {}
    virtual ~CDLLHandle();
    CDLLHandle(const CDLLHandle&) = delete;
    CDLLHandle& operator=(const CDLLHandle&) = delete;

    HMODULE Get() const { return m_hModule; }

  private:
    HMODULE m_hModule;
    BOOL m_bOwning;
};

// "advapi32.dll", "psapi.dll" and "userenv.dll", each loaded once per process (thread-safely, on first use)
// with LoadSystemLibraryEx and freed at process exit. Null when loading failed; a failed load is not
// retried.
HMODULE GetAdvapi32Module();
HMODULE GetPsapiModule();
HMODULE GetUserenvModule();

// Children of the elevated uninstaller. Each one is started by its full application path with
// CreateProcessW (never through the shell), from the system folder as its current folder (no user can
// write there), and with the calling process's environment except "Path", which is the machine's own
// (the system environment's, which only administrators change) followed by `pathAddition` when given.
// This is the one place where such a child is started and, for RunChild, its exit code is known.
namespace tavo {

struct ChildStart {
    std::wstring pathAddition;    // appended to the machine's Path with a ';'
    std::vector<HANDLE> inherit;  // the only handles the child inherits (made inheritable for the call)
    // With useStandardHandles: the child's standard handles (inherited; null ones stay null).
    bool useStandardHandles = false;
    HANDLE standardInput = nullptr;
    HANDLE standardOutput = nullptr;
    HANDLE standardError = nullptr;
    DWORD creationFlags = 0;
    // Called once the child has started (before RunChild waits for it), with its command line and process.
    void (*onStarted)(const wchar_t* commandLine, HANDLE process) = nullptr;
};

struct ChildOutcome {
    bool started = false;
    DWORD error = ERROR_SUCCESS;  // why it did not start
    DWORD processId = 0;
    bool timedOut = false;  // it ran past the bound and was ended, with what it started
    DWORD exitCode = STILL_ACTIVE;
};

// The system folder; empty when it cannot be read.
std::wstring SystemFolder();
// The machine's Path, expanded; empty when it cannot be read.
std::wstring MachinePath();
// The child's environment block (CREATE_UNICODE_ENVIRONMENT), as described above; empty on failure.
std::vector<wchar_t> ChildEnvironment(const wchar_t* pathAddition);

// Starts the child and returns its process handle without waiting (empty, with `error`, when it did not
// start).
ScopedHandle StartChild(const std::wstring& application, const std::wstring& commandLine,
                        const ChildStart& start, DWORD& error);

// Starts the child in a job of its own and waits for it at most `timeoutMs` (INFINITE: no bound); past the
// bound the job (the child and what it started) is ended and the outcome says so.
ChildOutcome RunChild(const std::wstring& application, const std::wstring& commandLine,
                      const ChildStart& start, DWORD timeoutMs);

// A process that uses a file, as the Restart Manager names it.
struct FileUser {
    std::wstring name;  // its program file's name ("OUTLOOK.EXE"); the Restart Manager's name for it when
                        // the process cannot be opened or its id now names another process
    DWORD processId = 0;
};

// Asks the Restart Manager (rstrtmgr.dll, loaded from the system folder) which processes use the file at
// `path`, in a session of its own. ERROR_SUCCESS with the list (empty when it names none: Wine 8's Restart
// Manager is a stub that names none), or the Restart Manager's error with an empty list
// (ERROR_PROC_NOT_FOUND when it is not there).
DWORD ProcessesUsingFile(const std::wstring& path, std::vector<FileUser>& users);

}  // namespace tavo
