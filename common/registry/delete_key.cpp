#include "registry/registry.h"
#include "support/scoped.h"
#include "support/proc_address.h"

namespace {

constexpr DWORD kDeleteTreeAccess = KEY_READ | KEY_WRITE;  // 0x2001F
constexpr DWORD kNameChars = 2048;

using NtDeleteKeyFunction = LONG(NTAPI*)(HANDLE key);

// A registry link (a key holding a REG_LINK "SymbolicLinkValue") opened normally is its target. Deleting
// through it would empty a key that is not ours, so a link is removed itself, through a handle opened on
// the link. Returns true when `name` is a link; *removed then tells whether it is gone.
bool RemoveIfLink(HKEY parent, LPCWSTR name, DWORD view, BOOL* removed) {
    tavo::ScopedRegKey link;
    if (RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | DELETE | view, link.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    if (RegQueryValueExW(link.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) !=
            ERROR_SUCCESS ||
        type != REG_LINK) {
        return false;
    }
    auto ntDeleteKey = tavo::ProcAddress<NtDeleteKeyFunction>(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey");
    *removed = ntDeleteKey && ntDeleteKey(link.get()) >= 0;
    return true;
}

bool NamesNothing(LPCWSTR subkey) {
    for (; *subkey; ++subkey) {
        if (*subkey != L'\\') return false;
    }
    return true;
}

}  // namespace

BOOL DeleteRegKey(HKEY root, LPCWSTR subkey, DWORD view) {
    // An empty name would open `root` itself and delete everything beneath it.
    if (!root || !subkey || NamesNothing(subkey)) return FALSE;
    BOOL linkRemoved = FALSE;
    if (RemoveIfLink(root, subkey, view, &linkRemoved)) return linkRemoved;

    tavo::ScopedRegKey key;
    if (RegOpenKeyExW(root, subkey, 0, kDeleteTreeAccess | view, key.put()) != ERROR_SUCCESS) return FALSE;
    for (;;) {
        wchar_t child[kNameChars] = {};
        DWORD length = kNameChars;
        if (RegEnumKeyExW(key.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            key.reset();
            return RegDeleteKeyExW(root, subkey, view, 0) == ERROR_SUCCESS;
        }
        // Children are opened relative to the open parent, so they are in the parent's view.
        if (!DeleteRegKey(key.get(), child, 0)) return FALSE;
    }
}
