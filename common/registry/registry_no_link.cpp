#include <string>

#include "registry/registry.h"
#include "support/scoped.h"

namespace {

constexpr REGSAM kWalkAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

// The key, opened as itself (REG_OPTION_OPEN_LINK), holds the link value of a registry link.
bool IsLinkKey(HKEY key) {
    DWORD type = REG_NONE;
    return RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
           type == REG_LINK;
}

}  // namespace

LONG OpenRegKeyNoLink(HKEY root, LPCWSTR path, REGSAM access, DWORD view, HKEY* key) {
    if (!key) return ERROR_INVALID_PARAMETER;
    *key = nullptr;
    if (!root || !path || !*path) return ERROR_INVALID_PARAMETER;
    try {
        const std::wstring names = path;
        tavo::ScopedRegKey current;
        HKEY parent = root;
        size_t start = 0;
        for (;;) {
            const size_t end = names.find(L'\\', start);
            const bool last = end == std::wstring::npos;
            const std::wstring name = names.substr(start, last ? std::wstring::npos : end - start);
            if (name.empty() || name == L"." || name == L"..") return ERROR_INVALID_PARAMETER;
            tavo::ScopedRegKey next;
            // The query right is needed to tell a link; the caller's rights on the last key.
            const LONG opened =
                RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK,
                              (last ? access | KEY_QUERY_VALUE : kWalkAccess) | view, next.put());
            if (opened != ERROR_SUCCESS) return opened;
            if (IsLinkKey(next.get())) return ERROR_CANT_ACCESS_FILE;
            current = std::move(next);
            parent = current.get();
            if (last) break;
            start = end + 1;
        }
        *key = current.release();
        return ERROR_SUCCESS;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
