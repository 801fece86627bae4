#include <windows.h>

#include <cwchar>
#include <cwctype>

#include "console/console.h"
#include "install/install.h"
#include "registry/registry.h"
#include "steps/registry_cleanup.h"
#include "support/scoped.h"

namespace {

constexpr DWORD kKeyPathChars = 520;
constexpr DWORD kValueNameChars = 260;
constexpr wchar_t kUninstallList[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr wchar_t kMachineInstallerData[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\";

struct InstallerRoot {
    HKEY root;
    const wchar_t* name;
    const wchar_t* installerKey;
    bool inCleanupView;  // RegistryViewFlag joins the access mask
};

// In this order.
const InstallerRoot kInstallerRoots[] = {
    {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", L"SOFTWARE\\Microsoft\\Installer\\", false},
    {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", L"SOFTWARE\\Classes\\Installer\\", true},
    {HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT", L"Installer\\", true},
};

// True when `subkey` under `parent` was a registry link (which leads elsewhere), now removed.
bool RemovedAsLink(HKEY parent, LPCWSTR subkey, DWORD view) {
    LONG ignored = ERROR_SUCCESS;
    return RemoveRegLinkIfLink(parent, subkey, view, &ignored);
}

// The product codes the machine's own upgrade key lists (only administrators can write it), read before
// anything is deleted. A code that only a user-writable list names (the per-user installer key, or the
// classes root, which merges in the user's own classes) may be anybody's: it leads to no machine record.
class MachineCodes {
  public:
    explicit MachineCodes(LPCWSTR upgradeKey) {
        wchar_t path[kKeyPathChars] = {};
        if (swprintf(path, kKeyPathChars, L"%ls%ls", kInstallerRoots[1].installerKey, upgradeKey) <= 0)
            return;
        tavo::ScopedRegKey machine;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | RegistryViewFlag, machine.put()) !=
            ERROR_SUCCESS)
            return;
        for (DWORD index = 0; m_count < kMaxCodes; ++index) {
            wchar_t code[kValueNameChars] = {};
            DWORD length = kValueNameChars;
            const LONG found =
                RegEnumValueW(machine.get(), index, code, &length, nullptr, nullptr, nullptr, nullptr);
            if (found == ERROR_MORE_DATA) continue;
            if (found != ERROR_SUCCESS) break;
            if (IsPackedCode(code)) wcscpy(m_codes[m_count++], code);
        }
    }
    bool Lists(LPCWSTR code) const { return Find(code) >= 0; }
    // Whether the product's components have been looked for in this cleanup (by an earlier root).
    bool ComponentsCleaned(LPCWSTR code) const {
        const int at = Find(code);
        return at >= 0 && m_cleaned[at];
    }
    void SetComponentsCleaned(LPCWSTR code, bool cleaned) {
        const int at = Find(code);
        if (at >= 0) m_cleaned[at] = cleaned;
    }

  private:
    int Find(LPCWSTR code) const {
        for (int i = 0; i < m_count; ++i) {
            if (_wcsicmp(m_codes[i], code) == 0) return i;
        }
        return -1;
    }

    static constexpr int kMaxCodes = 64;
    wchar_t m_codes[kMaxCodes][33] = {};
    bool m_cleaned[kMaxCodes] = {};
    int m_count = 0;
};

// The products registered under the upgrade key, and the upgrade key itself. A link in the upgrade key's
// place names someone else's products: it is removed and not read.
void CleanupInstallerRoot(const InstallerRoot& entry, LPCWSTR upgradeKey, MachineCodes& machineCodes) {
    ConsoleLine(entry.name);
    ConsoleLine(entry.installerKey);
    const DWORD access = KEY_ALL_ACCESS | (entry.inCleanupView ? RegistryViewFlag : 0);
    const DWORD view = access & (KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    tavo::ScopedRegKey installer;
    if (RegOpenKeyExW(entry.root, entry.installerKey, 0, access, installer.put()) != ERROR_SUCCESS) return;
    if (RemovedAsLink(installer.get(), upgradeKey, view)) return;

    wchar_t upgradePath[kKeyPathChars] = {};
    tavo::ScopedRegKey upgrade;
    if (swprintf(upgradePath, kKeyPathChars, L"%ls%ls", entry.installerKey, upgradeKey) > 0 &&
        RegOpenKeyExW(entry.root, upgradePath, 0, access, upgrade.put()) == ERROR_SUCCESS) {
        for (DWORD index = 0;; ++index) {
            wchar_t code[kValueNameChars] = {};
            DWORD length = kValueNameChars;
            // A longer name is no product code; the values behind it are still read.
            const LONG found =
                RegEnumValueW(upgrade.get(), index, code, &length, nullptr, nullptr, nullptr, nullptr);
            if (found == ERROR_MORE_DATA) continue;
            if (found != ERROR_SUCCESS) break;
            // Only a packed code names a product; any other name (the default value's empty one, a
            // path) would name keys that are not a product's.
            if (!IsPackedCode(code)) continue;
            const bool vouched = entry.root == HKEY_LOCAL_MACHINE || machineCodes.Lists(code);
            // Unvouched, only the user's own per-user records go.
            if (!vouched && entry.root != HKEY_CURRENT_USER) continue;
            DeleteProductRecords(installer.get(), code);
            machineCodes.SetComponentsCleaned(
                code,
                DeleteMsiUninstallEntry(entry.root, code, vouched, machineCodes.ComponentsCleaned(code)));
        }
        upgrade.reset();
    }
    // It holds values only.
    RegDeleteKeyW(installer.get(), upgradeKey);
}

}  // namespace

bool IsPackedCode(LPCWSTR code) {
    if (!code) return false;
    size_t count = 0;
    for (; code[count]; ++count) {
        if (count == 32 || !iswxdigit(code[count])) return false;
    }
    return count == 32;
}

BOOL UnpackProductCode(LPCWSTR packed, LPWSTR guid) {
    if (!guid) return FALSE;
    guid[0] = L'\0';
    if (!IsPackedCode(packed)) return FALSE;
    static constexpr int kOrder[32] = {7,  6,  5,  4,  3,  2,  1,  0,  11, 10, 9,  8,  15, 14, 13, 12,
                                       17, 16, 19, 18, 21, 20, 23, 22, 25, 24, 27, 26, 29, 28, 31, 30};
    int out = 0;
    guid[out++] = L'{';
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) guid[out++] = L'-';
        guid[out++] = packed[kOrder[i]];
    }
    guid[out++] = L'}';
    guid[out] = L'\0';
    return TRUE;
}

void CleanupMsiRegistry(LPCWSTR upgradeKey) {
    MachineCodes machineCodes(upgradeKey);
    for (const InstallerRoot& entry : kInstallerRoots) CleanupInstallerRoot(entry, upgradeKey, machineCodes);

    ConsoleLine(L"HKEY_LOCAL_MACHINE");
    ConsoleLine(kMachineInstallerData);
    tavo::ScopedRegKey machineData;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineInstallerData, 0, RegistryViewFlag | KEY_ALL_ACCESS,
                      machineData.put()) == ERROR_SUCCESS) {
        DeleteRegTree(machineData.get(), upgradeKey);
    }
    machineData.reset();
    DeleteSuiteUninstallKey();
}

