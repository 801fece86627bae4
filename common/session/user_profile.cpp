// The console user's profile hive for processes that are not interactive, and the interactive test.
#include <windows.h>
#include <userenv.h>

#include "support/proc_address.h"
#include "session/session_detail.h"
#include "process/process.h"
#include "session/session.h"
#include "support/scoped.h"

namespace tavo::session {

namespace {

using PfnLoadUserProfileW = BOOL(WINAPI*)(HANDLE, LPPROFILEINFOW);
using PfnUnloadUserProfile = BOOL(WINAPI*)(HANDLE, HANDLE);
using PfnImpersonateLoggedOnUser = BOOL(WINAPI*)(HANDLE);
using PfnRevertToSelf = BOOL(WINAPI*)();

constexpr DWORD kGroupsFirstBytes = 256;

}  // namespace

bool GroupsHoldInteractive(const TOKEN_GROUPS* groups) {
    if (!groups) return false;
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID interactive = nullptr;
    if (!AllocateAndInitializeSid(&authority, 1, SECURITY_INTERACTIVE_RID, 0, 0, 0, 0, 0, 0, 0,
                                  &interactive)) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < groups->GroupCount && !found; ++i) {
        if (groups->Groups[i].Sid && EqualSid(groups->Groups[i].Sid, interactive)) found = true;
    }
    FreeSid(interactive);
    return found;
}

ProfileKeyStep NextProfileKeyStep(HKEY currentKey, bool interactive) {
    if (currentKey) return ProfileKeyStep::kReturnKey;
    return interactive ? ProfileKeyStep::kUseCurrentUser : ProfileKeyStep::kLoadHive;
}

HKEY LoadLogonUserHive(HANDLE token) {
    if (!token) return nullptr;
    const auto loadUserProfile = ProcAddress<PfnLoadUserProfileW>(GetUserenvModule(), "LoadUserProfileW");
    if (!loadUserProfile) return nullptr;
    wchar_t userName[MAX_PATH] = {};
    DWORD chars = MAX_PATH;
    if (!GetUserNameW(userName, &chars)) userName[0] = L'\0';
    userName[MAX_PATH - 1] = L'\0';
    PROFILEINFOW profile = {};
    profile.dwSize = sizeof(profile);  // 32
    profile.dwFlags = PI_NOUI;
    profile.lpUserName = userName;
    if (!loadUserProfile(token, &profile)) return nullptr;
    return static_cast<HKEY>(profile.hProfile);
}

CUserProfile& ProcessUserProfile() {
    // The module holders are made before the profile object, so that they are destroyed after it: the
    // destructor of a profile with a loaded hive still needs userenv.dll.
    static const bool modulesFirst = (GetUserenvModule(), GetAdvapi32Module(), true);
    (void)modulesFirst;
    static CUserProfile profile;
    return profile;
}

}  // namespace tavo::session

using namespace tavo::session;
using tavo::ProcAddress;

BOOL IsInteractiveProcess() {
    tavo::ScopedToken token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return TRUE;
    DWORD size = kGroupsFirstBytes;
    tavo::ScopedLocalMemory buffer(LocalAlloc(LPTR, size));
    if (!buffer) return TRUE;
    if (!GetTokenInformation(token.get(), TokenGroups, buffer.get(), size, &size)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return TRUE;
        buffer.reset(LocalAlloc(LPTR, size));
        if (!buffer) return TRUE;
        if (!GetTokenInformation(token.get(), TokenGroups, buffer.get(), size, &size)) return TRUE;
    }
    return GroupsHoldInteractive(static_cast<const TOKEN_GROUPS*>(buffer.get())) ? TRUE : FALSE;
}

HKEY GetLogonUserProfileKey() { return ProcessUserProfile().GetProfileKey(); }

CUserProfile::~CUserProfile() {
    // The token's owner closes it after this body, once the hive is unloaded.
    if (m_hProfileKey && m_hProfileKey != HKEY_CURRENT_USER && m_hUserToken) {
        const auto unloadUserProfile =
            ProcAddress<PfnUnloadUserProfile>(GetUserenvModule(), "UnloadUserProfile");
        if (unloadUserProfile) {
            unloadUserProfile(m_hUserToken.get(), m_hProfileKey);
            m_hProfileKey = nullptr;
        }
    }
}

HKEY CUserProfile::GetProfileKey() {
    switch (NextProfileKeyStep(m_hProfileKey, m_hProfileKey ? false : IsInteractiveProcess() != FALSE)) {
        case ProfileKeyStep::kReturnKey:
            return m_hProfileKey;
        case ProfileKeyStep::kUseCurrentUser:
            m_hProfileKey = HKEY_CURRENT_USER;
            return m_hProfileKey;
        case ProfileKeyStep::kLoadHive:
            break;
    }
    const HMODULE userenv = GetUserenvModule();
    const HMODULE advapi = GetAdvapi32Module();
    const bool functionsPresent =
        userenv && advapi && ProcAddress<PfnLoadUserProfileW>(userenv, "LoadUserProfileW") &&
        ProcAddress<PfnImpersonateLoggedOnUser>(advapi, "ImpersonateLoggedOnUser") &&
        ProcAddress<PfnRevertToSelf>(advapi, "RevertToSelf");
    if (functionsPresent) {
        const HANDLE token = GetLogonUserToken();
        if (token) m_hProfileKey = LoadLogonUserHive(token);
    }
    if (!m_hProfileKey) m_hProfileKey = HKEY_CURRENT_USER;
    return m_hProfileKey;
}

HANDLE CUserProfile::GetLogonUserToken() {
    if (m_hUserToken) return m_hUserToken.get();
    HANDLE token = nullptr;
    if (SearchConsoleUserToken(SearchReport::kDebug, token)) m_hUserToken.reset(token);
    return m_hUserToken.get();
}
