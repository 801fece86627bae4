#include "registry/registry.h"
#include "support/proc_address.h"
#include "support/scoped.h"

namespace {

using NtDeleteKeyFunction = LONG(NTAPI*)(HANDLE key);
using RtlNtStatusToDosErrorFunction = ULONG(NTAPI*)(LONG status);

}  // namespace

// A key opened normally through a link is the link's target; opened with REG_OPTION_OPEN_LINK it is the
// link itself, and only then does it show its REG_LINK value "SymbolicLinkValue". The link is removed
// through that handle (RegDeleteKey would resolve the name again, and so delete the target).
BOOL RemoveRegLinkIfLink(HKEY parent, LPCWSTR subkey, DWORD view, LONG* result) {
    if (!parent || !subkey) return FALSE;
    tavo::ScopedRegKey link;
    if (RegOpenKeyExW(parent, subkey, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | DELETE | view, link.put()) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD type = 0;
    if (RegQueryValueExW(link.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) !=
            ERROR_SUCCESS ||
        type != REG_LINK) {
        return FALSE;
    }
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto ntDeleteKey = tavo::ProcAddress<NtDeleteKeyFunction>(ntdll, "NtDeleteKey");
    auto toDosError = tavo::ProcAddress<RtlNtStatusToDosErrorFunction>(ntdll, "RtlNtStatusToDosError");
    LONG outcome = ERROR_PROC_NOT_FOUND;
    if (ntDeleteKey && toDosError) outcome = static_cast<LONG>(toDosError(ntDeleteKey(link.get())));
    if (result) *result = outcome;
    return TRUE;
}
