#include <windows.h>

#include "console/console.h"
#include "install/install.h"
#include "registry/registry.h"
#include "steps/registry_cleanup.h"
#include "steps/steps.h"
#include "support/scoped.h"

namespace {

// Relative to a "Software" key.
constexpr const wchar_t* kClientKeys[] = {L"Velnor\\Plugins", L"Velnor_Outlook", L"Velnor_Notes"};

struct LeftoverValue {
    const wchar_t* key;
    const wchar_t* value;
};
constexpr LeftoverValue kLeftoverValues[] = {
    {L"SOFTWARE\\Microsoft\\Internet Explorer\\Toolbar", L"{6D1F3A58-E2C7-4b09-8D4E-F1A2B7C93E06}"},
    {L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", L"TAVOIM.exe"},
    {L"SOFTWARE\\Mozilla\\Firefox\\Extensions", kFirefoxExtensionId},
};

void DeleteClientKeysUnder(LPCWSTR software) {
    ConsoleLine(L"HKEY_LOCAL_MACHINE");
    ConsoleLine(L"Software");
    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, software, 0, RegistryViewFlag | KEY_ALL_ACCESS, key.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    for (const wchar_t* client : kClientKeys) DeleteRegTree(key.get(), client);
}

}  // namespace

void CleanupRegistries() {
    ConsoleBanner(L"TRY TO CLEANUP THE REGISTRIES OF TAVOKIT.MSI");
    CleanupMsiRegistry(kSuiteUpgradeKey);

    ConsoleBanner(L"TRY TO CLEANUP THE REGISTRIES OF TAVO CLIENT");
    CleanupClientRegistry();
    DeleteLeftoverValues();
    DeleteRecordedRegKey(HKEY_LOCAL_MACHINE, kSuiteUninstallKey, KEY_WOW64_64KEY);
}

void CleanupClientRegistry() {
    // The per-user keys of the client are the user's: they stay.
    ConsoleLine(L"HKEY_CURRENT_USER");
    ConsoleLine(L"Software");
    // On 64-bit Windows (in the 64-bit view) the 32-bit keys, then the 64-bit ones; 32-bit Windows has no
    // "Wow6432Node".
    DeleteClientKeysUnder(L"SOFTWARE\\Wow6432Node");
    DeleteClientKeysUnder(L"SOFTWARE");
}

void DeleteLeftoverValues() {
    for (const LeftoverValue& leftover : kLeftoverValues) {
        tavo::ScopedRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, leftover.key, 0, RegistryViewFlag | KEY_ALL_ACCESS,
                          key.put()) == ERROR_SUCCESS) {
            RecordValueDeletion(key.get(), leftover.value, RegDeleteValueW(key.get(), leftover.value));
        }
    }
}
