// The suite's Start-menu folder and its five shortcuts in the all-users Programs folder.
#include <shlobj.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "shortcut/shortcut.h"
#include "support/scoped.h"
#include "trace/trace.h"

namespace {

struct ShortcutEntry {
    UINT nameId;
    const wchar_t* defaultName;
    const wchar_t* target;
    const wchar_t* arguments;
    const wchar_t* iconFile;  // null: none
    int iconIndex;
};

// In the order they are created.
constexpr ShortcutEntry kShortcuts[] = {
    {108, L"Help", L"tavoInst.exe", L"/help for tavo suite", L"tavoRes.dll", 2},
    {384, L"Preferences", L"tavoInst.exe", L"/OpenSetting=1", L"tavoRes.dll", 3},
    {3144, L"Uninstall", L"TavoRemover.exe", L"/mauni", nullptr, 0},
    {550, L"Send Problem Report", L"tavovlroni.exe", L"/sendproblemreport", nullptr, 0},
    {107, L"Check for Updates", L"tavoUpdate.exe", L"/ManualCheck 2", nullptr, 0},
};
// The order in which the display names are read from the resource library.
constexpr UINT kReadOrder[] = {107, 550, 384, 108, 3144};

bool CommonProgramsFolder(wchar_t (&folder)[MAX_PATH]) {
    return SHGetSpecialFolderPathW(GetActiveWindow(), folder, CSIDL_COMMON_PROGRAMS, FALSE) != FALSE;
}

std::wstring Joined(const wchar_t* folder, const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    return PathCombineW(path, folder, name) ? std::wstring(path) : std::wstring();
}

// A display name read from a library that someone else may have written becomes a file name: only a
// plain name is taken (no path, no reserved character, not "." or "..").
bool IsPlainFileName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (const wchar_t c : name) {
        if (c < 32 || wcschr(L"\\/:*?\"<>|", c)) return false;
    }
    return true;
}

// The five display names by string id: from the resource library when it loads as data, else the
// defaults.
void ReadDisplayNames(const wchar_t* installPath, std::wstring (&names)[5]) {
    for (size_t i = 0; i < 5; ++i) names[i] = kShortcuts[i].defaultName;
    const std::wstring library = Joined(installPath, L"tavoOI3Res.dll");
    if (library.empty()) return;
    tavo::ScopedLibrary resources(
        LoadLibraryExW(library.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!resources) return;
    for (const UINT id : kReadOrder) {
        wchar_t text[MAX_PATH] = {};
        if (LoadStringW(resources.get(), id, text, MAX_PATH) <= 0 || !IsPlainFileName(text)) continue;
        for (size_t i = 0; i < 5; ++i) {
            if (kShortcuts[i].nameId == id) names[i] = text;
        }
    }
}

constexpr int kDeleteAttempts = 5;
constexpr DWORD kDeletePauseMs = 200;

BOOL DeleteSuiteFolderShortcuts() {
    wchar_t programs[MAX_PATH] = {};
    if (!CommonProgramsFolder(programs)) return FALSE;
    wchar_t folder[MAX_PATH] = {};
    if (!PathCombineW(folder, programs, kStartMenuFolderName)) return FALSE;
    // A link in the suite's place leads to someone else's folder: nothing in it is the suite's.
    const DWORD attributes = GetFileAttributesW(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return FALSE;
    const std::wstring pattern = std::wstring(folder) + L"\\*.lnk";
    if (pattern.size() >= MAX_PATH) return FALSE;
    // The listing is taken whole before anything is deleted: a folder changed under its own listing may
    // be listed incompletely.
    std::vector<std::wstring> shortcuts;
    WIN32_FIND_DATAW entry = {};
    tavo::ScopedFindHandle listing(FindFirstFileW(pattern.c_str(), &entry));
    if (listing) {
        do {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            wchar_t path[MAX_PATH] = {};
            if (PathCombineW(path, folder, entry.cFileName)) shortcuts.push_back(path);
        } while (FindNextFileW(listing.get(), &entry));
    }
    listing.reset();
    // Another program (the shell, an indexer) may hold a shortcut open for a moment: a few tries.
    for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
        bool left = false;
        for (const std::wstring& path : shortcuts) {
            if (!DeleteFileW(path.c_str()) && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
                left = true;
        }
        if (!left) break;
        Sleep(kDeletePauseMs);
    }
    return RemoveDirectoryW(folder);
}

}  // namespace

void CPluginsShortcut::CreateStartmenuShortcut(LPCWSTR lpszInstallPath) {
    if (!lpszInstallPath) return;
    try {
        CAutoFunTrace scope("CPluginsShortcut::CreateStartmenuShortcut",
                            TracePair("lpszInstallPath", lpszInstallPath).get());
        wchar_t programs[MAX_PATH] = {};
        if (!CommonProgramsFolder(programs)) return;
        std::wstring names[5];
        ReadDisplayNames(lpszInstallPath, names);
        const std::wstring folder = Joined(programs, kStartMenuFolderName);
        if (folder.empty()) return;
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            CreateDirectoryW(folder.c_str(), nullptr);
        }
        for (size_t i = 0; i < 5; ++i) {
            const ShortcutEntry& entry = kShortcuts[i];
            const std::wstring shortcut = folder + L"\\" + names[i] + L".lnk";
            if (shortcut.size() >= MAX_PATH ||
                GetFileAttributesW(shortcut.c_str()) != INVALID_FILE_ATTRIBUTES) {
                continue;
            }
            const std::wstring target = Joined(lpszInstallPath, entry.target);
            const std::wstring icon =
                entry.iconFile ? Joined(lpszInstallPath, entry.iconFile) : std::wstring();
            CreateShortcutLink(shortcut.c_str(), target.c_str(), entry.arguments,
                               entry.iconFile ? icon.c_str() : nullptr, entry.iconIndex);
        }
    } catch (...) {
    }
}

BOOL CPluginsShortcut::DeleteStartmenuShortcut() {
    try {
        return DeleteSuiteFolderShortcuts();
    } catch (...) {
        return FALSE;
    }
}
