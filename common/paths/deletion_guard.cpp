// Which folders may be deleted with everything in them. The path judged comes from places that others can
// write (the product key's "Path"), and the deletion runs as an administrator: a folder is deletable only
// when it is an existing local folder that is not a link and is none of the folders Windows and its users
// depend on, nor a folder above one of them.
#include <shlobj.h>

#include <string>
#include <vector>

#include "paths/path_api.h"
#include "process/process.h"
#include "support/scoped.h"

namespace {

// Folders of Windows itself: none of them, nothing inside them and nothing above them is deleted.
// Folders of the machine and of its users: neither one of them nor anything above them is deleted.
struct ProtectedFolders {
    std::vector<std::wstring> system;
    std::vector<std::wstring> other;
};

bool EqualNoCase(const wchar_t* a, int aLength, const wchar_t* b, int bLength) {
    return CompareStringOrdinal(a, aLength, b, bLength, TRUE) == CSTR_EQUAL;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return EqualNoCase(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()));
}

// `inner` lies inside `outer` (not equal to it).
bool IsInside(const std::wstring& inner, const std::wstring& outer) {
    if (outer.empty() || inner.size() <= outer.size() + 1) return false;
    if (inner[outer.size()] != L'\\') return false;
    return EqualNoCase(inner.c_str(), static_cast<int>(outer.size()), outer.c_str(),
                       static_cast<int>(outer.size()));
}

// A path in one comparable form: absolute, "." and ".." resolved, long names for the parts that exist, no
// trailing backslash except after a drive root. Empty when the path cannot be made absolute.
std::wstring Normalized(const std::wstring& path) {
    if (path.empty()) return {};
    wchar_t full[MAX_PATH] = {};
    const DWORD fullLength = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH) return {};
    std::wstring result = full;
    wchar_t longPath[MAX_PATH] = {};
    const DWORD longLength = GetLongPathNameW(full, longPath, MAX_PATH);
    if (longLength > 0 && longLength < MAX_PATH) result = longPath;
    while (result.size() > 3 && (result.back() == L'\\' || result.back() == L'/')) result.pop_back();
    return result;
}

void Add(std::vector<std::wstring>& list, const std::wstring& path) {
    std::wstring normalized = Normalized(path);
    if (!normalized.empty()) list.push_back(std::move(normalized));
}

std::wstring Expanded(const std::wstring& text) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = ExpandEnvironmentStringsW(text.c_str(), buffer, MAX_PATH);
    return (length > 0 && length <= MAX_PATH) ? std::wstring(buffer) : std::wstring();
}

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, buffer, MAX_PATH);
    return (length > 0 && length < MAX_PATH) ? std::wstring(buffer) : std::wstring();
}

// A string value (REG_SZ or REG_EXPAND_SZ, expanded) of an open key; empty when there is none.
std::wstring StringValue(HKEY key, const wchar_t* subkey, const wchar_t* name) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegGetValueW(key, subkey, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, buffer,
                     &bytes) != ERROR_SUCCESS) {
        return {};
    }
    return type == REG_EXPAND_SZ ? Expanded(buffer) : std::wstring(buffer);
}

// The folders the shell knows for the user of `token` (null: the caller), and for all users.
void AddShellFolders(std::vector<std::wstring>& list, HANDLE token) {
    static const int kFolders[] = {
        CSIDL_PROFILE,
        CSIDL_DESKTOPDIRECTORY,
        CSIDL_PERSONAL,
        CSIDL_MYMUSIC,
        CSIDL_MYPICTURES,
        CSIDL_MYVIDEO,
        CSIDL_APPDATA,
        CSIDL_LOCAL_APPDATA,
        CSIDL_PROGRAMS,
        CSIDL_STARTMENU,
        CSIDL_STARTUP,
        CSIDL_FAVORITES,
        CSIDL_TEMPLATES,
        CSIDL_COOKIES,
        CSIDL_HISTORY,
        CSIDL_INTERNET_CACHE,
        CSIDL_RECENT,
        CSIDL_SENDTO,
        CSIDL_NETHOOD,
        CSIDL_PRINTHOOD,
        CSIDL_ADMINTOOLS,
        CSIDL_CDBURN_AREA,
        CSIDL_COMMON_APPDATA,
        CSIDL_COMMON_DESKTOPDIRECTORY,
        CSIDL_COMMON_DOCUMENTS,
        CSIDL_COMMON_PROGRAMS,
        CSIDL_COMMON_STARTMENU,
        CSIDL_COMMON_STARTUP,
        CSIDL_COMMON_TEMPLATES,
        CSIDL_COMMON_MUSIC,
        CSIDL_COMMON_PICTURES,
        CSIDL_COMMON_VIDEO,
        CSIDL_COMMON_FAVORITES,
        CSIDL_COMMON_ADMINTOOLS,
        CSIDL_PROGRAM_FILES,
        CSIDL_PROGRAM_FILESX86,
        CSIDL_PROGRAM_FILES_COMMON,
        CSIDL_PROGRAM_FILES_COMMONX86,
        CSIDL_FONTS,
        CSIDL_RESOURCES,
    };
    for (const int folder : kFolders) {
        wchar_t path[MAX_PATH] = {};
        if (SUCCEEDED(SHGetFolderPathW(nullptr, folder, token, SHGFP_TYPE_CURRENT, path))) Add(list, path);
    }
}

