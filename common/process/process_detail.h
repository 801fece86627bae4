// The pieces the process operations are made of: the command-line buffer, the shell verb, the wait with
// its two sets of diagnostics, and the launches as a given user once the token is known. The public
// operations in call_process.h combine them; tests call them directly (the Wine machines list no active
// session, so the token look-ups of the public launches find nothing there).
#pragma once

#include <windows.h>

#include "support/scoped.h"

namespace tavo::process {

// How a launch fills its command-line buffer.
enum class CommandLineRule {
    kSpaceWhenNoSpace,   // one space in front when the text holds no space at all
    kSpaceUnlessLeading  // one space in front unless the text already starts with one
};

// Fills `buffer` (MAX_PATH characters) with the command line after the rule, cut to fit with the
// terminator. A null command line gives an empty buffer.
void FillCommandLine(wchar_t (&buffer)[MAX_PATH], const wchar_t* commandLine, CommandLineRule rule);

// "runas" when elevation is asked for on Vista or later (GetOSVersionType code 8), else "open".
const wchar_t* ShellVerb(BOOL elevate, int osVersionType);

// The folder joined with the file name (PathCombineW); empty when it does not fit.
void CombinePath(wchar_t (&buffer)[MAX_PATH], const wchar_t* folder, const wchar_t* fileName);
// The short (8.3) form of an existing path; the path itself when the system gives no short form.
void ShortPathOrSelf(wchar_t (&buffer)[MAX_PATH], const wchar_t* path);

// The steps of VlrTavoCreateProcessAsUser (active user) and LaunchExe after their token was obtained; each
// closes the token once the child was created (or could not be). Diagnostics as the public operations
// write them after the token look-up.
BOOL CreateProcessAsActiveUser(ScopedToken token, HANDLE hStdOutput, const wchar_t* fullPath,
                               const wchar_t* folder, const wchar_t* commandLine, DWORD waitType,
                               LPDWORD exitCode, BOOL setEnvironment);
BOOL LaunchExeAsUser(ScopedToken token, const wchar_t* fullPath, const wchar_t* folder,
                     const wchar_t* commandLine, DWORD waitType, LPDWORD exitCode);

// CreateProcessWithTokenW of advapi32.dll, resolved at run time (absent before Vista): FALSE with
// ERROR_PROC_NOT_FOUND when missing.
BOOL CreateProcessWithTokenRuntime(HANDLE token, DWORD logonFlags, LPCWSTR application, LPWSTR commandLine,
                                   DWORD creationFlags, LPVOID environment, LPCWSTR currentFolder,
                                   LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info);

}  // namespace tavo::process
