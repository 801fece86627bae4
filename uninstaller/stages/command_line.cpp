#include <windows.h>

#include "console/console.h"
#include "stages/stages.h"

int RunRemover(int argc, wchar_t* argv[]) {
    OutputDebugStringW(L"Run TavoRemover.exe!\n");
    if (argc <= 1) {
        OutputDebugStringW(L"verify cmdline FAILED!\n");
        ConsoleLine(L"verify cmdline FAILED!\n");
        return 0;
    }
    const wchar_t* command = argv[1];
    if (lstrcmpiW(command, L"/help") == 0 || lstrcmpiW(command, L"?") == 0) {
        ConsoleLine(L"These commands are defined internally.Type `/help' to see this list.\n");
        ConsoleLine(
            L"/ManualUninstall\t\tUninstall all installation parameters about Orvane Velnor Tavo Suite.");
        ConsoleLine(L"/Help or ?\t\t\tDisplay information about builtin commands.");
        return 0;
    }
    if (lstrcmpiW(command, L"/ManualUninstall") == 0 || lstrcmpiW(command, L"/mauni") == 0) {
        RunRelocationStage();
    }
    if (lstrcmpiW(command, L"/TempUninstall") == 0) {
        RunUninstallSequence();
    }
    return 0;
}
