#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

#include "console/console.h"
#include "log/log.h"
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

void DeleteAtRestart(LPCWSTR copy, LPCWSTR folder, const wchar_t* why) {
    const BOOL scheduled = ScheduleDeletionAtRestart(copy, folder);
    wchar_t line[2 * MAX_PATH] = {};
    swprintf(line, ARRAYSIZE(line), L"%ls: %ls", why,
             scheduled ? L"the copy and its folder are deleted at the next restart."
                       : L"the copy and its folder stay; delete them by hand.");
    ReportLine(line);
}

}  // namespace

void DeleteTempCopy() {
    ConsoleBanner(L"TRY TO DELETE TEMP FILE");
    // Only a relocated copy in its private folder deletes itself: run from anywhere else (the install
    // folder, a stale copy) the program leaves its own file alone.
    wchar_t copy[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, copy, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    wchar_t folder[MAX_PATH] = {};
    if (!IsRelocatedCopy(copy, folder)) return;

    wchar_t comspec[MAX_PATH] = {};
    wchar_t commandProcessor[MAX_PATH] = {};
    wchar_t systemFolder[MAX_PATH] = {};
    const UINT systemLength = GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (GetEnvironmentVariableW(L"COMSPEC", comspec, MAX_PATH) == 0 || systemLength == 0 ||
        systemLength >= MAX_PATH || !SystemCommandProcessor(commandProcessor)) {
        DeleteAtRestart(copy, folder, L"No command processor");
        return;
    }

    // Both paths are quoted so that a temporary folder with blanks still names one file. The command
    // processor expands %NAME% even inside quotes and treats the other special characters as commands: a
    // path that holds any is never handed to it.
    wchar_t parameters[3 * MAX_PATH] = {};
    if (!BuildSelfDeleteParameters(copy, folder, parameters, ARRAYSIZE(parameters))) {
        DeleteAtRestart(copy, folder,
                        L"The temporary folder's path holds characters the command processor reads");
        return;
    }

    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"Open";
    info.lpFile = commandProcessor;
    info.lpParameters = parameters;
    info.lpDirectory = systemFolder;  // not the user's current folder, and never inside the private folder
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) {
        DeleteAtRestart(copy, folder, L"The command processor did not start");
        return;
    }

    const tavo::ScopedHandle commandProcess(info.hProcess);
    LogChildStarted((std::wstring(commandProcessor) + L" " + parameters).c_str(), commandProcess.get());
    if (commandProcess) {
        SetPriorityClass(commandProcess.get(), IDLE_PRIORITY_CLASS);
        SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    }
    SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW, copy, nullptr);
    EndStage(0);
}
