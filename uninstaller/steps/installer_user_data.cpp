// The product's records under the installer's UserData key, for every user SID: the product's own key
// there and its components.
//
// A machine keeps one key per component of every package ever installed under LocalSystem's
// "Components" (tens of thousands on a real machine), each with one value per product that uses it. The
// product's components are found from what the installer recorded for the product itself: for every
// feature, the components it installed, under "<SID>\Products\<code>\Features" (a value per feature: the
// components' codes in the installer's compressed form, twenty characters each, then optionally "\x02"
// and the parent feature's name). Only those keys are visited. The lists are read before any record of
// the product is deleted. They decide which keys are looked at, never what goes: a component loses the
// product's value (and, when that was its only one, the key) only when it carries that value.
//
// Only when no user's record of the product is left (or one is not such a list) is every component key
// looked at, once for all SIDs, asking each for the product's value directly.
#include <windows.h>

#include <array>
#include <cwchar>
#include <vector>

#include "console/console.h"
#include "install/install.h"
#include "steps/registry_cleanup.h"
#include "support/scoped.h"

namespace {

constexpr DWORD kKeyPathChars = 520;
constexpr DWORD kSidChars = 256;
constexpr DWORD kNameChars = 260;
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
    if (RegQueryValueExW(component.get(), packedCode, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return Component::kNotOurs;
    DWORD values = 0;
    if (RegQueryInfoKeyW(component.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        values > 1) {
        RegDeleteValueW(component.get(), packedCode);
        return Component::kKept;
    }
    component.reset();
    return DeleteRegTree(components, name) == ERROR_SUCCESS ? Component::kDeleted : Component::kKept;
}

// A component's code as its key is named: 32 hexadecimal digits, the packed form of its GUID.
using PackedName = std::array<wchar_t, 33>;

// The installer's compressed form of a GUID: its four 32-bit words in memory order, each as five digits of
// base 85 (least significant first) from this alphabet.
constexpr wchar_t kBase85[] =
    L"!$%&'()*+,-.0123456789=?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abcdefghijklmnopqrstuvwxyz{}~";
constexpr size_t kCompressedChars = 20;

int Base85Digit(wchar_t c) {
    if (c == L'\0') return -1;
    const wchar_t* at = wcschr(kBase85, c);
    return at ? static_cast<int>(at - kBase85) : -1;
}

// One compressed GUID (20 characters) as the packed name: each byte of the GUID in memory order, low
// digit first. False for anything that is not a compressed GUID.
bool PackedFromCompressed(const wchar_t* text, PackedName& packed) {
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    for (int word = 0; word < 4; ++word) {
        unsigned long long value = 0;
        for (int i = 4; i >= 0; --i) {
            const int digit = Base85Digit(text[word * 5 + i]);
            if (digit < 0) return false;
            value = value * 85 + static_cast<unsigned>(digit);
        }
        if (value > 0xFFFFFFFFull) return false;
        for (int byte = 0; byte < 4; ++byte) {
            const unsigned bits = static_cast<unsigned>(value >> (8 * byte)) & 0xFF;
            packed[word * 8 + byte * 2] = kHex[bits & 0xF];
            packed[word * 8 + byte * 2 + 1] = kHex[bits >> 4];
        }
    }
    packed[32] = L'\0';
    return true;
}

// The product's components as its installer recorded them: `read` when at least one user's record of the
// product was found and every one found was read whole as component lists.
struct RecordedComponents {
    bool read = false;
    std::vector<PackedName> names;
};

// Adds the components that one feature's value names; false when it is not such a list.
bool AddFeatureComponents(const std::vector<wchar_t>& data, DWORD bytes, std::vector<PackedName>& names) {
    size_t chars = bytes / sizeof(wchar_t);
    while (chars > 0 && data[chars - 1] == L'\0') --chars;
    size_t run = 0;
    while (run < chars && Base85Digit(data[run]) >= 0) ++run;
    if (run % kCompressedChars != 0 || (run < chars && data[run] != L'\x02')) return false;
    for (size_t at = 0; at < run; at += kCompressedChars) {
        PackedName name = {};
        if (!PackedFromCompressed(&data[at], name)) return false;
        bool known = false;
        for (const PackedName& other : names) known |= _wcsicmp(other.data(), name.data()) == 0;
        if (!known) names.push_back(name);
    }
    return true;
}

// Every feature's components under one user's "Products\<code>\Features"; false when a value is not a
// component list (or cannot be read).
bool ReadFeatureLists(HKEY features, std::vector<PackedName>& names) {
    DWORD values = 0, longestData = 0;
    if (RegQueryInfoKeyW(features, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    std::vector<wchar_t> data(longestData / sizeof(wchar_t) + 1);
    for (DWORD index = 0; index < values; ++index) {
        wchar_t feature[kNameChars] = {};
        DWORD length = kNameChars, type = 0;
        DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        const LONG found = RegEnumValueW(features, index, feature, &length, nullptr, &type,
                                         reinterpret_cast<BYTE*>(data.data()), &bytes);
        if (found == ERROR_NO_MORE_ITEMS) break;
        if (found != ERROR_SUCCESS || type != REG_SZ || !AddFeatureComponents(data, bytes, names))
            return false;
    }
    return true;
}

// Read before anything of the product is deleted. Nothing here throws: a list that cannot be held counts
// as none, and every component is looked at instead.
RecordedComponents ReadRecordedComponents(LPCWSTR userDataKey, LPCWSTR packedCode) {
    RecordedComponents recorded;
    try {
        tavo::ScopedRegKey userData;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, userDataKey, 0, RegistryViewFlag | KEY_READ, userData.put()) !=
            ERROR_SUCCESS)
            return recorded;
        bool found = false;
        for (DWORD index = 0;; ++index) {
            wchar_t sid[kSidChars] = {};
            DWORD length = kSidChars;
            if (RegEnumKeyExW(userData.get(), index, sid, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            wchar_t path[kKeyPathChars] = {};
            if (swprintf(path, kKeyPathChars, L"%ls\\Products\\%ls\\Features", sid, packedCode) < 0) continue;
            tavo::ScopedRegKey features;
            if (RegOpenKeyExW(userData.get(), path, 0, RegistryViewFlag | KEY_READ, features.put()) !=
                ERROR_SUCCESS)
                continue;
            if (!ReadFeatureLists(features.get(), recorded.names)) return {};
            found = true;
        }
        recorded.read = found && !recorded.names.empty();
    } catch (...) {
        return {};
    }
    return recorded;
}

// The components key of `sid` as the cleanup works on it: LocalSystem's (where a per-machine package keeps
// them) or, only when that does not open, the user's own. Prints the user's path first.
bool OpenComponents(LPCWSTR sid, tavo::ScopedRegKey& components, bool& machine) {
    wchar_t ownComponents[kKeyPathChars] = {};
    if (swprintf(ownComponents, kKeyPathChars, L"%ls\\%ls\\Components", kInstallerUserData, sid) < 0)
        return false;
    ConsoleLine(L"HKEY_LOCAL_MACHINE");
    ConsoleLine(ownComponents);
    machine = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLocalSystemComponents, 0, RegistryViewFlag | KEY_ALL_ACCESS,
                            components.put()) == ERROR_SUCCESS;
    return machine || RegOpenKeyExW(HKEY_LOCAL_MACHINE, ownComponents, 0, RegistryViewFlag | KEY_ALL_ACCESS,
                                    components.put()) == ERROR_SUCCESS;
}

// The recorded components under `components`; without a record, every component there.
void CleanupComponents(HKEY components, const RecordedComponents& recorded, LPCWSTR packedCode) {
    if (recorded.read) {
        for (const PackedName& name : recorded.names) CleanupComponent(components, name.data(), packedCode);
        return;
    }
    DWORD index = 0;
    for (;;) {
        wchar_t name[kNameChars] = {};
        DWORD length = kNameChars;
        if (RegEnumKeyExW(components, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        // A deleted component's place is taken by the next one, which is examined at the same index. Any
        // other component (also one that does not open) is passed.
        if (CleanupComponent(components, name, packedCode) != Component::kDeleted) ++index;
    }
}

}  // namespace

bool DeleteUserDataRecords(LPCWSTR userDataKey, LPCWSTR packedCode, bool componentsCleaned) {
    if (!userDataKey || !IsPackedCode(packedCode)) return componentsCleaned;
    tavo::ScopedRegKey userData;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, userDataKey, 0, RegistryViewFlag | KEY_ALL_ACCESS,
                      userData.put()) != ERROR_SUCCESS) {
        return componentsCleaned;
    }
    const RecordedComponents recorded = ReadRecordedComponents(userDataKey, packedCode);
    // Without a record, a product whose components were cleaned up already has none left.
    const bool cleaned = !recorded.read && componentsCleaned;
    // LocalSystem's components are the same key for every SID: they are cleaned up once.
    bool machineDone = false;
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

        tavo::ScopedRegKey components;
        bool machine = false;
        if (!OpenComponents(sid, components, machine) || cleaned || (machine && machineDone)) continue;
        CleanupComponents(components.get(), recorded, packedCode);
        machineDone |= machine;
    }
    return true;
}

void DeleteComponentsOfProduct(LPCWSTR sid, LPCWSTR packedCode) {
    if (!sid || !IsPackedCode(packedCode)) return;
    const RecordedComponents recorded = ReadRecordedComponents(kInstallerUserData, packedCode);
    tavo::ScopedRegKey components;
    bool machine = false;
    if (OpenComponents(sid, components, machine)) CleanupComponents(components.get(), recorded, packedCode);
}