// Well-known folders of a profile, relative to the profile folder: what Windows (and Wine) makes in every
// profile. Other users' folders are not known to the shell of this process, so these names stand for them.
constexpr const wchar_t* kProfileFolders[] = {
    L"Desktop",
    L"Documents",
    L"Downloads",
    L"Music",
    L"Pictures",
    L"Videos",
    L"Favorites",
    L"Links",
    L"Contacts",
    L"Searches",
    L"Saved Games",
    L"OneDrive",
    L"Templates",
    L"AppData",
    L"AppData\\Local",
    L"AppData\\LocalLow",
    L"AppData\\Roaming",
    L"AppData\\Local\\Temp",
    L"Temp",
    L"Application Data",
    L"Local Settings",
    L"Local Settings\\Temp",
    L"My Documents",
    L"Start Menu",
    L"AppData\\Roaming\\Microsoft\\Windows\\Start Menu",
    L"AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs",
};

// Every profile folder the machine lists, the folder that holds them, and the shared ones.
void AddProfiles(std::vector<std::wstring>& list) {
    static const wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    std::vector<std::wstring> profiles;
    for (const wchar_t* name : {L"ProfilesDirectory", L"Default", L"Public", L"AllUsersProfile"}) {
        std::wstring value = StringValue(key.get(), nullptr, name);
        // "AllUsersProfile" of older systems is a name inside the profiles folder.
        if (!value.empty() && value.find(L'\\') == std::wstring::npos) {
            value = StringValue(key.get(), nullptr, L"ProfilesDirectory") + L"\\" + value;
        }
        if (!value.empty()) profiles.push_back(value);
    }
    for (DWORD index = 0;; ++index) {
        wchar_t sid[256] = {};
        DWORD length = 256;
        const LONG result = RegEnumKeyExW(key.get(), index, sid, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) continue;
        std::wstring image = StringValue(key.get(), sid, L"ProfileImagePath");
        if (!image.empty()) profiles.push_back(image);
    }
    for (const std::wstring& profile : profiles) {
        Add(list, profile);
        for (const wchar_t* relative : kProfileFolders) Add(list, profile + L"\\" + relative);
    }
}

ProtectedFolders Collect() {
    ProtectedFolders folders;
    wchar_t path[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryW(path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) Add(folders.system, path);
    length = GetSystemWindowsDirectoryW(path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) Add(folders.system, path);
    length = GetSystemDirectoryW(path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) Add(folders.system, path);
    length = GetSystemWow64DirectoryW(path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) Add(folders.system, path);
    for (const wchar_t* name : {L"SystemRoot", L"windir"}) Add(folders.system, Environment(name));

    AddShellFolders(folders.other, nullptr);
    tavo::ScopedToken activeUser(CTavoCallProcess::VlrTavoGetActiveUserToken());
    if (activeUser) AddShellFolders(folders.other, activeUser.get());
    AddProfiles(folders.other);
    // The 64-bit Program Files folder is not what the shell tells a 32-bit program; the registry's 64-bit
    // view and the environment of a WoW64 process name it.
    static const wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersion, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) ==
        ERROR_SUCCESS) {
        for (const wchar_t* name : {L"ProgramFilesDir", L"ProgramFilesDir (x86)", L"ProgramW6432Dir",
                                    L"CommonFilesDir", L"CommonFilesDir (x86)", L"CommonW6432Dir"}) {
            Add(folders.other, StringValue(key.get(), nullptr, name));
        }
    }
    for (const wchar_t* name :
         {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432", L"ProgramData", L"ALLUSERSPROFILE",
          L"PUBLIC", L"USERPROFILE", L"APPDATA", L"LOCALAPPDATA", L"TEMP", L"TMP", L"CommonProgramFiles",
          L"CommonProgramFiles(x86)", L"CommonProgramW6432"}) {
        Add(folders.other, Environment(name));
    }
    length = GetTempPathW(MAX_PATH, path);
    if (length > 0 && length < MAX_PATH) Add(folders.other, path);
    return folders;
}

