// Runs one step of the uninstaller for the steps tests, so that its console lines, debug lines and trace
// lines can be recorded from outside:
//   stop                     StopTavoProcesses
//   com <folder> <0|1>       RegTavoCOM (1 registers), between the lines "path=<Path>" before and after
//   log-wide <file>          a log open while the wide debug text of Windows 10 and later is raised (with
//                            its narrow form), then the narrow form from the same buffer (the system's
//                            fallback) and from another one
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "console/console.h"
#include "log/log.h"
#include "steps/steps.h"

namespace {

void PrintPath() {
    static wchar_t path[32768];
    path[0] = L'\0';
    GetEnvironmentVariableW(L"Path", path, 32768);
    ConsoleLine((std::wstring(L"path=") + path).c_str());
}

// Stands in for the system's own handler inside OutputDebugStringW: the raised text goes no further.
LONG CALLBACK EndWideDebugText(EXCEPTION_POINTERS* pointers) {
    return pointers->ExceptionRecord->ExceptionCode == 0x4001000A ? EXCEPTION_CONTINUE_EXECUTION
                                                                  : EXCEPTION_CONTINUE_SEARCH;
}

int WideDebugText(const wchar_t* file) {
    std::wstring message;
    if (!OpenLog(file, message)) return 2;
    PVOID handler = AddVectoredExceptionHandler(0, EndWideDebugText);  // after the log's own
    const wchar_t wide[] = L"wide \u2603 text\n";
    const char narrow[] = "wide ? text\n";
    const ULONG_PTR arguments[4] = {wcslen(wide) + 1, reinterpret_cast<ULONG_PTR>(wide), strlen(narrow) + 1,
                                    reinterpret_cast<ULONG_PTR>(narrow)};
    RaiseException(0x4001000A, 0, 4, arguments);
    OutputDebugStringA(narrow);
    const std::string another(narrow);
    OutputDebugStringA(another.c_str());
    RemoveVectoredExceptionHandler(handler);
    CloseLog();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc == 2 && wcscmp(argv[1], L"stop") == 0) {
        StopTavoProcesses();
        return 0;
    }
    if (argc == 4 && wcscmp(argv[1], L"com") == 0) {
        PrintPath();
        RegTavoCOM(argv[2], wcscmp(argv[3], L"1") == 0);
        PrintPath();
        return 0;
    }
    if (argc == 3 && wcscmp(argv[1], L"log-wide") == 0) return WideDebugText(argv[2]);
    return 1;
}
