#pragma once

#include <windows.h>

// Moves the trace library and the C runtime library out of the install folder.
void ReleaseLockedModules(LPCWSTR installFolder);

// Deletes the install folder with everything in it; 1 when something was left, else 0.
int RemoveInstallFiles(LPCWSTR installFolder);

// Delete the suite's Start-menu shortcuts and their folders.
void CleanupShortcuts();
void CleanupCommonShortcuts();
