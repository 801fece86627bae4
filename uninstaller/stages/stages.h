// The two stages of the uninstaller and the command line that chooses between them.
#pragma once

#include <windows.h>

// The program's run: "/help" or "?" lists the commands, "/ManualUninstall" or "/mauni" runs the first
// stage, "/TempUninstall" the second; anything else (or nothing) does nothing. The exit code is 0.
int RunRemover(int argc, wchar_t* argv[]);

// First stage: moves the running executable to %TEMP%\Launchlet.exe, copies the trace library beside it,
// starts the copy with "/TempUninstall" and exits the process with 0.
[[noreturn]] void RunRelocationStage();

// Second stage: the uninstall sequence, ending with the self-deletion of the copy. Exits with 0.
[[noreturn]] void RunUninstallSequence();

// Starts a hidden command processor that deletes the copy, and exits. Returns when that cannot be done.
void DeleteTempCopy();

// Fills `path` (MAX_PATH characters) with the temporary folder followed by `fileName`; FALSE when it does
// not fit.
BOOL BuildTempFilePath(LPCWSTR fileName, LPWSTR path);
