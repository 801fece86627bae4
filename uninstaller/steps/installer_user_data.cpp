#include <windows.h>

#include <cwchar>

#include "console/console.h"
#include "install/install.h"
#include "steps/registry_cleanup.h"
#include "support/scoped.h"

namespace {

constexpr DWORD kKeyPathChars = 520;
constexpr DWORD kSidChars = 256;
constexpr DWORD kNameChars = 260;
constexpr DWORD kValuesExamined = 100;
constexpr wchar_t kLocalSystemComponents[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components";

enum class Component { kNotOurs, kDeleted, kKept };

// A component the product uses: its value for the product goes. The key goes with it when nothing else is
// left in it; a component that other products share keeps their values (and the key).
Component CleanupComponent(HKEY components, LPCWSTR name, LPCWSTR packedCode) {
    tavo::ScopedRegKey component;
    if (RegOpenKeyExW(components, name, 0, RegistryViewFlag | KEY_ALL_ACCESS, component.put()) !=
        ERROR_SUCCESS)
        return Component::kNotOurs;
    bool ours = false;
    for (DWORD index = 0; index < kValuesExamined && !ours; ++index) {
        wchar_t value[kNameChars] = {};
        DWORD length = kNameChars;
        const LONG found =
            RegEnumValueW(component.get(), index, value, &length, nullptr, nullptr, nullptr, nullptr);
        if (found == ERROR_MORE_DATA) continue;  // a longer name is not the product's
        if (found != ERROR_SUCCESS) break;
        ours = _wcsicmp(value, packedCode) == 0;
    }
    if (!ours) return Component::kNotOurs;
    DWORD values = 0;
    if (RegQueryInfoKeyW(component.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        values > 1) {
        RecordValueDeletion(component.get(), packedCode, RegDeleteValueW(component.get(), packedCode));
        return Component::kKept;
    }
    component.reset();
    return DeleteRegTree(components, name) == ERROR_SUCCESS ? Component::kDeleted : Component::kKept;
}

}  // namespace

void DeleteUserDataRecords(LPCWSTR userDataKey, LPCWSTR packedCode) {
    if (!userDataKey || !IsPackedCode(packedCode)) return;
    tavo::ScopedRegKey userData;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, userDataKey, 0, RegistryViewFlag | KEY_ALL_ACCESS,
                      userData.put()) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t sid[kSidChars] = {};
        DWORD length = kSidChars;
        if (RegEnumKeyExW(userData.get(), index, sid, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        wchar_t products[kKeyPathChars] = {};
        if (swprintf(products, kKeyPathChars, L"%ls\\%ls\\Products", userDataKey, sid) < 0) continue;
        ConsoleLine(L"HKEY_LOCAL_MACHINE");
        ConsoleLine(products);
        tavo::ScopedRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, products, 0, RegistryViewFlag | KEY_ALL_ACCESS, key.put()) ==
            ERROR_SUCCESS) {
            DeleteInstallerCache(key.get(), packedCode);
            DeleteRegTree(key.get(), packedCode);
        }
        key.reset();
        DeleteComponentsOfProduct(sid, packedCode);
    }
}

void DeleteComponentsOfProduct(LPCWSTR sid, LPCWSTR packedCode) {
    if (!sid || !IsPackedCode(packedCode)) return;
    wchar_t ownComponents[kKeyPathChars] = {};
    if (swprintf(ownComponents, kKeyPathChars, L"%ls\\%ls\\Components", kInstallerUserData, sid) < 0) return;
    ConsoleLine(L"HKEY_LOCAL_MACHINE");
    ConsoleLine(ownComponents);

    // The machine's components (LocalSystem's) are where a per-machine package keeps them; the user's own
    // only when those cannot be opened.
    tavo::ScopedRegKey components;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLocalSystemComponents, 0, RegistryViewFlag | KEY_ALL_ACCESS,
                      components.put()) != ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, ownComponents, 0, RegistryViewFlag | KEY_ALL_ACCESS,
                      components.put()) != ERROR_SUCCESS) {
        return;
    }
    DWORD index = 0;
    for (;;) {
        wchar_t name[kNameChars] = {};
        DWORD length = kNameChars;
        if (RegEnumKeyExW(components.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        // A deleted component's place is taken by the next one, which is examined at the same index. Any
        // other component (also one that does not open) is passed.
        if (CleanupComponent(components.get(), name, packedCode) != Component::kDeleted) ++index;
    }
}
