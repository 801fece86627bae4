// The interactive user: the active terminal-services session and its user's token, the console session's
// user token, the account and SID behind a process or a token, and the name of the current session's user.
//
// All operations are static members of the data-less class CTavoCallProcess (the process operations of the
// library are members of the same class). Text is wide. No operation throws: failures give FALSE, a null
// handle or an empty string, with the trace lines and debug messages written where they fail.
//
// Functions of wtsapi32.dll and psapi.dll are resolved at run time from the 32-bit system folder
// (LoadSystemLibraryEx), so that neither program imports those DLLs.
#pragma once

#include <windows.h>

#include <string>

#include "strings/string_ex.h"

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

    // Process search (used by GetProcessUserName by name): S_OK and the id of the first process whose
    // executable name equals `lpszProcessName` (or its short form) case-insensitively and, with
    // `bCurrentUserOnly`, that runs under the caller's account; E_FAIL when none or on error; E_INVALIDARG
    // for a null name or a null out-pointer.
    static HRESULT VlrTavoFindProcess(LPCWSTR lpszProcessName, DWORD* pdwProcessId, BOOL bCurrentUserOnly);
};

// The user name of the caller's session, cached for the process once known (an empty cache is asked again
// on the next call). Use from one thread at a time.
CStringEx GetCurrentUserName();
