#include <windows.h>

#include <cwchar>
#include <string>
#include <utility>

#include "console/console.h"
#include "install/install.h"
#include "registry/registry.h"
#include "steps/registry_cleanup.h"
#include "steps/steps.h"
#include "outcome/outcome.h"
#include "support/proc_address.h"
#include "support/scoped.h"

namespace {

// A predefined root's name; null for any other key.
const wchar_t* RootName(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return L"HKEY_LOCAL_MACHINE";
    if (key == HKEY_CURRENT_USER) return L"HKEY_CURRENT_USER";
    if (key == HKEY_CLASSES_ROOT) return L"HKEY_CLASSES_ROOT";
    if (key == HKEY_USERS) return L"HKEY_USERS";
    return nullptr;
}

// The name the system gives an open key ("\REGISTRY\MACHINE\..."), its root written as the registry
// editor does; empty when the system does not say.
std::wstring OpenKeyName(HKEY key) {
    using NtQueryKeyFunction = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
    constexpr int kKeyNameInformation = 3;
    static const auto ntQueryKey =
        tavo::ProcAddress<NtQueryKeyFunction>(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey");
    if (!ntQueryKey) return L"";
    // ULONG length, then the name's characters.
    alignas(ULONG) BYTE buffer[sizeof(ULONG) + 2048 * sizeof(wchar_t)] = {};
    ULONG needed = 0;
    if (ntQueryKey(key, kKeyNameInformation, buffer, sizeof(buffer), &needed) < 0) return L"";
    const ULONG bytes = *reinterpret_cast<const ULONG*>(buffer);
    if (bytes > sizeof(buffer) - sizeof(ULONG)) return L"";
    std::wstring name(reinterpret_cast<const wchar_t*>(buffer + sizeof(ULONG)), bytes / sizeof(wchar_t));
    for (const auto& [prefix, root] : {std::pair{L"\\REGISTRY\\MACHINE", L"HKEY_LOCAL_MACHINE"},
                                       std::pair{L"\\REGISTRY\\USER", L"HKEY_USERS"}}) {
        const size_t length = wcslen(prefix);
        if (name.size() >= length && _wcsnicmp(name.c_str(), prefix, length) == 0)
            return root + name.substr(length);
    }
    return name;
}

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

std::wstring RegKeyName(HKEY parent, LPCWSTR subkey) {
    try {
        const wchar_t* root = RootName(parent);
        std::wstring name = root ? root : OpenKeyName(parent);
        if (name.empty()) name = L"(key)";
        if (subkey && *subkey) name += std::wstring(L"\\") + subkey;
        return name;
    } catch (...) {
        return L"";
    }
}

void RecordKeyDeletion(HKEY parent, LPCWSTR subkey, LONG result) {
    if (result == ERROR_FILE_NOT_FOUND) return;
    RecordOutcome(ItemKind::kKey, RegKeyName(parent, subkey).c_str(),
                  result == ERROR_SUCCESS ? ItemResult::kDeleted : ItemResult::kFailed,
                  static_cast<DWORD>(result));
}

void DeleteRecordedRegKey(HKEY root, LPCWSTR subkey, DWORD view) {
    if (!root || !subkey || !*subkey) return;
    std::wstring name;
    {
        // Named as it is before it goes (its view shows in the name); not there: nothing to record.
        tavo::ScopedRegKey key;
        if (RegOpenKeyExW(root, subkey, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, key.put()) ==
            ERROR_FILE_NOT_FOUND)
            return;
        try {
            if (key) name = OpenKeyName(key.get());
            if (name.empty()) name = RegKeyName(root, subkey);
        } catch (...) {
        }
    }
    LONG result = ERROR_SUCCESS;
    if (!DeleteRegKey(root, subkey, view)) {
        // The reason the key stays, as a last plain deletion of it gives it.
        result = RegDeleteKeyExW(root, subkey, view, 0);
        if (result == ERROR_FILE_NOT_FOUND) return;
    }
    RecordOutcome(ItemKind::kKey, name.c_str(),
                  result == ERROR_SUCCESS ? ItemResult::kDeleted : ItemResult::kFailed,
                  static_cast<DWORD>(result));
}

void RecordValueDeletion(HKEY key, LPCWSTR value, LONG result) {
    if (result == ERROR_FILE_NOT_FOUND) return;
    std::wstring name;
    try {
        name = RegKeyName(key, nullptr) + L", value " + (value ? value : L"");
    } catch (...) {
    }
    RecordOutcome(ItemKind::kValue, name.c_str(),
                  result == ERROR_SUCCESS ? ItemResult::kDeleted : ItemResult::kFailed,
                  static_cast<DWORD>(result));
}

LONG DeleteRegTree(HKEY parent, LPCWSTR subkey) {
    ConsoleLine(subkey);
    // An empty name would stand for `parent` itself.
    if (!parent || !subkey || !*subkey) return ERROR_SUCCESS;

    tavo::ScopedRegKey key;
    DWORD view = 0;
    LONG result = ERROR_SUCCESS;
    if (OpenForDeletion(parent, subkey, key, &view, &result)) {
        RecordKeyDeletion(parent, subkey, result);
        return result;
    }
    // A key that is not there is no failure; one that is there but does not open is: the caller goes on
    // with the next key instead of meeting this one again until its time is up.
    if (!key) {
        RecordKeyDeletion(parent, subkey, result);
        return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
    }

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
    std::wstring name;
    try {
        name = OpenKeyName(key.get());
    } catch (...) {
    }
    key.reset();
    // Deleted in the view it was emptied in.
    const LONG deleted = RegDeleteKeyExW(parent, subkey, view, 0);
    if (name.empty()) {
        RecordKeyDeletion(parent, subkey, deleted);
    } else {
        RecordOutcome(ItemKind::kKey, name.c_str(),
                      deleted == ERROR_SUCCESS ? ItemResult::kDeleted : ItemResult::kFailed,
                      static_cast<DWORD>(deleted));
    }
    return deleted;
}