void DeleteProductRecords(HKEY installerKey, LPCWSTR packedCode) {
    if (!IsPackedCode(packedCode)) return;
    for (const wchar_t* list : {L"Products", L"Features"}) {
        tavo::ScopedRegKey key;
        if (RegOpenKeyExW(installerKey, list, 0, RegistryViewFlag | KEY_ALL_ACCESS, key.put()) ==
            ERROR_SUCCESS)
            DeleteRegTree(key.get(), packedCode);
    }
}

bool DeleteMsiUninstallEntry(HKEY root, LPCWSTR packedCode, bool machineRecords, bool componentsCleaned) {
    if (!IsPackedCode(packedCode)) return componentsCleaned;
    if (machineRecords)
        componentsCleaned = DeleteUserDataRecords(kInstallerUserData, packedCode, componentsCleaned);
    wchar_t guid[MAX_PATH] = {};
    UnpackProductCode(packedCode, guid);

    ConsoleLine(kUninstallList);
    tavo::ScopedRegKey list;
    if (RegOpenKeyExW(root, kUninstallList, 0, RegistryViewFlag | KEY_ALL_ACCESS, list.put()) !=
        ERROR_SUCCESS)
        return componentsCleaned;
    wchar_t entry[kKeyPathChars] = {};
    if (swprintf(entry, kKeyPathChars, L"%ls\\%ls", kUninstallList, guid) > 0) DeleteRegTree(root, entry);
    return componentsCleaned;
}

void DeleteSuiteUninstallKey() {
    const LONG result = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSuiteUninstallKey, KEY_WOW64_64KEY, 0);
    if (result == ERROR_SUCCESS) return;
    wchar_t line[kKeyPathChars] = {};
    swprintf(line, kKeyPathChars, L"RegDeleteKeyEx failed,%ls,%ld", kSuiteUninstallKey, result);
    ConsoleLine(line);
}
