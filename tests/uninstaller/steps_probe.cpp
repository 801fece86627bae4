// Runs one step of the uninstaller for the steps tests, so that its console lines, debug lines and trace
// lines can be recorded from outside:
//   stop                     StopTavoProcesses
//   com <folder> <0|1>       RegTavoCOM (1 registers), between the lines "path=<Path>" before and after
#include <windows.h>

#include <cwchar>
#include <string>

#include "console/console.h"
#include "steps/steps.h"

namespace {

void PrintPath() {
    static wchar_t path[32768];
    path[0] = L'\0';
    GetEnvironmentVariableW(L"Path", path, 32768);
    ConsoleLine((std::wstring(L"path=") + path).c_str());
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
    return 1;
}
