#include "module/startup_effects.h"

#include "registry/registry.h"
#include "security/object_security.h"
#include "support/proc_address.h"

void CCompanionLibrary::Load() {
    using GetModuleHandleExFn = BOOL(WINAPI*)(DWORD, LPCWSTR, HMODULE*);
    auto getModuleHandleEx =
        tavo::ProcAddress<GetModuleHandleExFn>(GetModuleHandleW(L"kernel32.dll"), "GetModuleHandleExW");
    if (!getModuleHandleEx) return;
    HMODULE self = nullptr;
    if (!getModuleHandleEx(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&PrepareBrowserEmulationKeys), &self))
        return;
    wchar_t path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash) return;
    static constexpr wchar_t kName[] = L"tavousredt.dll";
    size_t folderLength = static_cast<size_t>(slash - path) + 1;
    if (folderLength + ARRAYSIZE(kName) > MAX_PATH) return;
    wcscpy(slash + 1, kName);
    m_library.reset(LoadLibraryW(path));
    if (m_library) m_isTrustCert = GetProcAddress(m_library.get(), "isTrustCert");
}

void CCompanionLibrary::Free() {
    m_isTrustCert = nullptr;
    m_library.reset();
}

void PrepareBrowserEmulationKeys() {
    static constexpr wchar_t kMain[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\Main";
    static constexpr wchar_t kFeatureControl[] =
        L"SOFTWARE\\Microsoft\\Internet Explorer\\Main\\FeatureControl";
    static constexpr wchar_t kBrowserEmulation[] =
        L"SOFTWARE\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\FEATURE_BROWSER_EMULATION";
    {
        CObjectSecurity security(HKEY_CURRENT_USER, kMain);
        security.GrantWriteAccess();
    }
    { const tavo::ScopedRegKey created(CreateRegKey(HKEY_CURRENT_USER, kFeatureControl, 0)); }
    {
        CObjectSecurity security(HKEY_CURRENT_USER, kFeatureControl);
        security.GrantWriteAccess();
    }
    const tavo::ScopedRegKey created(CreateRegKey(HKEY_CURRENT_USER, kBrowserEmulation, 0));
}