// The path the system reaches when it opens `path`, through every link on the way; empty when unknown.
std::wstring FinalPath(const std::wstring& path) {
    tavo::ScopedHandle folder(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) return {};
    wchar_t final[MAX_PATH + 8] = {};
    const DWORD length = GetFinalPathNameByHandleW(folder.get(), final, MAX_PATH + 8, VOLUME_NAME_DOS);
    if (length == 0 || length >= MAX_PATH + 8) return {};
    std::wstring result = final;
    if (result.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + result.substr(8);
    if (result.rfind(L"\\\\?\\", 0) == 0) result = result.substr(4);
    return result;
}

FolderVerdict JudgeNormalized(const std::wstring& path, const ProtectedFolders& folders) {
    if (path.rfind(L"\\\\", 0) == 0) return FolderVerdict::kNetworkPath;
    if (path.size() < 3 || path[1] != L':' || path[2] != L'\\') return FolderVerdict::kNotAbsoluteLocal;
    if (path.size() == 3) return FolderVerdict::kDriveRoot;
    const std::wstring root = path.substr(0, 3);
    const UINT driveType = GetDriveTypeW(root.c_str());
    if (driveType == DRIVE_REMOTE) return FolderVerdict::kNetworkPath;
    if (driveType == DRIVE_NO_ROOT_DIR || driveType == DRIVE_UNKNOWN) return FolderVerdict::kNotAbsoluteLocal;
    for (const std::wstring& system : folders.system) {
        if (SamePath(path, system) || IsInside(path, system) || IsInside(system, path)) {
            return FolderVerdict::kSystemFolder;
        }
    }
    for (const std::wstring& other : folders.other) {
        if (SamePath(path, other) || IsInside(other, path)) return FolderVerdict::kProtectedFolder;
    }
    return FolderVerdict::kDeletable;
}

}  // namespace

FolderVerdict JudgeFolderForDeletion(const wchar_t* path) {
    try {
        if (!path || !*path) return FolderVerdict::kNotAbsoluteLocal;
        const std::wstring given = path;
        // Only "X:\..." and "\\..." are absolute: "X:name" and "\name" depend on the current folder.
        for (const wchar_t* device : {L"\\\\?\\", L"\\\\.\\", L"//?/", L"//./"}) {
            if (given.rfind(device, 0) == 0) return FolderVerdict::kNotAbsoluteLocal;
        }
        if (given.rfind(L"\\\\", 0) == 0 || given.rfind(L"//", 0) == 0) return FolderVerdict::kNetworkPath;
        const bool drivePath =
            given.size() >= 3 && given[1] == L':' && (given[2] == L'\\' || given[2] == L'/') &&
            ((given[0] >= L'A' && given[0] <= L'Z') || (given[0] >= L'a' && given[0] <= L'z'));
        if (!drivePath || given.size() >= MAX_PATH) return FolderVerdict::kNotAbsoluteLocal;
        const std::wstring normalized = Normalized(given);
        if (normalized.empty()) return FolderVerdict::kNotAbsoluteLocal;

        const ProtectedFolders folders = Collect();
        const FolderVerdict verdict = JudgeNormalized(normalized, folders);
        if (verdict != FolderVerdict::kDeletable) return verdict;

        const DWORD attributes = GetFileAttributesW(normalized.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                       ? FolderVerdict::kMissing
                       : FolderVerdict::kNotAFolder;
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FolderVerdict::kLink;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return FolderVerdict::kNotAFolder;
        // A link above the folder may lead it somewhere else: judge where it really is, too.
        const std::wstring final = Normalized(FinalPath(normalized));
        if (!final.empty() && !SamePath(final, normalized)) return JudgeNormalized(final, folders);
        return FolderVerdict::kDeletable;
    } catch (...) {
        return FolderVerdict::kNotAbsoluteLocal;
    }
}

const wchar_t* FolderVerdictText(FolderVerdict verdict) {
    switch (verdict) {
        case FolderVerdict::kDeletable:
            return L"a folder that may be deleted";
        case FolderVerdict::kMissing:
            return L"not there";
        case FolderVerdict::kNotAbsoluteLocal:
            return L"not an absolute local path";
        case FolderVerdict::kNetworkPath:
            return L"a network path";
        case FolderVerdict::kNotAFolder:
            return L"not a folder";
        case FolderVerdict::kLink:
            return L"a link (junction, symbolic link or mount point)";
        case FolderVerdict::kDriveRoot:
            return L"a drive root";
        case FolderVerdict::kSystemFolder:
            return L"the Windows folder, a system folder, or a folder inside or above one";
        case FolderVerdict::kProtectedFolder:
            return L"a folder of Windows or of its users (Program Files, ProgramData, Users, a user profile "
                   L"or one of its folders, the temporary folder) or a folder above one";
    }
    return L"";
}
