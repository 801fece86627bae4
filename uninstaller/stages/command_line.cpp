#include <windows.h>

#include <cwchar>
#include <string>

#include "console/console.h"
#include "log/log.h"
#include "outcome/outcome.h"
#include "stages/stages.h"

namespace {

bool IsStageCommand(const wchar_t* command) {
    return lstrcmpiW(command, L"/ManualUninstall") == 0 || lstrcmpiW(command, L"/mauni") == 0 ||
           lstrcmpiW(command, L"/TempUninstall") == 0;
}

// The folder of this program's own image; empty when its path cannot be read.
std::wstring OwnFolder() {
    wchar_t self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    wchar_t longSelf[MAX_PATH] = {};
    const DWORD longLength = GetLongPathNameW(self, longSelf, MAX_PATH);
    std::wstring path = (longLength > 0 && longLength < MAX_PATH) ? longSelf : self;
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

void EndStage(DWORD exitCode) {
    LogSummary(exitCode);
    ExitProcess(exitCode);
}

StageState& Stages() {
    static StageState state;
    return state;
}

bool ParseStageHandles(int argc, wchar_t* argv[], StageHandles& handles) {
    const size_t optionLength = wcslen(kStageHandlesOption);
    for (int i = 2; i < argc; ++i) {
        if (_wcsnicmp(argv[i], kStageHandlesOption, optionLength) != 0) continue;
        unsigned long lockValue = 0, folderValue = 0, firstStageValue = 0;
        wchar_t end = 0;
        const int values = swscanf(argv[i] + optionLength, L"%lx,%lx,%lx%lc", &lockValue, &folderValue,
                                   &firstStageValue, &end);
        if (values != 3) return false;
        handles.lock = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(lockValue));
        handles.folder = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(folderValue));
        handles.firstStage = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(firstStageValue));
        return handles.lock && handles.folder;
    }
    return false;
}

bool PrepareSecondStage(int argc, wchar_t* argv[]) {
    StageState& stages = Stages();
    const std::wstring ownFolder = OwnFolder();
    StageHandles handed;
    // Handles named on the command line are taken only when the lock is really the machine's lock in this
    // process's own handle table: that is, a first stage holding the lock started this copy.
    if (ParseStageHandles(argc, argv, handed) && IsUninstallLock(handed.lock)) {
        // Inherited, so inheritable: no longer, or every program this copy starts (where the system does
        // not limit inheritance to the handles named) would hold the lock and the folder too.
        for (HANDLE handle : {handed.lock, handed.folder, handed.firstStage}) {
            if (handle) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
        }
        stages.lock.reset(handed.lock);
        stages.folder = PrivateFolder::Adopt(handed.folder, ownFolder);
        stages.firstStageFinishes = stages.folder.valid();
        // A process handle (another process's, not this one's) or nothing.
        const DWORD firstStageId = handed.firstStage ? GetProcessId(handed.firstStage) : 0;
        if (firstStageId != 0 && firstStageId != GetCurrentProcessId())
            stages.firstStage.reset(handed.firstStage);
    } else {
        DWORD error = ERROR_SUCCESS;
        stages.lock = TakeUninstallLock(error);
        if (!stages.lock && (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED)) {
            ReportAnotherUninstall();
            return false;
        }
    }
    if (!stages.folder.valid()) {
        DWORD error = ERROR_SUCCESS;
        wchar_t self[MAX_PATH] = {}, copyFolder[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
        if (length > 0 && length < MAX_PATH && IsRelocatedCopy(self, copyFolder))
            stages.folder = PrivateFolder::Open(copyFolder, error);
        // Run from anywhere else: a new folder of its own receives the libraries moved out.
        if (!stages.folder.valid()) stages.folder = PrivateFolder::Create(error);
    }
    return true;
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
        ConsoleLine(L"");
        ConsoleLine(L"Exit codes of /ManualUninstall:");
        ConsoleLine(L"  0\t\tEverything of the suite is gone (also when nothing of it was installed).");
        ConsoleLine(L"  3010\t\tEverything is gone or is deleted at the next restart.");
        ConsoleLine(L"  1603\t\tSomething could not be removed (each such item was printed).");
        ConsoleLine(L"  1618\t\tAnother uninstall is running: nothing was changed; try again later.");
        ConsoleLine(L"  1622\t\tThe log file cannot be written: nothing was changed.");
        ConsoleLine(L"  1639\t\t/log without a file name: nothing was changed.");
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
        RefuseInterruptions();
        if (!PrepareSecondStage(argc, argv)) EndStage(kExitAnotherInstall);
        RunUninstallSequence();
    }
    return 0;
}
