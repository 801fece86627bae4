#include <windows.h>

#include "console/console.h"
#include "log/log.h"
#include "stages/stages.h"

namespace {

bool IsStageCommand(const wchar_t* command) {
    return lstrcmpiW(command, L"/ManualUninstall") == 0 || lstrcmpiW(command, L"/mauni") == 0 ||
           lstrcmpiW(command, L"/TempUninstall") == 0;
}

}  // namespace

void EndStage(DWORD exitCode) {
    LogSummary(exitCode);
    ExitProcess(exitCode);
}

int RunRemover(int argc, wchar_t* argv[]) {
    // The log of a stage opens first, so that it holds every line the stage writes; a log that cannot be
    // written is reported below, and the stage does nothing.
    const LogStart log =
        argc > 1 && IsStageCommand(argv[1]) ? StartLogFromCommandLine(argc, argv) : LogStart{};
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
        ConsoleLine(
            L"/log FILE\t\t\tAfter /ManualUninstall: append everything the uninstall does to FILE (UTF-8).");
        return 0;
    }
    if (log.exitCode != ERROR_SUCCESS) {
        ReportLine(log.message.c_str());
        return static_cast<int>(log.exitCode);
    }
    if (lstrcmpiW(command, L"/ManualUninstall") == 0 || lstrcmpiW(command, L"/mauni") == 0) {
        RunRelocationStage();
    }
    if (lstrcmpiW(command, L"/TempUninstall") == 0) {
        RunUninstallSequence();
    }
    return 0;
}
