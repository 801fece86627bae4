#include <cwchar>

#include "process/process.h"
#include "system/system_facts.h"

HMODULE LoadSystemLibraryEx(LPCWSTR name) {
    if (!name || !*name) return nullptr;
    wchar_t path[MAX_PATH] = {};
    if (!VlrGetSystemWow64Directory(path, MAX_PATH) || !path[0] || wcsnlen(path, MAX_PATH) >= MAX_PATH) {
        path[0] = L'\0';
        const UINT length = GetSystemDirectoryW(path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return nullptr;
    }
    // Never a bare name: an unreadable folder would hand the name to the DLL search order.
    size_t length = wcslen(path);
    if (length == 0) return nullptr;
    if (path[length - 1] != L'\\') {
        if (length + 1 >= MAX_PATH) return nullptr;
        path[length++] = L'\\';
        path[length] = L'\0';
    }
    if (length + wcslen(name) >= MAX_PATH) return nullptr;
    wcscat(path, name);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

CDLLHandle::~CDLLHandle() {
    if (m_hModule && m_bOwning) FreeLibrary(m_hModule);
    m_hModule = nullptr;
}

HMODULE GetAdvapi32Module() {
    static CDLLHandle holder(LoadSystemLibraryEx(L"advapi32.dll"), TRUE);
    return holder.Get();
}

HMODULE GetPsapiModule() {
    static CDLLHandle holder(LoadSystemLibraryEx(L"psapi.dll"), TRUE);
    return holder.Get();
}

HMODULE GetUserenvModule() {
    static CDLLHandle holder(LoadSystemLibraryEx(L"userenv.dll"), TRUE);
    return holder.Get();
}
