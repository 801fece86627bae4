// Waiting for a started process: blocking, pumping the calling thread's messages, or not at all; then its
// exit code. Waiting a bounded time for any process to end.
#include <windows.h>

#include <cstdio>

#include "process/process.h"
#include "support/scoped.h"
#include "trace/trace.h"

namespace {

// The two waits run the same steps and differ in their diagnostics.
enum class WaitReport { kTavo, kEx };

// Dispatches the queued messages. False when a WM_QUIT was taken: it is posted again with exit code -1
// and the wait ends.
bool PumpMessages() {
    MSG message = {};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(-1);
            return false;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return true;
}

void WaitPumpingMessages(HANDLE process) {
    for (;;) {
        const DWORD result = MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0) return;  // the process ended
        if (result != WAIT_OBJECT_0 + 1) return;
        if (!PumpMessages()) return;
    }
}

BOOL WaitForProcess(WaitReport report, HANDLE hProcess, DWORD dwWaitExitType, LPDWORD lpdwExitCode) {
    const bool tavo = report == WaitReport::kTavo;
    if (!hProcess) {
        if (tavo)
            TraceLevel4(
                TracePair(nullptr, "CTavoCallProcess::VlrTavoWaitForObjectExit: hProcess is NULL!\n").get());
        else
            TraceLevel2(TracePair(nullptr, "CCallProcEx::VlrWaitForObjExit: hProcess is NULL!\n").get());
        return FALSE;
    }
    if (hProcess == INVALID_HANDLE_VALUE) {
        if (tavo)
            TraceLevel4(
                TracePair(nullptr,
                          "CTavoCallProcess::VlrTavoWaitForObjectExit: hProcess is INVALID_HANDLE_VALUE!\n")
                    .get());
        else
            TraceLevel2(
                TracePair(nullptr, "CCallProcEx::VlrWaitForObjExit: hProcess is INVALID_HANDLE_VALUE!\n")
                    .get());
        return FALSE;
    }
    if (dwWaitExitType == kWaitExitBlock) {
        WaitForSingleObject(hProcess, INFINITE);
    } else if (dwWaitExitType == kWaitExitPumpMessages) {
        WaitPumpingMessages(hProcess);
    }
    if (lpdwExitCode && !GetExitCodeProcess(hProcess, lpdwExitCode)) {
        const DWORD error = GetLastError();
        if (tavo) {
            TraceLevel4(
                TracePair(nullptr, "CTavoCallProcess::VlrTavoWaitForObjectExit: GetExitCodeProcess FAILED,")
                    .get(),
                TracePair("dwError", error).get());
        } else {
            char text[96] = {};
            snprintf(text, sizeof(text),
                     "CCallProcEx::VlrWaitForObjExit: GetExitCodeProcess FAILED, Error=%d",
                     static_cast<int>(error));
            TraceLevel2(TracePair(nullptr, static_cast<const char*>(text)).get());
        }
    }
    return TRUE;
}

}  // namespace

BOOL CTavoCallProcess::VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD lpdwExitCode) {
    TraceLevel4(TracePair(nullptr,
                          "CTavoCallProcess::VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType)")
                    .get());
    return WaitForProcess(WaitReport::kTavo, hProcess, dwWaitExitType, lpdwExitCode);
}

BOOL CCallProcEx::VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD lpdwExitCode) {
    CAutoFunTrace scope(
        "CCallProcEx::VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD lpdwExitCode)");
    return WaitForProcess(WaitReport::kEx, hProcess, dwWaitExitType, lpdwExitCode);
}

BOOL CTavoCallProcess::VlrTavoWaitForProcessEnd(DWORD dwProcessId, DWORD dwWaitMs) {
    tavo::ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, dwProcessId));
    if (!process) {
        // The system answers an id that no process has (any more) with ERROR_INVALID_PARAMETER.
        if (GetLastError() == ERROR_INVALID_PARAMETER) return TRUE;
        Sleep(dwWaitMs);
        return FALSE;
    }
    const DWORD waited = WaitForSingleObject(process.get(), dwWaitMs);
    if (waited == WAIT_FAILED) Sleep(dwWaitMs);
    return waited == WAIT_OBJECT_0;
}
