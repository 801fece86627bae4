// The user profiles the machine lists, the accounts behind them, and their registry hives.
#include <windows.h>
#include <sddl.h>

#include <cstddef>
#include <cwchar>
#include <string>
#include <vector>

#include "session/session.h"
#include "support/scoped.h"

namespace {

constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kHiveFileName[] = L"NTUSER.DAT";
constexpr DWORD kSubkeyChars = 256;
constexpr DWORD kPathChars = 1024;

// A SID in its string form, owned.
struct OwnedSid {
    tavo::ScopedLocalMemory memory;
    PSID get() const { return static_cast<PSID>(memory.get()); }
};

bool ParseSid(const std::wstring& text, OwnedSid& sid) {
    PSID parsed = nullptr;
    if (!ConvertStringSidToSidW(text.c_str(), &parsed)) return false;
    sid.memory.reset(parsed);
    return IsValidSid(parsed) != FALSE;
}

// The SID's canonical string form is `text` (letter case aside): the name is a SID and nothing more.
bool IsCanonicalSid(const std::wstring& text, PSID sid) {
    LPWSTR canonical = nullptr;
    if (!ConvertSidToStringSidW(sid, &canonical)) return false;
    tavo::ScopedLocalMemory owner(canonical);
    return CompareStringOrdinal(canonical, -1, text.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// A person's account: S-1-5-21-... (local and domain accounts) or S-1-12-1-... (cloud directory accounts).
// The well-known and service accounts have other authorities or first sub-authorities.
bool IsPersonSid(PSID sid) {
    const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
    if (!authority || *GetSidSubAuthorityCount(sid) < 1) return false;
    for (int i = 0; i < 5; ++i) {
        if (authority->Value[i] != 0) return false;
    }
    const DWORD first = *GetSidSubAuthority(sid, 0);
    return (authority->Value[5] == 5 && first == SECURITY_NT_NON_UNIQUE) ||
           (authority->Value[5] == 12 && first == 1);
}

// "X:\..." with a drive letter; no device or network path.
bool IsLocalAbsolutePath(const std::wstring& path) {
    return path.size() >= 3 &&
           ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':' && path[2] == L'\\';
}

std::wstring ProfileFolder(HKEY list, const wchar_t* sid) {
    tavo::ScopedRegKey entry;
    if (RegOpenKeyExW(list, sid, 0, KEY_QUERY_VALUE, entry.put()) != ERROR_SUCCESS) return {};
    wchar_t stored[kPathChars] = {};
    DWORD type = REG_NONE, bytes = sizeof(stored) - sizeof(wchar_t);
    if (RegQueryValueExW(entry.get(), L"ProfileImagePath", nullptr, &type, reinterpret_cast<BYTE*>(stored),
                         &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return {};
    }
    // Expanded with the machine's variables (%SystemDrive%), as the system does.
    wchar_t expanded[kPathChars] = {};
    const DWORD length = ExpandEnvironmentStringsW(stored, expanded, kPathChars);
    if (length == 0 || length > kPathChars) return {};
    std::wstring path = expanded;
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    if (!IsLocalAbsolutePath(path) || path.size() + 1 + wcslen(kHiveFileName) >= MAX_PATH) return {};
    return path;
}

// The attributes of `path` as its folder's listing shows them (the listing shows a link as one, also
// where an open through the link would not), or INVALID_FILE_ATTRIBUTES with the error set.
DWORD ListedAttributes(const std::wstring& path) {
    WIN32_FIND_DATAW found = {};
    tavo::ScopedFindHandle find(FindFirstFileW(path.c_str(), &found));
    if (!find) return INVALID_FILE_ATTRIBUTES;
    return found.dwFileAttributes;
}

unsigned NextHiveNumber() {
    static unsigned number = 0;
    return number++;
}

}  // namespace

std::vector<ListedProfile> ListUserProfiles() {
    std::vector<ListedProfile> profiles;
    try {
        tavo::ScopedRegKey list;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_READ | KEY_WOW64_64KEY, list.put()) !=
            ERROR_SUCCESS) {
            return profiles;
        }
        for (DWORD index = 0;; ++index) {
            wchar_t name[kSubkeyChars] = {};
            DWORD length = kSubkeyChars;
            const LONG found =
                RegEnumKeyExW(list.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (found == ERROR_MORE_DATA) continue;
            if (found != ERROR_SUCCESS) break;
            OwnedSid sid;
            if (!ParseSid(name, sid) || !IsCanonicalSid(name, sid.get()) || !IsPersonSid(sid.get())) continue;
            std::wstring folder = ProfileFolder(list.get(), name);
            if (folder.empty()) continue;
            profiles.push_back({name, std::move(folder)});
        }
    } catch (...) {
        // Out of memory: the profiles found so far.
    }
    return profiles;
}

std::wstring AccountDisplayName(const std::wstring& sidText) {
    try {
        OwnedSid sid;
        if (!ParseSid(sidText, sid)) return sidText;
        wchar_t name[MAX_PATH] = {}, domain[MAX_PATH] = {};
        DWORD nameChars = MAX_PATH, domainChars = MAX_PATH;
        SID_NAME_USE use = SidTypeUnknown;
        if (!LookupAccountSidW(nullptr, sid.get(), name, &nameChars, domain, &domainChars, &use) || !name[0])
            return sidText;
        name[MAX_PATH - 1] = domain[MAX_PATH - 1] = L'\0';
        return domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name);
    } catch (...) {
        return sidText;
    }
}

CEnabledPrivileges::CEnabledPrivileges(std::initializer_list<const wchar_t*> names) {
    try {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, m_token.put())) {
            m_error = GetLastError();
            return;
        }
        const size_t bytes =
            offsetof(TOKEN_PRIVILEGES, Privileges) + names.size() * sizeof(LUID_AND_ATTRIBUTES);
        std::vector<BYTE> wanted(bytes);
        auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(wanted.data());
        for (const wchar_t* name : names) {
            LUID_AND_ATTRIBUTES& entry = privileges->Privileges[privileges->PrivilegeCount++];
            if (!LookupPrivilegeValueW(nullptr, name, &entry.Luid)) {
                m_error = GetLastError();
                return;
            }
            entry.Attributes = SE_PRIVILEGE_ENABLED;
        }
        m_previous.assign(bytes, 0);
        DWORD needed = 0;
        if (!AdjustTokenPrivileges(m_token.get(), FALSE, privileges, static_cast<DWORD>(bytes),
                                   reinterpret_cast<TOKEN_PRIVILEGES*>(m_previous.data()), &needed)) {
            m_error = GetLastError();
            m_previous.clear();
            return;
        }
        // Success with ERROR_NOT_ALL_ASSIGNED: the token lacks one of them (those it holds are enabled and
        // are put back by the destructor).
        m_error = GetLastError();
    } catch (...) {
        m_error = ERROR_NOT_ENOUGH_MEMORY;
        m_previous.clear();
    }
}

