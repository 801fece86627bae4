// The pieces the session, token and profile operations are made of: the decisions, as small functions of
// their inputs, and the steps that take an explicit session id. The public operations in call_process.h
// and user_profile.h combine them; tests call them directly.
#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include "strings/string_ex.h"

namespace tavo::session {

// Letters A to Z folded to a to z on both sides, every other character compared unchanged.
inline bool EqualFoldingAsciiLetters(const wchar_t* a, const wchar_t* b) {
    for (;; ++a, ++b) {
        wchar_t x = *a, y = *b;
        if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y) return false;
        if (x == L'\0') return true;
    }
}

constexpr DWORD kNoSession = 0xFFFFFFFF;

// The session id of the first entry in state WTSActive, or kNoSession.
DWORD FirstActiveSessionId(const WTS_SESSION_INFOW* sessions, DWORD count);

// GetOSVersionType codes above 5 (Windows XP, Vista or later) take the console session id; the others
// (and the 0 of an unclassified version) search by image name.
bool UsesConsoleSession(int osVersionType);

// The image path's file name is "explorer" with extension ".exe", letters A to Z compared without case.
bool IsExplorerImagePath(const wchar_t* imagePath);

// Whether the console-user search takes a process: with a known console session, when its session could
// be read and equals that session; otherwise when its image is explorer.exe.
bool IsConsoleUserCandidate(bool sessionKnown, DWORD consoleSessionId, bool processSessionRead,
                            DWORD processSessionId, const wchar_t* imagePath);

// "SYSTEM" in any letter case (A to Z folded); an empty or null name is not.
bool IsSystemAccountName(const wchar_t* accountName);

// Two account names are the same account when both are known (non-empty) and equal character for
// character.
bool IsSameAccountName(const wchar_t* processAccount, const wchar_t* callerAccount);

// A group list holds the interactive SID S-1-5-4.
bool GroupsHoldInteractive(const TOKEN_GROUPS* groups);

// What CUserProfile::GetProfileKey does next for the key it holds and the interactive test.
enum class ProfileKeyStep {
    kReturnKey,       // already decided (a loaded hive or the fallback)
    kUseCurrentUser,  // interactive process: HKEY_CURRENT_USER for the life of the process
    kLoadHive,        // load the console user's hive, falling back to HKEY_CURRENT_USER
};
ProfileKeyStep NextProfileKeyStep(HKEY currentKey, bool interactive);

// How the console-user search reports failures: trace lines (GetCurrentLogonUserToken) or debug messages
// (CUserProfile::GetLogonUserToken).
enum class SearchReport { kTrace, kDebug };

// The console-user search: the console session id on Windows XP or later, then the process walk.
BOOL SearchConsoleUserToken(SearchReport report, HANDLE& token);

// The process walk of the console-user search: processes in EnumProcesses order, the first selected one
// whose token opens (TOKEN_ALL_ACCESS) gives the token. `sessionKnown` false selects by image name
// (explorer.exe). Processes are opened with PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, or, when
// selecting by image name (systems before Windows XP, which lack the limited right), with
// PROCESS_QUERY_INFORMATION | PROCESS_VM_READ. `selectedPid` (may be null) receives the id of the process
// whose token was taken.
BOOL OpenConsoleUserTokenFromProcessList(SearchReport report, bool sessionKnown, DWORD consoleSessionId,
                                         HANDLE& token, DWORD* selectedPid);

// WTSQueryUserToken for `sessionId` duplicated into a new primary token (0x020F01FF,
// SecurityImpersonation); null when the query or the duplication fails, and for kNoSession.
HANDLE QuerySessionUserToken(DWORD sessionId);

// Steps of GetCurrentLogonUserToken2 after its trace line, for the given active session id.
BOOL GetCurrentLogonUserToken2InSession(DWORD activeSessionId, HANDLE& hHandle);

// The explorer.exe walk of GetCurrentLogonUserToken2: the first explorer.exe of `sessionId` in the process
// snapshot; its token (TOKEN_ALL_ACCESS) goes to `hHandle` when it opens. FALSE only when the snapshot
// cannot be taken or read.
BOOL OpenExplorerTokenInSession(DWORD sessionId, HANDLE& hHandle);

// The user name of a session (WTSQuerySessionInformationW, WTSUserName) into `name`; on failure the debug
// message "GetCurrentUserName: WTSQuerySessionInformation FAILED!\n" and FALSE, `name` unchanged.
BOOL QuerySessionUserName(DWORD sessionId, CStringEx& name);

// LoadUserProfileW (PI_NOUI, the calling thread's user name) for `token`: the hive key, or null.
HKEY LoadLogonUserHive(HANDLE token);

}  // namespace tavo::session

class CUserProfile;

namespace tavo::session {
// The one process-wide CUserProfile behind GetLogonUserProfileKey, created on first use.
CUserProfile& ProcessUserProfile();
}  // namespace tavo::session
