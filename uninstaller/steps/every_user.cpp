// The suite's part of every user profile on the machine, not only the running account's: the product key,
// the per-user installer records of the suite's package and the localized shortcuts in each user's
// Programs folder. A user who is logged on (or whose hive another program holds) is cleaned in the hive
// loaded under HKEY_USERS; any other user's hive file is loaded for the time it is cleaned. Everything in a
// user's hive and profile is the user's to write, so nothing there is followed: registry links are never
// opened through, and the Programs folder must lie inside the profile with no link on the way.
#include <windows.h>

#include <string>
#include <vector>

#include "console/console.h"
#include "outcome/outcome.h"
#include "registry/registry.h"
#include "session/session.h"
#include "steps/every_user.h"
#include "steps/registry_cleanup.h"
#include "steps/steps.h"
#include "support/scoped.h"

namespace {

constexpr wchar_t kStepTitle[] = L"TRY TO CLEANUP TAVO SETTINGS OF EVERY USER";
constexpr wchar_t kMakerKey[] = L"SOFTWARE\\Velnor";
constexpr wchar_t kProductName[] = L"Plugins";
constexpr wchar_t kUserInstallerKey[] = L"SOFTWARE\\Microsoft\\Installer";
constexpr wchar_t kUninstallList[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr DWORD kValueNameChars = 260;

// One user's hive and the name its items are recorded under.
struct UserRegistry {
    HKEY hive;
    std::wstring recordRoot;  // "HKEY_USERS\<SID>", whatever name the hive is loaded under
};

bool KeyThere(HKEY parent, const wchar_t* subkey) {
    tavo::ScopedRegKey key;
    return RegOpenKeyExW(parent, subkey, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

void RecordKey(const UserRegistry& user, const std::wstring& path, LONG result) {
    const std::wstring what = user.recordRoot + L"\\" + path;
    RecordOutcome(ItemKind::kKey, what.c_str(),
                  result == ERROR_SUCCESS ? ItemResult::kDeleted : ItemResult::kFailed,
                  static_cast<DWORD>(result));
}

// "SOFTWARE\Velnor\Plugins" with everything beneath it; the maker's key above stays.
void DeleteProductKey(const UserRegistry& user) {
    tavo::ScopedRegKey maker;
    if (OpenRegKeyNoLink(user.hive, kMakerKey, KEY_ALL_ACCESS, 0, maker.put()) != ERROR_SUCCESS) return;
    if (!KeyThere(maker.get(), kProductName)) return;
    ConsoleLine(kMakerKey);
    DeleteRegTree(maker.get(), kProductName);  // records each key it deletes or leaves
}

// The product codes the user's upgrade key lists (value names of 32 hexadecimal digits only).
std::vector<std::wstring> ListedCodes(HKEY upgradeCodes, const wchar_t* upgrade) {
    std::vector<std::wstring> codes;
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(upgradeCodes, upgrade, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return codes;
    for (DWORD index = 0;; ++index) {
        wchar_t code[kValueNameChars] = {};
        DWORD length = kValueNameChars;
        const LONG found = RegEnumValueW(key.get(), index, code, &length, nullptr, nullptr, nullptr, nullptr);
        if (found == ERROR_MORE_DATA) continue;
        if (found != ERROR_SUCCESS) break;
        if (IsPackedCode(code)) codes.push_back(code);
    }
    return codes;
}

// One product's per-user records: its "Products" and "Features" keys under the user's installer key and its
// entry in the user's uninstall list. The machine's records of the product are the machine cleanup's.
void DeleteUserProduct(const UserRegistry& user, HKEY installer, const std::wstring& code) {
    const std::wstring installerPath = std::wstring(kUserInstallerKey) + L"\\";
    const wchar_t* lists[2] = {L"Products", L"Features"};
    for (int i = 0; i < 2; ++i) {
        // A link in a list's place would lead the deletion into somebody else's records: it goes itself.
        LONG removed = ERROR_SUCCESS;
        if (RemoveRegLinkIfLink(installer, lists[i], 0, &removed))
            RecordKey(user, installerPath + lists[i], removed);
    }
    DeleteProductRecords(installer, code.c_str());  // records each key it deletes or leaves

    wchar_t guid[MAX_PATH] = {};
    tavo::ScopedRegKey uninstall;
    if (!UnpackProductCode(code.c_str(), guid) ||
        OpenRegKeyNoLink(user.hive, kUninstallList, KEY_ALL_ACCESS, 0, uninstall.put()) != ERROR_SUCCESS ||
        !KeyThere(uninstall.get(), guid)) {
        return;
    }
    ConsoleLine(kUninstallList);
    DeleteRegTree(uninstall.get(), guid);  // records each key it deletes or leaves
}

// The per-user installer records of every product the user's copy of the suite's upgrade key lists, then
// that upgrade key. A link in the upgrade key's place is removed and not read.
void DeleteUserInstallerRecords(const UserRegistry& user) {
    tavo::ScopedRegKey installer, upgradeCodes;
    if (OpenRegKeyNoLink(user.hive, kUserInstallerKey, KEY_ALL_ACCESS, 0, installer.put()) != ERROR_SUCCESS)
        return;
    const std::wstring upgradeKey = kSuiteUpgradeKey;  // "UpgradeCodes\<packed upgrade code>"
    const size_t slash = upgradeKey.find(L'\\');
    const std::wstring listName = upgradeKey.substr(0, slash), upgrade = upgradeKey.substr(slash + 1);
    if (OpenRegKeyNoLink(installer.get(), listName.c_str(), KEY_ALL_ACCESS, 0, upgradeCodes.put()) !=
            ERROR_SUCCESS ||
        !KeyThere(upgradeCodes.get(), upgrade.c_str())) {
        return;
    }
    ConsoleLine(kUserInstallerKey);
    const std::wstring upgradePath = std::wstring(kUserInstallerKey) + L"\\" + upgradeKey;
    LONG removed = ERROR_SUCCESS;
    if (RemoveRegLinkIfLink(upgradeCodes.get(), upgrade.c_str(), 0, &removed)) {
        RecordKey(user, upgradePath, removed);
        return;
    }
    for (const std::wstring& code : ListedCodes(upgradeCodes.get(), upgrade.c_str()))
        DeleteUserProduct(user, installer.get(), code);
    // It holds values only.
    ConsoleLine(upgradeKey.c_str());
    RecordKey(user, upgradePath, RegDeleteKeyW(upgradeCodes.get(), upgrade.c_str()));
}

void CleanUserShortcuts(HKEY hive, const ListedProfile& profile, const std::wstring& account) {
    const ProgramsFolder programs = UserProgramsFolder(hive, profile.folder);
    switch (programs.verdict) {
        case ProgramsFolderVerdict::kFound:
            CleanupProgramsFolder(programs.path.c_str());
            break;
        case ProgramsFolderVerdict::kMissing:
            break;
        case ProgramsFolderVerdict::kOutsideProfile:
            ReportLine((L"The Programs folder of " + account +
                        L" is left alone, it lies outside the profile: " + programs.path)
                           .c_str());
            break;
        case ProgramsFolderVerdict::kThroughLink:
            ReportLine((L"The Programs folder of " + account + L" is left alone, a link lies on its way: " +
                        programs.path)
                           .c_str());
            break;
    }
}

void CleanUser(const ListedProfile& profile) {
    const std::wstring account = AccountDisplayName(profile.sid);
    ConsoleLine((L"Cleaning the suite's settings of " + account).c_str());
    CUserHive hive;
    const DWORD opened = hive.Open(profile.sid, profile.folder);
    if (opened != ERROR_SUCCESS) {
        ReportLine((L"The settings of " + account + L" are left, its hive could not be loaded (error " +
                    std::to_wstring(opened) + L"): " + hive.file())
                       .c_str());
        // Without a hive file the profile holds no settings; a hive that is there but cannot be read may.
        if (opened != ERROR_FILE_NOT_FOUND && opened != ERROR_PATH_NOT_FOUND)
            RecordOutcome(ItemKind::kKey, (L"HKEY_USERS\\" + profile.sid).c_str(), ItemResult::kFailed,
                          opened);
        return;
    }
    const UserRegistry user{hive.root(), L"HKEY_USERS\\" + profile.sid};
    {
        // The keys of a hive loaded here are recorded under the user's SID, not the name it is loaded under.
        struct AliasScope {
            AliasScope(const std::wstring& from, const std::wstring& to) {
                if (!from.empty()) SetOutcomeNameAlias((L"HKEY_USERS\\" + from).c_str(), to.c_str());
            }
            ~AliasScope() { SetOutcomeNameAlias(nullptr, nullptr); }
        } alias(hive.loadedName(), user.recordRoot);
        DeleteProductKey(user);
        DeleteUserInstallerRecords(user);
        CleanUserShortcuts(hive.root(), profile, account);
    }
    const DWORD unloaded = hive.Close();
    if (unloaded != ERROR_SUCCESS) {
        ReportLine((L"The hive of " + account + L" could not be unloaded (error " +
                    std::to_wstring(unloaded) + L"): " + hive.file())
                       .c_str());
        RecordOutcome(ItemKind::kKey, (L"HKEY_USERS\\" + profile.sid).c_str(), ItemResult::kFailed, unloaded);
    }
}

}  // namespace

void CleanupEveryUser() {
    ConsoleBanner(kStepTitle);
    try {
        for (const ListedProfile& profile : ListUserProfiles()) {
            try {
                CleanUser(profile);
            } catch (...) {
                // Out of memory inside one user's cleaning: its hive is unloaded; the next user is tried.
            }
        }
    } catch (...) {
    }
}
