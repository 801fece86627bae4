// The steps of the uninstall sequence, in the order the sequence calls them: the locked modules, the
// suite's processes and its service, COM registration, the registry, the install folder and the
// shortcuts. No step stops the sequence: each one reports what failed and returns.
#pragma once

#include <windows.h>

// Moves the trace library and the C runtime library out of the install folder.
void ReleaseLockedModules(LPCWSTR installFolder);

// Stops the suite's processes, the plug-in host and the update service, and removes the service.
void StopTavoProcesses();

// Returns once `milliseconds` have passed on the tick counter, without sleeping.
void SpinWait(DWORD milliseconds);

// TRUE when a process whose main module has the base name `imageName` (any letter case) runs.
BOOL IsProcessRunning(LPCWSTR imageName);

// The bounds of the stopping: how long the background process may take to end by itself before it is
// killed; how often a process is killed (two seconds apart) before the step gives up on it; how often the
// updater's window is asked to close (100 ms apart) before its process is killed instead.
constexpr DWORD kBackgroundExitWaitMs = 2000;
constexpr int kMaxKillRounds = 3;
constexpr int kUpdaterWindowRounds = 50;

// TRUE when the machine's native processor is x64 or Itanium.
BOOL IsNative64BitSystem();

// Registers (bInstall TRUE) or unregisters the suite's COM components found in the install folder.
void RegTavoCOM(LPCWSTR installFolder, BOOL bInstall);

// Runs regsvr32 silently for one DLL (`lpszRegCmdLine` "" registers, "/u" unregisters) from the 32-bit
// system folder, with the install folder (a 64-bit DLL: its "components" subfolder) added to "Path" for
// the run. A 64-bit DLL is skipped on 32-bit Windows. Always 0.
int RegCOMDLL(LPCWSTR lpszFilePath, LPCWSTR lpszRegCmdLine, BOOL bIs64Bit);

// Removes the installer records of the suite's package, the client's keys, leftover values and the
// suite's uninstall entry.
void CleanupRegistries();

// Deletes the install folder with everything in it; 1 when something was left, else 0.
int RemoveInstallFiles(LPCWSTR installFolder);

// Delete the suite's Start-menu shortcuts and their folders.
void CleanupShortcuts();
void CleanupCommonShortcuts();
