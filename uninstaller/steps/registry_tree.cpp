#include <windows.h>

#include "console/console.h"
#include "install/install.h"
#include "registry/registry.h"
#include "steps/registry_cleanup.h"
#include "support/scoped.h"

namespace {

constexpr DWORD kLevelBudgetMs = 20000;
constexpr DWORD kChildNameChars = 256;

// Opens `subkey` for the deletion: in the cleanup's view, else in the process's own view. A link met in
// either view is removed itself instead (never opened, so never followed): returns true with *result set
// to the removal's result. Otherwise *result is the result of the last open and *view the view the key
// opened in.
bool OpenForDeletion(HKEY parent, LPCWSTR subkey, tavo::ScopedRegKey& key, DWORD* view, LONG* result) {
    for (const DWORD candidate : {RegistryViewFlag, DWORD{0}}) {
        if (RemoveRegLinkIfLink(parent, subkey, candidate, result)) return true;
        *result = RegOpenKeyExW(parent, subkey, 0, KEY_ALL_ACCESS | candidate, key.put());
        if (*result == ERROR_SUCCESS) {
            *view = candidate;
            return false;
        }
    }
    return false;
}

}  // namespace

LONG DeleteRegTree(HKEY parent, LPCWSTR subkey) {
    ConsoleLine(subkey);
    // An empty name would stand for `parent` itself.
    if (!parent || !subkey || !*subkey) return ERROR_SUCCESS;

    tavo::ScopedRegKey key;
    DWORD view = 0;
    LONG result = ERROR_SUCCESS;
    if (OpenForDeletion(parent, subkey, key, &view, &result)) return result;
    // A key that is not there is no failure; one that is there but does not open is: the caller goes on
    // with the next key instead of meeting this one again until its time is up.
    if (!key) return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;

    // Every level has its own budget: a subtree that cannot be emptied in time is left, and the deletion
    // of this key below then fails.
    const DWORD start = GetTickCount();
    DWORD index = 0;
    wchar_t child[kChildNameChars] = {};
    DWORD length = kChildNameChars;
    LONG found = RegEnumKeyExW(key.get(), index, child, &length, nullptr, nullptr, nullptr, nullptr);
    while (found == ERROR_SUCCESS && GetTickCount() - start <= kLevelBudgetMs) {
        // A child that stays moves the next one behind it; one that went leaves the next at its index.
        if (DeleteRegTree(key.get(), child) != ERROR_SUCCESS) ++index;
        length = kChildNameChars;
        found = RegEnumKeyExW(key.get(), index, child, &length, nullptr, nullptr, nullptr, nullptr);
    }
    key.reset();
    // Deleted in the view it was emptied in.
    return RegDeleteKeyExW(parent, subkey, view, 0);
}
