// The pieces of CleanupRegistries: the Windows Installer records of every product registered under the
// suite's upgrade code, the client's keys, leftover values and the suite's uninstall entry. All of it is
// direct registry editing in the cleanup's view (RegistryViewFlag), and every key path is printed on the
// console as it is worked on. Failures are silent unless said otherwise.
#pragma once

#include <windows.h>

// The suite's upgrade code {D70F12C8-A9E4-65B3-210D-7E4F6A3B9C18} in the installer's packed form, as the
// key under an installer key that lists the products installed with it.
constexpr wchar_t kSuiteUpgradeKey[] = L"UpgradeCodes\\8C21F07D4E9A3B5612D0E7F4A6B3C981";
constexpr wchar_t kInstallerUserData[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";
constexpr wchar_t kSuiteUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneVelnorMeetingsPlugins";
// The identifier under which the suite's installer registers its Firefox add-in: the value name in
// HKLM\SOFTWARE\Mozilla\Firefox\Extensions.
constexpr wchar_t kFirefoxExtensionId[] = L"tavosuite@orvanevelnor.com";

// For each installer root (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, in this order): the
// records of every product listed under `upgradeKey`, then that upgrade key; then the upgrade key under
// the machine's installer data, and the suite's uninstall entry (DeleteSuiteUninstallKey).
void CleanupMsiRegistry(LPCWSTR upgradeKey);

// The product's "Products" and "Features" keys under an open installer key.
void DeleteProductRecords(HKEY installerKey, LPCWSTR packedCode);

// The product's UserData records (every user; only when `machineRecords`), then its entry in the
// uninstall list under `root`. Returns what DeleteUserDataRecords returned (else `componentsCleaned`).
bool DeleteMsiUninstallEntry(HKEY root, LPCWSTR packedCode, bool machineRecords = true,
                             bool componentsCleaned = false);

// For every user SID under `userDataKey` (a path under HKEY_LOCAL_MACHINE): what the installer's cache
// folder keeps of the product (DeleteInstallerCache), the product's key under the user's "Products", and its
// components, as DeleteComponentsOfProduct finds them, LocalSystem's once for all SIDs. The components
// are found from the product's own records, read before anything is deleted; without them, every
// component key is asked for the product's value, unless `componentsCleaned` says that an earlier pass of
// the same cleanup has done that for this product already. True when the components were looked for.
bool DeleteUserDataRecords(LPCWSTR userDataKey, LPCWSTR packedCode, bool componentsCleaned = false);

// What Windows Installer keeps of the product in its cache folder (%SystemRoot%\Installer, itself no link),
// each path printed before it goes: the cached copy of the package that "LocalPackage" under
// `products`\<packedCode>\InstallProperties names (neither key a registry link), only when it is a plain
// file directly in that folder whose name ends in ".msi"; and the plain files directly in the folder named
// by the product code (the product's icons), then that folder when it is empty.
void DeleteInstallerCache(HKEY products, LPCWSTR packedCode);

// The product's components: those of LocalSystem, or the user's own when those do not open. Only the
// components that the product's per-feature lists under any user's "Products\<code>\Features" name are
// visited; when no such list is left (or one cannot be read as one), every component key. A component
// that carries the product's value and only that is deleted; one that other products share loses only the
// product's value. A component that does not open is passed.
void DeleteComponentsOfProduct(LPCWSTR sid, LPCWSTR packedCode);

// True for exactly 32 hexadecimal digits: the only value names the cleanup takes as product codes.
bool IsPackedCode(LPCWSTR code);

// The packed code as a braced GUID ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}") in `guid` (260 characters).
// FALSE, with an empty `guid`, for anything but a packed code.
BOOL UnpackProductCode(LPCWSTR packed, LPWSTR guid);

// Deletes the suite's uninstall entry in the 64-bit view; on failure the console line
// "RegDeleteKeyEx failed,<key path>,<error number>".
void DeleteSuiteUninstallKey();

// The client's keys ("Velnor\Plugins", "Velnor_Outlook", "Velnor_Notes") under HKLM "SOFTWARE\Wow6432Node"
// and "SOFTWARE"; the per-user ones under HKCU\Software are kept.
void CleanupClientRegistry();

// The browser toolbar, start-up and Firefox add-in values under HKEY_LOCAL_MACHINE; their keys stay.
void DeleteLeftoverValues();

// Prints `subkey`, then deletes it under `parent` with everything beneath it: opened in the cleanup's view,
// else in the process's own view, and deleted in the view it was opened in. A registry link met on the way
// is deleted itself, never followed. Each level empties its key for at most 20 s; what is left then stays.
// Returns the Win32 result of the final deletion: 0 also for no parent, no or an empty subkey, and a key
// that is not there; the open's error for a key that does not open.
LONG DeleteRegTree(HKEY parent, LPCWSTR subkey);
