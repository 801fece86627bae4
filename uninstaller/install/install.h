// The installed suite as the registry tells it: the product key, the install folder stored in it, and
// the registry view the cleanup works in.
#pragma once

#include <windows.h>

// Process-wide access-mask addition for the registry cleanup: KEY_WOW64_64KEY on a 64-bit processor.
extern DWORD RegistryViewFlag;

// Reads value "Path" of SOFTWARE\Velnor\Plugins under `root` (the process's own view) into `buffer` of
// `bufferBytes` bytes. TRUE when the value is a string (REG_SZ or REG_EXPAND_SZ, taken as stored) and the
// buffer holds the whole, terminated path; a value of any other type counts as unknown (FALSE).
BOOL GetTavoInstallPathFromReg(HKEY root, LPWSTR buffer, DWORD bufferBytes);

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velnor\\Plugins";
constexpr DWORD kInstallPathChars = 520;
