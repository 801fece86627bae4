// Where a user's Programs folder lies, as that user's hive says, held to the user's own profile folder.
#include <windows.h>

#include <string>

#include "registry/registry.h"
#include "steps/every_user.h"
#include "support/scoped.h"

namespace {

constexpr wchar_t kUserShellFolders[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t kDefaultAppData[] = L"\\AppData\\Roaming";
constexpr wchar_t kProgramsUnderAppData[] = L"\\Microsoft\\Windows\\Start Menu\\Programs";
constexpr DWORD kValueChars = 1024;

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// A string value (REG_SZ or REG_EXPAND_SZ) as stored, unexpanded; empty when absent or of another type.
std::wstring ReadFolderValue(HKEY key, const wchar_t* name) {
    if (!key) return {};
    wchar_t text[kValueChars] = {};
    DWORD type = REG_NONE, bytes = sizeof(text) - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return {};
    }
    return text;
}

// `text` with %USERPROFILE% and (when known) %APPDATA% replaced, letter case aside. False for any other
// reference: this process's own environment is not the user's.
bool ExpandUserReferences(const std::wstring& text, const std::wstring& profile, const std::wstring& appData,
                          std::wstring& out) {
    out.clear();
    for (size_t at = 0; at < text.size();) {
        const size_t open = text.find(L'%', at);
        if (open == std::wstring::npos) {
            out += text.substr(at);
            break;
        }
        const size_t close = text.find(L'%', open + 1);
        if (close == std::wstring::npos) return false;
        out += text.substr(at, open - at);
        const std::wstring name = text.substr(open + 1, close - open - 1);
        if (EqualNoCase(name, L"USERPROFILE"))
            out += profile;
        else if (EqualNoCase(name, L"APPDATA") && !appData.empty())
            out += appData;
        else
            return false;
        at = close + 1;
    }
    return true;
}

// A plain local path: "X:\..." and none of the characters the file functions read as patterns or devices.
bool IsPlainLocalPath(const std::wstring& path) {
    if (path.size() < 3 || path.size() >= MAX_PATH || path[1] != L':' || path[2] != L'\\') return false;
    const wchar_t drive = path[0];
    if (!((drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z'))) return false;
    return path.find_first_of(L"*?\"<>|", 0) == std::wstring::npos &&
           path.find(L':', 2) == std::wstring::npos;
}

// The attributes as the folder's listing shows them (which shows a link as one).
DWORD ListedAttributes(const std::wstring& path) {
    WIN32_FIND_DATAW found = {};
    tavo::ScopedFindHandle find(FindFirstFileW(path.c_str(), &found));
    return find ? found.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

ProgramsFolder Judge(const std::wstring& profile, const std::wstring& candidate) {
    ProgramsFolder result;
    result.path = candidate;
    if (!IsPlainLocalPath(candidate)) {
        result.verdict = ProgramsFolderVerdict::kOutsideProfile;
        return result;
    }
    // "." and ".." resolved, separators made single, as the file functions would read the path.
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(candidate.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        result.verdict = ProgramsFolderVerdict::kOutsideProfile;
        return result;
    }
    result.path = full;
    while (result.path.size() > 3 && result.path.back() == L'\\') result.path.pop_back();
    const std::wstring base = profile + L"\\";
    if (result.path.size() <= base.size() || !EqualNoCase(result.path.substr(0, base.size()), base)) {
        result.verdict = ProgramsFolderVerdict::kOutsideProfile;
        return result;
    }
    // Every folder from the profile down to the Programs folder, each as its parent lists it.
    for (size_t end = profile.size();; end = result.path.find(L'\\', end + 1)) {
        const DWORD attributes = ListedAttributes(result.path.substr(0, end));
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            result.verdict = ProgramsFolderVerdict::kMissing;
            return result;
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            result.verdict = ProgramsFolderVerdict::kThroughLink;
            return result;
        }
        if (end == std::wstring::npos) break;
    }
    result.verdict = ProgramsFolderVerdict::kFound;
    return result;
}

}  // namespace

ProgramsFolder UserProgramsFolder(HKEY hive, const std::wstring& profile) {
    try {
        tavo::ScopedRegKey shellFolders;
        if (hive) OpenRegKeyNoLink(hive, kUserShellFolders, KEY_QUERY_VALUE, 0, shellFolders.put());

        std::wstring appData;
        if (!ExpandUserReferences(ReadFolderValue(shellFolders.get(), L"AppData"), profile, L"", appData) ||
            appData.empty()) {
            appData = profile + kDefaultAppData;
        }
        const std::wstring stored = ReadFolderValue(shellFolders.get(), L"Programs");
        if (stored.empty()) return Judge(profile, appData + kProgramsUnderAppData);
        std::wstring programs;
        if (!ExpandUserReferences(stored, profile, appData, programs)) {
            ProgramsFolder unusable;
            unusable.verdict = ProgramsFolderVerdict::kOutsideProfile;
            unusable.path = stored;
            return unusable;
        }
        return Judge(profile, programs);
    } catch (...) {
        return {};
    }
}
