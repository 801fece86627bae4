// Static start-up of the uninstaller: these objects are built before every other static object of the
// program (first priority), in the order written.
#include <windows.h>

#include "support/proc_address.h"
#include "trace/trace.h"

namespace {

// The elevated copy runs from the user's temporary folder: DLLs are taken from the system folder only,
// wherever the system offers that choice.
struct RestrictDllSearch {
    RestrictDllSearch() {
        using Function = BOOL(WINAPI*)(DWORD);
        auto setDefaultDllDirectories =
            tavo::ProcAddress<Function>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
        if (setDefaultDllDirectories) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        SetDllDirectoryW(L"");  // also drops the current folder where the call above is missing
    }
};

RestrictDllSearch g_restrictDllSearch __attribute__((init_priority(101)));
VELNORLOGInitialize g_velnorLogInitialize __attribute__((init_priority(101)));

}  // namespace
