// Sessions, tokens, accounts and the console user's profile hive.
//
// The session, token and account operations are static members of CTavoCallProcess (declared with the
// process toolkit in process/process.h, defined in this folder). The profile hive stands in for
// HKEY_CURRENT_USER in the registry layer for processes that are not interactive themselves (run by a
// service or an installer's system account) on Windows Vista or later.
#pragma once

#include <windows.h>

#include "process/process.h"
#include "strings/string_ex.h"
#include "support/scoped.h"

// TRUE when the process token holds the interactive group (S-1-5-4), FALSE when it does not, and TRUE
// when the token or its groups cannot be read.
BOOL IsInteractiveProcess();

// The loaded hive of the console user, or HKEY_CURRENT_USER: the key of the one process-wide CUserProfile,
// created on first use and destroyed at process exit. Decided once per process. Use from one thread at a
// time.
HKEY GetLogonUserProfileKey();

// The console user's profile hive. Moves once from undetermined (null key) to a loaded hive (key and
// token held) or to the fallback HKEY_CURRENT_USER, and never back. The destructor unloads a loaded hive
// and closes the token.
class CUserProfile {
  public:
    CUserProfile() = default;
    // Adopts a state already determined: `key` (null, HKEY_CURRENT_USER or a loaded hive) and `token`,
    // both owned by the object from now on.
    CUserProfile(HKEY key, HANDLE token) : m_hProfileKey(key), m_hUserToken(token) {}
    virtual ~CUserProfile();
    CUserProfile(const CUserProfile&) = delete;
    CUserProfile& operator=(const CUserProfile&) = delete;

    // The key, determined on the first call: HKEY_CURRENT_USER for an interactive process or when the hive
    // cannot be loaded, else the hive LoadUserProfileW loaded for the console user.
    HKEY GetProfileKey();
    // The console user's token, searched once and kept by the object; null when none was found (searched
    // again on the next call).
    HANDLE GetLogonUserToken();

    // The key as it stands, without deciding it (null while undetermined).
    HKEY CurrentProfileKey() const { return m_hProfileKey; }

  private:
    HKEY m_hProfileKey = nullptr;
    tavo::ScopedToken m_hUserToken;
};

// The user name of the caller's session, cached for the process once known (an empty cache is asked again
// on the next call). Use from one thread at a time.
CStringEx GetCurrentUserName();
