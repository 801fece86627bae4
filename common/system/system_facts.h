// Facts about the running Windows: its version code, whether it is 64-bit, and its WoW64 system folder.
#pragma once

#include <windows.h>

// Windows version codes.
enum : int {
    kOSUnknown = 0,
    kOSWindows95 = 1,
    kOSWindows98 = 2,
    kOSWindowsNT4 = 3,  // NT 4 or older NT
    kOSWindowsMe = 4,
    kOSWindows2000 = 5,
    kOSWindowsXP = 6,
    kOSWindowsVistaOrLater = 8,
};

// The version code of the running Windows (above). A nonzero code is cached for the process; 0 is asked
// again next time.
int GetOSVersionType();

// Maps a platform id and version to a code of GetOSVersionType.
int MapOSVersionType(DWORD platformId, DWORD majorVersion, DWORD minorVersion);

BOOL VlrGetSystemWow64Directory(LPWSTR buffer, UINT size);
BOOL Is64BitWindows();