CEnabledPrivileges::~CEnabledPrivileges() {
    if (m_token && !m_previous.empty()) {
        AdjustTokenPrivileges(m_token.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(m_previous.data()), 0,
                              nullptr, nullptr);
    }
}

CUserHive::~CUserHive() { Close(); }

DWORD CUserHive::Open(const std::wstring& sid, const std::wstring& profileFolder) {
    try {
        Close();
        m_file = profileFolder + L"\\" + kHiveFileName;
        // A logged-on user's hive (or one another program loaded) is used where it is.
        LONG result = RegOpenKeyExW(HKEY_USERS, sid.c_str(), 0, KEY_READ | KEY_WRITE, m_root.put());
        if (result != ERROR_FILE_NOT_FOUND) return static_cast<DWORD>(result);

        // The hive file lies in a folder its user owns: it must be a plain file in a profile folder that is
        // no link.
        const DWORD folder = ListedAttributes(profileFolder);
        if (folder == INVALID_FILE_ATTRIBUTES) return GetLastError();
        if (!(folder & FILE_ATTRIBUTE_DIRECTORY) || (folder & FILE_ATTRIBUTE_REPARSE_POINT))
            return ERROR_CANT_ACCESS_FILE;
        const DWORD file = ListedAttributes(m_file);
        if (file == INVALID_FILE_ATTRIBUTES) return GetLastError();
        if (file & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return ERROR_CANT_ACCESS_FILE;

        m_privileges = std::make_unique<CEnabledPrivileges>(
            std::initializer_list<const wchar_t*>{SE_RESTORE_NAME, SE_BACKUP_NAME});
        if (!m_privileges->ok()) {
            const DWORD error = m_privileges->error();
            m_privileges.reset();
            return error;
        }
        // A name of its own under HKEY_USERS that nothing else uses.
        std::wstring name;
        for (int attempt = 0; attempt < 100 && name.empty(); ++attempt) {
            std::wstring candidate = L"TavoRemover-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(GetTickCount()) + L"-" +
                                     std::to_wstring(NextHiveNumber());
            tavo::ScopedRegKey taken;
            if (RegOpenKeyExW(HKEY_USERS, candidate.c_str(), 0, KEY_QUERY_VALUE, taken.put()) ==
                ERROR_FILE_NOT_FOUND)
                name = std::move(candidate);
        }
        if (name.empty()) {
            m_privileges.reset();
            return ERROR_ALREADY_EXISTS;
        }
        result = RegLoadKeyW(HKEY_USERS, name.c_str(), m_file.c_str());
        if (result != ERROR_SUCCESS) {
            m_privileges.reset();
            return static_cast<DWORD>(result);
        }
        m_loadedName = std::move(name);
        result = RegOpenKeyExW(HKEY_USERS, m_loadedName.c_str(), 0, KEY_READ | KEY_WRITE, m_root.put());
        if (result != ERROR_SUCCESS) {
            Close();
            return static_cast<DWORD>(result);
        }
        return ERROR_SUCCESS;
    } catch (...) {
        Close();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD CUserHive::Close() {
    m_root.reset();
    DWORD result = ERROR_SUCCESS;
    if (!m_loadedName.empty()) {
        result = static_cast<DWORD>(RegUnLoadKeyW(HKEY_USERS, m_loadedName.c_str()));
        m_loadedName.clear();
    }
    m_privileges.reset();
    return result;
}
