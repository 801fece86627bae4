// Stopping the suite's processes and its update service before anything is unregistered or deleted.
// The processes are found and terminated by image name; the updater is first asked to close through its
// window. Every wait is bounded: a process that keeps coming back, or a window that never closes, is
// reported and the next operation runs. Every wait for a process's end waits on that process itself, up to
// the bound: a process that ends at once costs nothing, and no processor is kept busy meanwhile.
#include <windows.h>

#include <cwchar>

#include "console/console.h"
#include "process/process.h"
#include "service/service_control.h"
#include "steps/steps.h"

namespace {

constexpr wchar_t kUpdaterWindowClass[] = L"TAVO_UPDATE_1E5A9C3D-7B02-4f6e-A8D1-C4B2E9F07A35";
constexpr UINT kUpdaterCloseMessage = WM_USER + 103;  // 0x467
constexpr DWORD kKillPauseMs = 2000;
constexpr int kUpdaterKillRounds = 10;

// A bound that ran out: the line on the console and, ending in a line feed, as one debug line.
void ReportGivingUp(const wchar_t* text) {
    ConsoleLine(text);
    wchar_t line[MAX_PATH] = {};
    swprintf(line, MAX_PATH, L"%ls\n", text);
    OutputDebugStringW(line);
}

// Terminates `imageName` while it runs, waiting up to `kKillPauseMs` after each kill for the terminated
// process to end, at most kMaxKillRounds times; then reports that it is still there (on the console and
// as a debug line) and gives up. S_OK when the last kill succeeded or none was needed, E_FAIL when it
// failed.
HRESULT KillWhileRunning(LPCWSTR imageName, LPCWSTR killLine, LPCWSTR operation, LPCWSTR printedName) {
    HRESULT result = S_OK;
    for (int round = 0; IsProcessRunning(imageName); ++round) {
        if (round == kMaxKillRounds) {
            wchar_t line[MAX_PATH] = {};
            swprintf(line, MAX_PATH, L"%ls: %ls is still running after %d kills, go on!", operation,
                     printedName, kMaxKillRounds);
            ReportGivingUp(line);
            break;
        }
        OutputDebugStringW(killLine);
        result = CTavoCallProcess::VlrTavoKillProcessAndWait(imageName, kKillPauseMs) ? S_OK : E_FAIL;
    }
    return result;
}

HRESULT StopTavoInstProcess() {
    return KillWhileRunning(L"tavoInst.exe", L"StopTavoInstProcess: Kill tavoinst.exe!\n",
                            L"StopTavoInstProcess", L"tavoinst.exe");
}

// Gives the background process the wait bound to end by itself, then kills it once. Each round looks for
// it in the process list and waits on it for at most kBackgroundPollMs.
int StopAllBackgroundProcess() {
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD processId = 0;
        if (CTavoCallProcess::VlrTavoFindProcessEx(L"TAVOIM.exe", &processId) != S_OK || processId == 0)
            break;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kBackgroundExitWaitMs) {
            OutputDebugStringW(
                L"StopAllBackgroundProcess: overtime 2s TAVOIM.exe is still existed in process list, kill "
                L"it!\n");
            CTavoCallProcess::VlrTavoKillProcess(L"TAVOIM.exe");
            break;
        }
        OutputDebugStringW(L"StopAllBackgroundProcess: Wait TAVOIM.exe exit!\n");
        const DWORD left = kBackgroundExitWaitMs - elapsed;
        CTavoCallProcess::VlrTavoWaitForProcessEnd(processId,
                                                   left < kBackgroundPollMs ? left : kBackgroundPollMs);
    }
    return 0;
}

// Asks the updater's window to close (100 ms apart, at most kUpdaterWindowRounds times), gives the updater
// up to 200 ms to end, then kills what is left of it, at most ten times, waiting up to 100 ms after each
// kill for the terminated process to end.
int StopTavoUpdProcess() {
    for (int round = 0;; ++round) {
        HWND window = FindWindowExW(nullptr, nullptr, kUpdaterWindowClass, nullptr);
        if (!window) break;
        if (round == kUpdaterWindowRounds) {
            ReportGivingUp(L"StopTavoUpdProcess: the updater's window did not close, go on!");
            break;
        }
        PostMessageW(window, kUpdaterCloseMessage, 0, 0);
        Sleep(100);
    }
    DWORD processId = 0;
    if (CTavoCallProcess::VlrTavoFindProcessEx(L"tavoUpdate.exe", &processId) != S_OK || processId == 0)
        return 0;
    CTavoCallProcess::VlrTavoWaitForProcessEnd(processId, 200);
    for (int round = 0; round < kUpdaterKillRounds && IsProcessRunning(L"tavoUpdate.exe"); ++round) {
        CTavoCallProcess::VlrTavoKillProcessAndWait(L"tavoUpdate.exe", 100);
        OutputDebugStringW(L"StopTavoUpdProcess: Stop tavoupd.exe.\n");
    }
    return 0;
}

void StopTavoVlrONI() {
    KillWhileRunning(L"tavoVlrONI.exe", L"StopTavoVlrONI: kill tavoVlrONI.exe!\n", L"StopTavoVlrONI",
                     L"tavoVlrONI.exe");
}

void StopTavoService() {
    KillWhileRunning(L"tavopluginhost.exe", L"StopTavoService: kill tavopluginhost.exe!\n",
                     L"StopTavoService", L"tavopluginhost.exe");
}

// The service control's own waits bound this operation.
void StopAndUninstallVelnorService() {
    OutputDebugStringW(L"StopAndUninstallVelnorService: stop!\n");
    SvcStop();
    OutputDebugStringW(L"StopAndUninstallVelnorService: uninstall!\n");
    SvcUninstall();
}

}  // namespace

BOOL IsProcessRunning(LPCWSTR imageName) {
    DWORD processId = 0;
    return CTavoCallProcess::VlrTavoFindProcessEx(imageName, &processId) == S_OK && processId != 0;
}

void StopTavoProcesses() {
    ConsoleBanner(L"TRY TO STOP PROCESS", 76, false);
    StopTavoInstProcess();
    ConsoleLine(L"tavoinst.exe");
    StopAllBackgroundProcess();
    ConsoleLine(L"TAVOIM.exe");
    StopTavoUpdProcess();
    ConsoleLine(L"tavoupdate.exe");
    StopTavoVlrONI();
    ConsoleLine(L"tavoVlrONI.exe");
    StopTavoService();
    ConsoleLine(L"tavopluginhost.exe");
    StopAndUninstallVelnorService();
    ConsoleLine(L"VelnorService.exe");
}

// The pause lasts `milliseconds` on the tick counter, as a spinning wait would, but the thread sleeps
// through it: the pause is there for the processes just stopped to finish letting go of the suite's files,
// and a processor kept busy here would be taken from them.
void SpinWait(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    for (DWORD elapsed = 0; elapsed < milliseconds; elapsed = GetTickCount() - start)
        Sleep(milliseconds - elapsed);
}
