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

// TRUE when the machine's native processor is x64 or Itanium.
BOOL IsNative64BitSystem();

// Registers (bInstall TRUE) or unregisters the suite's COM components found in the install folder.
void RegTavoCOM(LPCWSTR installFolder, BOOL bInstall);

// Removes the installer records of the suite's package, the client's keys, leftover values and the
// suite's uninstall entry.
void CleanupRegistries();

// Deletes the install folder with everything in it; 1 when something was left, else 0.
int RemoveInstallFiles(LPCWSTR installFolder);

// Delete the suite's Start-menu shortcuts and their folders.
void CleanupShortcuts();
void CleanupCommonShortcuts();
