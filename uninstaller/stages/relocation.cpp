#include <windows.h>

#include <shellapi.h>

#include <cwchar>

#include "console/console.h"
#include "install/install.h"
#include "stages/stages.h"

BOOL BuildTempFilePath(LPCWSTR fileName, LPWSTR path) {
    wchar_t tempFolder[MAX_PATH] = {};
    DWORD length = GetTempPathW(MAX_PATH, tempFolder);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    int written = swprintf(path, MAX_PATH, L"%ls%ls", tempFolder, fileName);
    return written > 0 && written < MAX_PATH;
}

namespace {

// Copies the trace library of the install folder beside the relocated copy, which binds it from its
// own folder.
void CopyTraceLibraryToTemp() {
    wchar_t installFolder[kInstallPathChars] = {};
    GetTavoInstallPathFromReg(HKEY_LOCAL_MACHINE, installFolder, kInstallPathChars);
    wchar_t source[MAX_PATH] = {};
    wchar_t target[MAX_PATH] = {};
    int written = swprintf(source, MAX_PATH, L"%ls\\%ls", installFolder, L"vlrtrace.dll");
    if (written <= 0 || written >= MAX_PATH || !BuildTempFilePath(L"vlrtrace.dll", target)) return;
    CopyFileW(source, target, FALSE);
}

}  // namespace

void RunRelocationStage() {
    ConsoleBanner(L"TRY TO MOVE FILE TO TEMP");
    wchar_t target[MAX_PATH] = {};
    if (BuildTempFilePath(L"Launchlet.exe", target)) {
        if (GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES) DeleteFileW(target);
        wchar_t self[MAX_PATH] = {};
        DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
        if (length != 0 && length < MAX_PATH) MoveFileW(self, target);
        CopyTraceLibraryToTemp();
        ShellExecuteW(nullptr, L"open", target, L"/TempUninstall", nullptr, SW_SHOW);
    }
    ExitProcess(0);
}
