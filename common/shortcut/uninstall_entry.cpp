// The suite's entry in the list of installed programs: HKEY_LOCAL_MACHINE, 64-bit view.
#include <shlwapi.h>

#include <string>

#include "registry/registry.h"
#include "shortcut/shortcut.h"
#include "support/scoped.h"
#include "trace/trace.h"

namespace {

void WriteEntryValue(const wchar_t* name, const std::wstring& text) {
    WriteRegString(HKEY_LOCAL_MACHINE, kUninstallKey, name, text.c_str(), KEY_WOW64_64KEY, REG_SZ);
}

}  // namespace

void CPluginsShortcut::CreateUninstallerReg(LPCWSTR lpszInstallPath, LPCWSTR lpszVersion) {
    if (!lpszInstallPath) return;
    try {
        CAutoFunTrace scope("CPluginsShortcut::CreateUninstallerReg",
                            TracePair("lpszInstallPath", lpszInstallPath).get());
        tavo::ScopedRegKey key(CreateRegKey(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_64KEY));
        key.reset();
        WriteEntryValue(L"DisplayIcon", std::wstring(lpszInstallPath) + L"\\tavores.dll,0");
        WriteEntryValue(L"DisplayName", kStartMenuFolderName);
        WriteEntryValue(L"Publisher", L"Orvane Velnor LLC");
        if (lpszVersion) WriteEntryValue(L"DisplayVersion", lpszVersion);
        // Quoted: unquoted, a path with blanks would let a program named after its first word run instead.
        wchar_t remover[MAX_PATH] = {};
        if (PathCombineW(remover, lpszInstallPath, L"TavoRemover.exe")) {
            WriteEntryValue(L"UninstallString", L"\"" + std::wstring(remover) + L"\" /ManualUninstall");
        }
    } catch (...) {
    }
}

BOOL CPluginsShortcut::IsUninstallerRegExist() {
    tavo::ScopedRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) ==
           ERROR_SUCCESS;
}

void CPluginsShortcut::UpdateUninstallerRegVersion(LPCWSTR lpszVersion) {
    if (lpszVersion) WriteEntryValue(L"DisplayVersion", lpszVersion);
}
