#include "security/object_security.h"

#include <cwchar>

namespace {

constexpr DWORD kAdjustAndQueryPrivileges = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;  // 0x28
constexpr DWORD kCheckTokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | READ_CONTROL;   // 0x2000A
constexpr SECURITY_INFORMATION kDescriptorParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;  // 7
constexpr size_t kRegistryNameChars = 256;                                                // with terminator
constexpr size_t kFileNameChars = 255;                                                    // without it
constexpr DWORD kTokenUserBytes = 1024;

// Enables SeTakeOwnershipPrivilege for the process; failures are ignored.
void EnableTakeOwnershipPrivilege() {
    tavo::ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), kAdjustAndQueryPrivileges, token.put())) return;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, L"SeTakeOwnershipPrivilege", &privileges.Privileges[0].Luid)) return;
    AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof(privileges), nullptr, nullptr);
}

// The DACL part of a descriptor write. Written without the protection flag, a protected DACL would become
// unprotected and take on the parent's inheritable entries: keep the protection the object had when loaded.
SECURITY_INFORMATION DaclInformation(PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED)) {
        return DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    }
    return DACL_SECURITY_INFORMATION;
}

LPCWSTR RootName(HKEY root) {
    if (root == HKEY_CLASSES_ROOT) return L"CLASSES_ROOT";
    if (root == HKEY_CURRENT_USER) return L"CURRENT_USER";
    if (root == HKEY_LOCAL_MACHINE) return L"MACHINE";
    if (root == HKEY_USERS) return L"USERS";
    return nullptr;
}

}  // namespace

CObjectSecurity::CObjectSecurity(HKEY root, LPCWSTR subkey) {
    EnableTakeOwnershipPrivilege();
    LPCWSTR rootName = RootName(root);
    if (!rootName || !subkey) return;
    // A name cut short would name another key (a parent, or a sibling with a shorter name): stay empty.
    const int written = _snwprintf(m_registryObjectName, kRegistryNameChars, L"%s\\%s", rootName, subkey);
    if (written < 0 || static_cast<size_t>(written) >= kRegistryNameChars) {
        m_registryObjectName[0] = L'\0';
        return;
    }
    m_objectType = SE_REGISTRY_KEY;
    Load();
}

CObjectSecurity::CObjectSecurity(LPCWSTR path) {
    EnableTakeOwnershipPrivilege();
    if (!path) return;
    const size_t length = wcslen(path);
    if (length > kFileNameChars) return;  // a path cut short would name another file
    wmemcpy(m_fileObjectName, path, length + 1);
    m_objectType = SE_FILE_OBJECT;
    Load();
}

void CObjectSecurity::Load() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    m_lastError = GetNamedSecurityInfoW(Name(), m_objectType, kDescriptorParts, nullptr, nullptr, nullptr,
                                        nullptr, &descriptor);
    if (m_lastError == ERROR_SUCCESS) m_descriptor.reset(descriptor);
}

LPWSTR CObjectSecurity::Name() { return IsKey() ? m_registryObjectName : m_fileObjectName; }

LPCWSTR CObjectSecurity::ObjectName() const { return IsKey() ? m_registryObjectName : m_fileObjectName; }

PACL CObjectSecurity::GetDacl() const {
    if (!m_descriptor) return nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(m_descriptor.get(), &present, &dacl, &defaulted) || !present)
        return nullptr;
    return dacl;
}

BOOL CObjectSecurity::GrantAccess(DWORD mask) {
    if (!m_descriptor) return FALSE;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(m_descriptor.get(), &present, &dacl, &defaulted) || !present) return FALSE;
    // A null DACL already lets everyone do everything; a DACL of one entry would shut everyone else out.
    if (!dacl) return TRUE;

    tavo::ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return FALSE;
    alignas(8) BYTE tokenUser[kTokenUserBytes] = {};
    DWORD returned = 0;
    if (!GetTokenInformation(token.get(), TokenUser, tokenUser, sizeof(tokenUser), &returned)) return FALSE;

    EXPLICIT_ACCESSW access = {};
    access.grfAccessPermissions = mask;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName = static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(tokenUser)->User.Sid);

    PACL merged = nullptr;
    if (SetEntriesInAclW(1, &access, dacl, &merged) != ERROR_SUCCESS) return FALSE;
    tavo::ScopedLocalMemory mergedOwner(merged);
    return SetNamedSecurityInfoW(Name(), m_objectType, DaclInformation(m_descriptor.get()), nullptr, nullptr,
                                 merged, nullptr) == ERROR_SUCCESS;
}

BOOL CObjectSecurity::GrantFullAccess() {
    return GrantAccess(IsKey() ? DELETE | KEY_SET_VALUE : FILE_ALL_ACCESS);
}
BOOL CObjectSecurity::GrantReadAccess() { return GrantAccess(IsKey() ? KEY_READ : FILE_GENERIC_READ); }
BOOL CObjectSecurity::GrantWriteAccess() { return GrantAccess(IsKey() ? KEY_WRITE : FILE_GENERIC_WRITE); }

BOOL CObjectSecurity::RestoreDacl() {
    if (!m_descriptor) return FALSE;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(m_descriptor.get(), &present, &dacl, &defaulted) || !present) return FALSE;
    return SetNamedSecurityInfoW(Name(), m_objectType, DaclInformation(m_descriptor.get()), nullptr, nullptr,
                                 dacl, nullptr) == ERROR_SUCCESS;
}

BOOL CObjectSecurity::CheckAccess(DWORD desired) const {
    if (!m_descriptor) return FALSE;
    GENERIC_MAPPING mapping = {};
    if (IsKey()) {
        mapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
    } else {
        mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    }
    tavo::ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), kCheckTokenAccess, token.put())) return FALSE;
    tavo::ScopedHandle impersonation;
    if (!DuplicateToken(token.get(), SecurityImpersonation, impersonation.put())) return FALSE;
    MapGenericMask(&desired, &mapping);
    alignas(8) BYTE privilegeSet[sizeof(PRIVILEGE_SET)] = {};  // 20 bytes
    DWORD privilegeSetBytes = sizeof(privilegeSet);
    DWORD granted = 0;
    BOOL status = FALSE;
    if (!AccessCheck(m_descriptor.get(), impersonation.get(), desired, &mapping,
                     reinterpret_cast<PRIVILEGE_SET*>(privilegeSet), &privilegeSetBytes, &granted, &status)) {
        return FALSE;
    }
    // Every right asked for, not just some: Wine's check reports success when any of them is granted.
    return status && (granted & desired) == desired;
}

BOOL CObjectSecurity::CanCreateSubKey() const { return CheckAccess(KEY_CREATE_SUB_KEY); }
BOOL CObjectSecurity::CanDelete() const { return CheckAccess(IsKey() ? DELETE | KEY_SET_VALUE : DELETE); }
BOOL CObjectSecurity::CanQuery() const { return CheckAccess(KEY_QUERY_VALUE); }
BOOL CObjectSecurity::CanSetValue() const { return CheckAccess(KEY_SET_VALUE); }
