// The suite's presence in the shell: its Start-menu folder "Orvane Velnor Tavo Suite" in the all-users
// Programs folder with five shortcuts, and its entry in the list of installed programs (the 64-bit view's
// Uninstall key), whose command runs TavoRemover.exe.
//
// The operations keep no state; every failure is silent (a shortcut or value that cannot be made is simply
// missing). They initialise COM on the calling thread for their own use where they need the shell's link
// object, and leave it as they found it.
#pragma once

#include <windows.h>

#include <string>

// The Start-menu folder's name, also the uninstall entry's "DisplayName".
constexpr wchar_t kStartMenuFolderName[] = L"Orvane Velnor Tavo Suite";
// Under HKEY_LOCAL_MACHINE, always in the 64-bit view.
constexpr wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneVelnorMeetingsPlugins";

// What a shortcut file holds, read through the shell's link object.
struct ShortcutLink {
    std::wstring target;
    std::wstring arguments;
    std::wstring iconFile;
    int iconIndex = 0;
};

class CPluginsShortcut {
  public:
    virtual ~CPluginsShortcut() = default;

    // Creates the Start-menu folder and, for each of its five shortcuts that does not exist yet, the
    // shortcut (targets in the install folder). Display names come from the string resources of
    // "tavoOI3Res.dll" in the install folder, loaded as a data file only (none of its code runs), else the
    // defaults "Help", "Preferences", "Uninstall", "Send Problem Report" and "Check for Updates"; a name
    // that is empty or not a plain file name (a path, a reserved character) also falls back to its default.
    // Nothing with a null folder.
    static void CreateStartmenuShortcut(LPCWSTR lpszInstallPath);
    // Writes the uninstall entry: "DisplayIcon", "DisplayName", "Publisher", "DisplayVersion" (only with a
    // version) and "UninstallString" (the quoted path of TavoRemover.exe in the install folder, a blank and
    // "/ManualUninstall"). Nothing with a null folder.
    static void CreateUninstallerReg(LPCWSTR lpszInstallPath, LPCWSTR lpszVersion = nullptr);
    // Deletes every shortcut file ("*.lnk") in the suite's Start-menu folder and then the folder when it is
    // empty. The result of the folder removal; FALSE when the Programs folder is unknown or the suite's
    // folder is a link (left alone).
    static BOOL DeleteStartmenuShortcut();
    // The uninstall entry opens for reading in the 64-bit view.
    static BOOL IsUninstallerRegExist();
    // Writes "DisplayVersion" when a version is given.
    static void UpdateUninstallerRegVersion(LPCWSTR lpszVersion);

    // Saves a shortcut to `lpszTarget` at `lpszShortcutPath` through the shell's link object; arguments and
    // icon file may be null. The HRESULT of the last shell call.
    static HRESULT CreateShortcutLink(LPCWSTR lpszShortcutPath, LPCWSTR lpszTarget, LPCWSTR lpszArguments,
                                      LPCWSTR lpszIconFile, int iIconIndex);
    // Reads a shortcut file through the shell's link object, without resolving it (the target need not
    // exist). S_OK and `link` filled, or the failing HRESULT.
    static HRESULT ReadShortcutLink(LPCWSTR lpszShortcutPath, ShortcutLink& link);
};
