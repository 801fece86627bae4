#include "registry/registry.h"
#include "support/scoped.h"

namespace {

constexpr DWORD kDeleteTreeAccess = KEY_READ | KEY_WRITE;  // 0x2001F
constexpr DWORD kNameChars = 2048;

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
    LONG linkRemoved = ERROR_SUCCESS;
    if (RemoveRegLinkIfLink(root, subkey, view, &linkRemoved)) return linkRemoved == ERROR_SUCCESS;

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
