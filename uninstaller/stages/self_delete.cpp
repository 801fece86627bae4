#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>

#include "console/console.h"
#include "stages/stages.h"
#include "support/scoped.h"

namespace {

// The command processor always comes from the system folder: a user-writable variable must not choose
// what runs elevated.
BOOL SystemCommandProcessor(LPWSTR path) {
    wchar_t systemFolder[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    int written = swprintf(path, MAX_PATH, L"%ls\\cmd.exe", systemFolder);
    return written > 0 && written < MAX_PATH;
}

}  // namespace

void DeleteTempCopy() {
    ConsoleBanner(L"TRY TO DELETE TEMP FILE");
    wchar_t copyPath[MAX_PATH] = {};
    if (!BuildTempFilePath(L"Launchlet.exe", copyPath)) return;

    wchar_t comspec[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"COMSPEC", comspec, MAX_PATH);
    if (length == 0) return;  // no command processor configured: the copy stays
    wchar_t commandProcessor[MAX_PATH] = {};
    if (!SystemCommandProcessor(commandProcessor)) return;

    // The path is quoted so that a temporary folder with blanks still names one file.
    wchar_t parameters[MAX_PATH + 32] = {};
    int written = swprintf(parameters, MAX_PATH + 32, L"/c del /q \"%ls\" > nul", copyPath);
    if (written <= 0 || written >= MAX_PATH + 32) return;

    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"Open";
    info.lpFile = commandProcessor;
    info.lpParameters = parameters;
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) return;

    const tavo::ScopedHandle commandProcess(info.hProcess);
    if (commandProcess) {
        SetPriorityClass(commandProcess.get(), IDLE_PRIORITY_CLASS);
        SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    }
    SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW, copyPath, nullptr);
    ExitProcess(0);
}
