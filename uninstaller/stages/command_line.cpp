#include <windows.h>

#include <cwchar>
#include <string>

#include "console/console.h"
#include "outcome/outcome.h"
#include "stages/stages.h"

namespace {

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

StageState& Stages() {
    static StageState state;
    return state;
}

bool ParseStageHandles(int argc, wchar_t* argv[], HANDLE& lock, HANDLE& folder) {
    const size_t optionLength = wcslen(kStageHandlesOption);
    for (int i = 2; i < argc; ++i) {
        if (_wcsnicmp(argv[i], kStageHandlesOption, optionLength) != 0) continue;
        unsigned long lockValue = 0, folderValue = 0;
        wchar_t end = 0;
        if (swscanf(argv[i] + optionLength, L"%lx,%lx%lc", &lockValue, &folderValue, &end) != 2) return false;
        lock = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(lockValue));
        folder = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(folderValue));
        return lock && folder;
    }
    return false;
}

bool PrepareSecondStage(int argc, wchar_t* argv[]) {
    StageState& stages = Stages();
    const std::wstring ownFolder = OwnFolder();
    HANDLE lock = nullptr, folder = nullptr;
    // Handles named on the command line are taken only when the lock is really the machine's lock in this
    // process's own handle table: that is, a first stage holding the lock started this copy.
    if (ParseStageHandles(argc, argv, lock, folder) && IsUninstallLock(lock)) {
        stages.lock.reset(lock);
        stages.folder = PrivateFolder::Adopt(folder, ownFolder);
        stages.firstStageFinishes = stages.folder.valid();
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
        ConsoleLine(L"");
        ConsoleLine(L"Exit codes of /ManualUninstall:");
        ConsoleLine(L"  0\t\tEverything of the suite is gone (also when nothing of it was installed).");
        ConsoleLine(L"  3010\t\tEverything is gone or is deleted at the next restart.");
        ConsoleLine(L"  1603\t\tSomething could not be removed (each such item was printed).");
        ConsoleLine(L"  1618\t\tAnother uninstall is running: nothing was changed; try again later.");
        return 0;
    }
    if (lstrcmpiW(command, L"/ManualUninstall") == 0 || lstrcmpiW(command, L"/mauni") == 0) {
        RunRelocationStage();
    }
    if (lstrcmpiW(command, L"/TempUninstall") == 0) {
        if (!PrepareSecondStage(argc, argv)) return static_cast<int>(kExitAnotherInstall);
        RunUninstallSequence();
    }
    return 0;
}
