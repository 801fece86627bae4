#include <windows.h>

#include <shlobj.h>

#include "console/console.h"
#include "install/install.h"
#include "outcome/outcome.h"
#include "registry/registry.h"
#include "stages/stages.h"
#include "steps/steps.h"
#include "system/system_facts.h"

void RunUninstallSequence() {
    ConsoleLine(L"Run TavoRemover.exe!\n");
    OutputDebugStringW(L"verify cmdline succ!\n");

    // Read and judged once; every step gets this one value.
    SetRunInstallFolder(ReadInstallFolder());
    const wchar_t* installFolder = RunInstallFolder().TrustedPath();
    // Kept until the install folder is removed: an interrupted run, run again, finds it there.
    RecordUnfinishedUninstall(RunInstallFolder());

    SetMovedOutFolder(Stages().folder.valid() ? &Stages().folder : nullptr);
    ReleaseLockedModules(installFolder);
    StopTavoProcesses();
    SpinWait(2000);
    if (IsNative64BitSystem()) RegistryViewFlag = KEY_WOW64_64KEY;
    RegTavoCOM(installFolder, FALSE);
    CleanupRegistries();
    if (RemoveInstallFiles(RunInstallFolder().path.c_str()) == 1) {
        wchar_t message[MAX_PATH] = {};
        swprintf(message, MAX_PATH, L"!!!!!!!! Delete TavoInstall Files Failed!(Exit Code %u) !!!!!!!!\n",
                 1u);
        ConsoleLine(message);
        OutputDebugStringW(message);
    } else {
        ClearUnfinishedUninstall();
    }
    CleanupShortcuts();
    CleanupCommonShortcuts();

    BeginOutcomeStep(L"product key");  // no banner: counted as a step of its own
    DeleteRecordedRegKey(HKEY_LOCAL_MACHINE, kProductKey, 0);
    if (Is64BitWindows()) DeleteRecordedRegKey(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_64KEY);
    DeleteRecordedRegKey(HKEY_CURRENT_USER, kProductKey, 0);
    CleanupEveryUser();

    DeleteMovedOutLibraries();
    SetMovedOutFolder(nullptr);
    OutputDebugStringW(L"Exit TavoRemover.exe!\n");
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    DeleteTempCopy();
    EndStage(OutcomeExitCode());
}
