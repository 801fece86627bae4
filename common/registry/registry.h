// Registry keys and values with an explicit view flag: 0 (the process's own view), KEY_WOW64_64KEY or
// KEY_WOW64_32KEY, OR-ed into every access mask.
#pragma once

#include <windows.h>

// Deletes `subkey` under `root` with all its subkeys and values, in the given view. Stops at the first
// subkey that cannot be deleted. A registry link met on the way is removed itself, never followed.
BOOL DeleteRegKey(HKEY root, LPCWSTR subkey, DWORD view);

// System facts.
BOOL VlrGetSystemWow64Directory(LPWSTR buffer, UINT size);
BOOL Is64BitWindows();
