#pragma once

#include <windows.h>

// Registers (bInstall TRUE) or unregisters the suite's COM components found in the install folder.
void RegTavoCOM(LPCWSTR installFolder, BOOL bInstall);

// TRUE when the machine's native processor is x64 or Itanium.
BOOL IsNative64BitSystem();
