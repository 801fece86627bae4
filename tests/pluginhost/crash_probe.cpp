// Runs the crash dump handler outside any test framework, so that a test can record its debug messages
// and exit code from outside (tavo::capture).
//   crash_probe crash          installs the handler (static start-up) and raises an unhandled exception
//   crash_probe dump FOLDER    calls Exception_DBGMiniDump in its failure cases (a file already at the
//                              path among them), then exits normally
// At a normal exit the probe reports whether the filter it had before the handler was put back.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crash/crash_dump.h"

namespace {

LONG WINAPI EarlierFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

void __cdecl ReportFilterAtExit() {
    // Runs after the handler's own exit routine (the exit list runs last-in first-out).
    const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
    printf("exit filter restored=%d\n", current == EarlierFilter ? 1 : 0);
    fflush(stdout);
}

// A filter of the program's own, installed before the crash handler, as a library might have done.
struct EarlierFilterSetup {
    EarlierFilterSetup() {
        SetUnhandledExceptionFilter(EarlierFilter);
        atexit(ReportFilterAtExit);
    }
};

EarlierFilterSetup g_earlierFilter __attribute__((init_priority(101)));
CCrashFilterInstaller g_crashFilter __attribute__((init_priority(102)));
CCrashFilterInstaller g_secondInstaller __attribute__((init_priority(103)));

std::wstring Wide(const char* text) {
    std::wstring wide;
    for (const char* p = text; *p; ++p) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return wide;
}

int Crash() {
    const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(CrashDumpFilter);
    printf("installed=%d thread=%lu\n", current == CrashDumpFilter ? 1 : 0, GetCurrentThreadId());
    fflush(stdout);
    const ULONG_PTR arguments[2] = {1, 0x1234};
    RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 2, arguments);
    return 0;  // not reached
}

int Dump(const std::wstring& folder) {
    const std::wstring path = folder + L"\\probe.dmp";
    printf("no-module=%d\n", Exception_DBGMiniDump(path.c_str(), nullptr, nullptr));
    printf("no-export=%d\n", Exception_DBGMiniDump(path.c_str(), GetModuleHandleW(L"kernel32.dll"), nullptr));
    printf("exists=%d\n", GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES ? 1 : 0);
    HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
    const std::wstring missing = folder + L"\\missing\\probe.dmp";
    printf("no-folder=%d\n", Exception_DBGMiniDump(missing.c_str(), dbghelp, nullptr));
    // Without exception information: the writer runs to MiniDumpWriteDump and leaves the file to the caller.
    printf("written=%d\n", Exception_DBGMiniDump(path.c_str(), dbghelp, nullptr));
    printf("deleted=%d\n", DeleteFileW(path.c_str()) ? 1 : 0);
    // A file planted at the name is neither overwritten nor followed.
    HANDLE planted = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD written = 0;
    WriteFile(planted, "planted", 7, &written, nullptr);
    CloseHandle(planted);
    printf("planted=%d\n", Exception_DBGMiniDump(path.c_str(), dbghelp, nullptr));
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    printf("kept=%lu\n", data.nFileSizeLow);
    DeleteFileW(path.c_str());
    FreeLibrary(dbghelp);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return 2;
    if (strcmp(argv[1], "crash") == 0) return Crash();
    if (strcmp(argv[1], "dump") == 0 && argc > 2) return Dump(Wide(argv[2]));
    return 2;
}
