// Sessions, tokens, accounts, the console user's profile hive, and the hives of every user profile.
//
// The session, token and account operations are static members of CTavoCallProcess (declared with the
// process toolkit in process/process.h, defined in this folder). The profile hive stands in for
// HKEY_CURRENT_USER in the registry layer for processes that are not interactive themselves (run by a
// service or an installer's system account) on Windows Vista or later.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

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

// The user profiles the machine lists and their registry hives.

// One profile of the machine's profile list (HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList).
struct ListedProfile {
    std::wstring sid;     // the account's SID in its string form
    std::wstring folder;  // the profile folder, environment references expanded, no trailing backslash
};

// The profiles of people's accounts the profile list names, in its order: local and domain accounts
// (S-1-5-21-...) and cloud directory accounts (S-1-12-1-...). The service accounts (S-1-5-18, -19, -20),
// names that are no SID (a ".bak" copy of a damaged profile's entry) and entries without a profile folder
// that is a local absolute path are left out. Empty when the list cannot be read.
std::vector<ListedProfile> ListUserProfiles();

// The account's "DOMAIN\name" as LookupAccountSidW gives it (the name alone when there is no domain), or
// the SID itself when it does not resolve (an account deleted or unknown to this machine).
std::wstring AccountDisplayName(const std::wstring& sid);

// Privileges enabled in the process token for the object's life; the previous state is put back at the
// end. ok() is false when the token cannot be adjusted or does not hold every privilege asked for.
class CEnabledPrivileges {
  public:
    explicit CEnabledPrivileges(std::initializer_list<const wchar_t*> names);
    ~CEnabledPrivileges();
    CEnabledPrivileges(const CEnabledPrivileges&) = delete;
    CEnabledPrivileges& operator=(const CEnabledPrivileges&) = delete;
    bool ok() const { return m_error == ERROR_SUCCESS; }
    DWORD error() const { return m_error; }

  private:
    tavo::ScopedToken m_token;
    std::vector<BYTE> m_previous;
    DWORD m_error = ERROR_SUCCESS;
};

// One user's registry hive: the one already loaded under HKEY_USERS\<SID> (the user is logged on, or a
// program holds it) is used where it is; otherwise the profile's hive file is loaded under a new name under
// HKEY_USERS (SE_RESTORE_NAME and SE_BACKUP_NAME enabled for the time it is loaded) and unloaded by Close
// or the destructor, whatever happened in between. Every key opened below root() must be closed before
// then: a key left open keeps the hive from unloading.
class CUserHive {
  public:
    CUserHive() = default;
    ~CUserHive();
    CUserHive(const CUserHive&) = delete;
    CUserHive& operator=(const CUserHive&) = delete;

    // ERROR_SUCCESS, or why the hive is not open: ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND (no hive
    // file), ERROR_CANT_ACCESS_FILE (the hive file is a link or a folder), ERROR_NOT_ALL_ASSIGNED (the
    // privileges are not held), or what loading it answered (ERROR_SHARING_VIOLATION when another process
    // holds the file, ERROR_BADDB for a damaged one). `profileFolder` holds "NTUSER.DAT".
    DWORD Open(const std::wstring& sid, const std::wstring& profileFolder);
    HKEY root() const { return m_root.get(); }
    // The hive was loaded by Open (and is unloaded by Close).
    bool loadedHere() const { return !m_loadedName.empty(); }
    // The name under HKEY_USERS it was loaded under here (empty when it was loaded already).
    const std::wstring& loadedName() const { return m_loadedName; }
    // The hive file, as Open was given it.
    const std::wstring& file() const { return m_file; }
    // Closes the root key and unloads a hive Open loaded: ERROR_SUCCESS, or the unload's error (the hive
    // then stays loaded until the next restart).
    DWORD Close();

  private:
    std::unique_ptr<CEnabledPrivileges> m_privileges;
    tavo::ScopedRegKey m_root;
    std::wstring m_loadedName;
    std::wstring m_file;
};
