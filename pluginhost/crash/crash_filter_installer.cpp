// Installation of the crash dump handler as the process's unhandled-exception filter.
#include <cstdlib>

#include "crash/crash_dump.h"

namespace {

// The filter CrashDumpFilter replaced, kept from installation to process exit.
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
bool g_installed = false;

void __cdecl RestoreAtExit() { CCrashFilterInstaller::RestorePreviousFilter(); }

}  // namespace

CCrashFilterInstaller::CCrashFilterInstaller() {
    if (g_installed) return;
    g_installed = true;
    g_previousFilter = SetUnhandledExceptionFilter(CrashDumpFilter);
    atexit(RestoreAtExit);
}

void CCrashFilterInstaller::RestorePreviousFilter() {
    if (!g_previousFilter) return;
    SetUnhandledExceptionFilter(g_previousFilter);
    g_previousFilter = nullptr;
}
