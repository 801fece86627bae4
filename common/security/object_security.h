// Reads and widens the discretionary access control list of a registry key or a file. The descriptor
// (owner, group and DACL) is loaded once, at construction; RestoreDacl writes the loaded DACL back.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include "support/scoped.h"

class CObjectSecurity {
  public:
    // A key under HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE or HKEY_USERS, in the process's
    // own registry view. Any other root, a null key path or a name too long for the object leaves the
    // object empty: every operation on it returns false.
    CObjectSecurity(HKEY root, LPCWSTR subkey);
    // A file or folder. A null path or one too long for the object leaves it empty.
    explicit CObjectSecurity(LPCWSTR path);
    ~CObjectSecurity() = default;
    CObjectSecurity(const CObjectSecurity&) = delete;
    CObjectSecurity& operator=(const CObjectSecurity&) = delete;

    // Merges an entry granting `mask` to the process's user into the object's DACL and writes it.
    BOOL GrantAccess(DWORD mask);
    BOOL GrantFullAccess();   // FILE_ALL_ACCESS; DELETE | KEY_SET_VALUE for a key
    BOOL GrantReadAccess();   // FILE_GENERIC_READ; KEY_READ
    BOOL GrantWriteAccess();  // FILE_GENERIC_WRITE; KEY_WRITE

    // Writes back the DACL loaded at construction, undoing grants made since.
    BOOL RestoreDacl();
    // The DACL of the loaded descriptor, or null.
    PACL GetDacl() const;

    // Whether the process's token is granted `desired` (generic rights mapped for the object type) by the
    // loaded descriptor.
    BOOL CheckAccess(DWORD desired) const;
    BOOL CanCreateSubKey() const;  // 4
    BOOL CanDelete() const;        // DELETE; DELETE | KEY_SET_VALUE for a key
    BOOL CanQuery() const;         // 1
    BOOL CanSetValue() const;      // 2

    SE_OBJECT_TYPE ObjectType() const { return m_objectType; }
    DWORD LastError() const { return m_lastError; }
    // The name the object was loaded by ("MACHINE\\SOFTWARE\\..." or the path), empty for an empty object.
    LPCWSTR ObjectName() const;

  private:
    void Load();
    bool IsKey() const { return m_objectType == SE_REGISTRY_KEY; }
    LPWSTR Name();

    tavo::ScopedLocalMemory m_descriptor;  // owner, group and DACL, from GetNamedSecurityInfoW
    SE_OBJECT_TYPE m_objectType = SE_UNKNOWN_OBJECT_TYPE;
    DWORD m_lastError = 0;
    wchar_t m_fileObjectName[MAX_PATH] = {};
    wchar_t m_registryObjectName[MAX_PATH] = {};
};
