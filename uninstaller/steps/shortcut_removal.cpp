// The suite's Start-menu shortcuts under their names in every language, and the Start-menu folders that
// held them, in the per-user and the all-users Programs folders. Every path looked at is printed.
//
// Inside the suite's own folders ("Orvane Velnor Tavo Suite", also under "Velnor") the suite's names are
// deleted as they are. Directly in a Programs folder the same names ("Help.lnk", "Uninstall.lnk", ...) are
// common to other programs: there a shortcut goes only when it leads to a program of the suite. No folder
// that is a link is looked into.
#include <windows.h>

#include <shlobj.h>

#include <clocale>
#include <string>

#include "console/console.h"
#include "files/files.h"
#include "install/install.h"
#include "outcome/outcome.h"
#include "process/process.h"
#include "shortcut/shortcut.h"
#include "steps/steps.h"
#include "support/scoped.h"

namespace {

struct LanguageRow {
    const char* locale;
    const wchar_t* uninstall;
    const wchar_t* help;
    const wchar_t* settings;
};

constexpr LanguageRow kRows[kShortcutLanguageRows] = {
    {"english", L"Uninstall.lnk", L"Help.lnk", L"喜好設定.lnk"},
    {"chinese-simplified", L"卸载.lnk", L"帮助.lnk", L"Præferencer.lnk"},
    {"chinese", L"解除安裝.lnk", L"說明.lnk", L"Einstellungen.lnk"},
    {"danish", L"Afinstaller.lnk", L"Hjælp.lnk", L"Preferences.lnk"},
    {"dutch", L"Verwijderen.lnk", L"Help.lnk", L"Preferencias.lnk"},
    {"french", L"Désinstaller.lnk", L"Aide.lnk", L"Préférences.lnk"},
    {"german", L"Deinstallieren.lnk", L"Hilfe.lnk", L"Preferenze.lnk"},
    {"italian", L"Disinstalla.lnk", L"Guida.lnk", L"設定.lnk"},
    {"japanese", L"アンインストール.lnk", L"ヘルプ.lnk", L"기본 설정.lnk"},
    {"korean", L"제거하기.lnk", L"도움말.lnk", L"Voorkeuren.lnk"},
    {"portuguese", L"Desinstalar.lnk", L"Ajuda.lnk", L"Preferências.lnk"},
    {"russian", L"Удалить.lnk", L"Справка.lnk", L"Параметры.lnk"},
    {"spanish-mexican", L"Desinstalar.lnk", L"Ayuda.lnk", L"Inställningar.lnk"},
    {"spanish", L"Desinstalar.lnk", L"Ayuda.lnk", L"Tercihler.lnk"},
    {"swedish", L"Avinstallera.lnk", L"Hjälp.lnk", L"首选项.lnk"},
    {"turkish", L"Kaldır.lnk", L"Yardım.lnk", L"Preferencias.lnk"},
    {"english", L"Uninstall.lnk", L"Help.lnk", L"Settings.lnk"},
};

// The suite's programs that its shortcuts lead to, or that it runs.
constexpr const wchar_t* kSuitePrograms[] = {
    L"tavoInst.exe", L"TavoRemover.exe",   L"tavoVlrONI.exe",     L"tavoUpdate.exe",
    L"TAVOIM.exe",   L"velnorservice.exe", L"tavopluginhost.exe",
};

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

bool IsLink(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The install folder of this run (without a trailing backslash); empty when it is unknown or one the
// steps may not act on.
std::wstring InstallFolder() { return RunInstallFolder().TrustedPath(); }

// The shortcut leads to a program of the suite: one in the install folder, or one named as the suite's.
bool LeadsToSuite(const std::wstring& shortcut) {
    ShortcutLink link;
    if (FAILED(CPluginsShortcut::ReadShortcutLink(shortcut.c_str(), link)) || link.target.empty())
        return false;
    const size_t slash = link.target.find_last_of(L"\\/");
    const std::wstring name = slash == std::wstring::npos ? link.target : link.target.substr(slash + 1);
    for (const wchar_t* program : kSuitePrograms) {
        if (EqualNoCase(name, program)) return true;
    }
    const std::wstring install = InstallFolder();
    return install.size() > 3 && link.target.size() > install.size() + 1 &&
           link.target[install.size()] == L'\\' &&
           EqualNoCase(link.target.substr(0, install.size()), install);
}

// Gives `folder` a trailing backslash when it fits; false when it does not.
bool EndWithBackslash(LPWSTR folder) {
    const size_t length = wcslen(folder);
    if (length > 0 && folder[length - 1] == L'\\') return true;
    if (length + 1 >= MAX_PATH) return false;
    folder[length] = L'\\';
    folder[length + 1] = L'\0';
    return true;
}

// Deletes `name` in the held folder (printed as `folder`, which ends in a backslash), looked up relative
// to the folder's handle and deleted through its own: printed, and again after the row's locale is set
// when it is there. TRUE when it was deleted; 0 when it is not there (or the folder is not), is a folder
// or a link, or (with `sharedFolder`) does not lead to a program of the suite.
BOOL DeleteShortcutIn(const tavo::files::HeldFolder& held, const wchar_t* folder, LPCWSTR name, int row,
                      BOOL sharedFolder) {
    const std::wstring path = std::wstring(folder) + name;
    if (path.size() >= MAX_PATH) return 0;
    ConsoleLine(path.c_str());
    if (!held.handle) return 0;
    // Read before it is opened for deletion: the shell reads a shortcut without sharing it for deletion.
    if (sharedFolder && !LeadsToSuite(path)) return 0;
    tavo::ScopedHandle shortcut;
    const DWORD openError = tavo::files::OpenRelative(held.handle.get(), name, false, shortcut);
    if (openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND) return 0;
    DWORD error = openError;
    if (error == ERROR_SUCCESS) {
        const tavo::files::ChildCheck check = tavo::files::CheckChild(shortcut.get(), held.namePath, name);
        if (check.isFolder || check.isLink || !check.inPlace) return 0;
    }
    setlocale(LC_ALL, kRows[row].locale);
    ConsoleLine(path.c_str());
    if (error == ERROR_SUCCESS) error = tavo::files::DeleteThroughHandle(shortcut.get());
    RecordOutcome(ItemKind::kShortcut, path.c_str(),
                  error == ERROR_SUCCESS ? ItemResult::kDeleted : ItemResult::kFailed, error);
    return error == ERROR_SUCCESS;
}

}  // namespace

BOOL DeleteShortcutFile(LPWSTR folder, LPCWSTR name, int row, BOOL sharedFolder) {
    try {
        if (!folder || !name || row < 0 || row >= kShortcutLanguageRows || !EndWithBackslash(folder))
            return 0;
        std::wstring path = folder;
        path.pop_back();
        const tavo::files::HeldFolder held = tavo::files::HoldFolder(path);
        return DeleteShortcutIn(held, folder, name, row, sharedFolder);
    } catch (...) {
        return 0;
    }
}

BOOL DeleteLocalizedShortcuts(LPWSTR folder, BOOL removeFolder, BOOL sharedFolder) {
    try {
        if (!folder || !EndWithBackslash(folder)) return 0;
        std::wstring path = folder;
        path.pop_back();
        // The folder is held from here to its removal: it cannot be renamed or replaced meanwhile, and
        // every name is looked up in it, not by path. A link in its place (or a folder that is not where it
        // was found) leads to someone else's files: it is left alone.
        const tavo::files::HeldFolder held = tavo::files::HoldFolder(path);
        if (held.error == tavo::files::kErrorLinkInTheWay || IsLink(path)) return 0;
        BOOL result = 0;
        for (int row = 0; row < kShortcutLanguageRows; ++row) {
            result = DeleteShortcutIn(held, folder, kRows[row].uninstall, row, sharedFolder);
            result = DeleteShortcutIn(held, folder, kRows[row].help, row, sharedFolder);
            result = DeleteShortcutIn(held, folder, kRows[row].settings, row, sharedFolder);
        }
        if (!removeFolder) return result;
        if (!held.handle) return 0;
        ConsoleLine(folder);
        const DWORD error = tavo::files::DeleteThroughHandle(held.handle.get());
        // A folder that still holds someone else's files stays on purpose.
        if (error != ERROR_DIR_NOT_EMPTY) {
            RecordOutcome(ItemKind::kFolder, path.c_str(),
                          error == ERROR_SUCCESS ? ItemResult::kDeleted : ItemResult::kFailed, error);
        }
        return error == ERROR_SUCCESS;
    } catch (...) {
        return 0;
    }
}

void CleanupProgramsFolder(LPCWSTR programs) {
    try {
        wchar_t folder[MAX_PATH] = {};
        if (!programs || wcslen(programs) >= MAX_PATH) return;
        wcscpy(folder, programs);
        DeleteLocalizedShortcuts(folder, FALSE, TRUE);
        const std::wstring base = folder;  // ends in a backslash now
        const bool velnorIsLink = IsLink(base + L"Velnor");
        for (int row = 0; row < kShortcutLanguageRows; ++row) {
            const std::wstring own = base + kStartMenuFolderName;
            // The suite's folder under "Velnor", joined as "\\Velnor\\" to a path that already ends in a
            // backslash; the file functions take the doubled separator.
            const std::wstring underVelnor = base + L"\\Velnor\\" + kStartMenuFolderName;
            if (own.size() < MAX_PATH) {
                wcscpy(folder, own.c_str());
                DeleteLocalizedShortcuts(folder, TRUE);
            }
            if (underVelnor.size() < MAX_PATH && !velnorIsLink) {
                wcscpy(folder, underVelnor.c_str());
                DeleteLocalizedShortcuts(folder, TRUE);
            }
        }
    } catch (...) {
    }
}

void CleanupShortcuts() {
    try {
        tavo::ScopedToken user(CTavoCallProcess::VlrTavoGetActiveUserToken());
        ConsoleBanner(L"TRY TO CLEANUP TAVO SHORTCUTS");
        for (const int programs : {CSIDL_PROGRAMS, CSIDL_COMMON_PROGRAMS}) {
            wchar_t folder[MAX_PATH] = {};
            if (SUCCEEDED(
                    SHGetFolderPathW(GetActiveWindow(), programs, user.get(), SHGFP_TYPE_DEFAULT, folder))) {
                CleanupProgramsFolder(folder);
            }
        }
    } catch (...) {
    }
}

void CleanupCommonShortcuts() {
    try {
        ConsoleBanner(L"TRY TO CLEANUP TAVO SHORTCUTS");
        LPITEMIDLIST list = nullptr;
        if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_PROGRAMS, &list)) && list) {
            wchar_t folder[MAX_PATH] = {};
            const BOOL found = SHGetPathFromIDListW(list, folder);
            CoTaskMemFree(list);
            if (found) CleanupProgramsFolder(folder);
        }
        CPluginsShortcut::DeleteStartmenuShortcut();
    } catch (...) {
    }
}
