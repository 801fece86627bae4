// The steps of the uninstall sequence, in the order the sequence calls them: the locked modules, the
// suite's processes and its service, COM registration, the registry, the install folder and the
// shortcuts. No step stops the sequence: each one reports what failed and returns.
#pragma once

#include <windows.h>

#include <string>

// A folder of the uninstaller's own, under the temporary folder, that it holds for its whole run: where the
// libraries moved out of the install folder go. Files are moved in and deleted relative to the folder's
// handle, never by a path a user could re-point (the user's TMP, or a link put in the folder's place).
// The uninstaller's own program in the install folder. The install folder's removal leaves it for last and
// then moves it into the moved-out folder (the first stage that runs from it still maps it): until the
// install folder is removed, the uninstall entry's command, or the program itself, can run the uninstall
// again and finish it.
inline constexpr wchar_t kRemoverName[] = L"TavoRemover.exe";

// The two libraries ReleaseLockedModules moves out of the install folder: the name there, and the name in
// the moved-out folder.
struct MovedLibrary {
    const wchar_t* name;
    const wchar_t* movedName;
};
inline constexpr MovedLibrary kMovedLibraries[] = {{L"vlrtrace.dll", L"vlrtrace1.dll"},
                                                   {L"vcruntime140.dll", L"vcruntime140.dll"}};

class MovedOutFolder {
  public:
    // Renames the file at `source` into the folder as `name` (never replacing one); the system's error
    // code, 0 when moved.
    virtual DWORD MoveIn(const std::wstring& source, const wchar_t* name) = 0;
    // Renames the file open as `file` (with DELETE access) into the folder as `name` (never replacing one).
    virtual DWORD MoveIn(HANDLE file, const wchar_t* name) = 0;
    // Deletes `name` in the folder; the system's error code, 0 when deleted.
    virtual DWORD DeleteEntry(const wchar_t* name) = 0;
    // The path of `name` in the folder, for printing and for the list of deletions at restart.
    virtual std::wstring PathOf(const wchar_t* name) const = 0;

  protected:
    ~MovedOutFolder() = default;
};

// The folder ReleaseLockedModules moves the libraries into (null: none, and the libraries stay where they
// are). The caller keeps it alive while the steps run.
void SetMovedOutFolder(MovedOutFolder* folder);

// Moves the trace library and the C runtime library out of the install folder into the moved-out folder
// (as "vlrtrace1.dll" and "vcruntime140.dll") and deletes them there; one that a process still maps stays
// there until DeleteMovedOutLibraries.
void ReleaseLockedModules(LPCWSTR installFolder);

// Deletes the libraries this process moved into the moved-out folder and could not delete then (their
// processes are stopped by now); one still held is marked for deletion at the next restart.
void DeleteMovedOutLibraries();

// Stops the suite's processes, the plug-in host and the update service, and removes the service.
void StopTavoProcesses();

// Returns once `milliseconds` have passed on the tick counter; the thread sleeps meanwhile.
void SpinWait(DWORD milliseconds);

// TRUE when a process whose main module has the base name `imageName` (any letter case) runs.
BOOL IsProcessRunning(LPCWSTR imageName);

// The bounds of the stopping: how long the background process may take to end by itself before it is
// killed, and how long each look at it waits on it; how often a process is killed (each kill followed by
// a wait of up to two seconds for its end) before the step gives up on it; how often the updater's window
// is asked to close (100 ms apart) before its process is killed instead.
constexpr DWORD kBackgroundExitWaitMs = 2000;
constexpr DWORD kBackgroundPollMs = 100;
constexpr int kMaxKillRounds = 3;
constexpr int kUpdaterWindowRounds = 50;

// TRUE when the machine's native processor is x64 or Itanium.
BOOL IsNative64BitSystem();

// How long one regsvr32 run, or the plug-in host's own (un)registration, may take: past it the run is
// ended with what it started, one line names the file, and the component counts as not removed.
constexpr DWORD kChildRunBoundMs = 60000;

// Registers (bInstall TRUE) or unregisters the suite's COM components found in the install folder.
void RegTavoCOM(LPCWSTR installFolder, BOOL bInstall);

// Runs regsvr32 silently for one DLL (`lpszRegCmdLine` "" registers, "/u" unregisters) from the 32-bit
// system folder, with the install folder (a 64-bit DLL: its "components" subfolder) added to "Path" for
// the run. A 64-bit DLL is skipped on 32-bit Windows. Always 0.
int RegCOMDLL(LPCWSTR lpszFilePath, LPCWSTR lpszRegCmdLine, BOOL bIs64Bit);

// Removes the installer records of the suite's package, the client's keys, leftover values and the
// suite's uninstall entry.
void CleanupRegistries();

// DeleteRegKey (registry/registry.h) of `subkey` under `root` in `view`, its result recorded
// (outcome/outcome.h): the key deleted, or failed with the error a last plain deletion of it gives;
// nothing when it is not there.
void DeleteRecordedRegKey(HKEY root, LPCWSTR subkey, DWORD view);

// Deletes the install folder with everything in it; 1 when something was left that is not deleted at the
// next restart either, else 0.
int RemoveInstallFiles(LPCWSTR installFolder);

// RemoveInstallFiles without its banner. The folder (the install folder as read, nothing expanded) is
// deleted only when the deletion guard accepts it (paths/path_api.h), by its path and by the final path of
// the handle it is deleted through (files/files.h): otherwise one line says why, nothing is deleted and
// the result is 1. A missing or empty folder gives 0. A file another program holds, and the folders that
// are left only because of such files (the install folder last), are marked for deletion at the next
// restart (files::HeldItems::kDeleteAtRestart): each is printed as "<path> will be deleted at the next
// restart", a file after one line "<path> is in use by <NAME> (<pid>)" for every process the Restart
// Manager names, and recorded as scheduled (the exit code becomes 3010); the result stays 0. When
// anything is left that could not be marked either, the result is 1 and the two libraries are moved out
// as by ReleaseLockedModules.
int RemoveInstallFolder(LPCWSTR installFolder);

// Deletes everything inside `folder` (printing every file's path before it, a folder's after everything in
// it), never following a link; each item's outcome is recorded (outcome/outcome.h). 1 when
// anything is left, the folder cannot be listed, its path is shorter than 3 or longer than 255
// characters, or the deletion guard refuses it (with one line saying why).
int DeleteFolderContents(LPCWSTR folder);

// Delete the suite's Start-menu shortcuts and their folders.
void CleanupShortcuts();
void CleanupCommonShortcuts();

// Cleans one Programs folder (a full path): the suite's shortcuts directly in it (only those leading to the
// suite), then the suite's folders in it and under its "Velnor" folder, once per language row. Each folder
// is held while its names are deleted relative to it (DeleteLocalizedShortcuts).
void CleanupProgramsFolder(LPCWSTR programs);

// The suite's part of every person's profile the machine lists (HKLM ...\ProfileList: local, domain and
// cloud directory accounts, not the service accounts), whoever runs the uninstall (an administrator or
// SYSTEM): in each user's hive the product key "SOFTWARE\Velnor\Plugins" and the per-user installer
// records of the suite's package, and the suite's shortcuts in the user's Programs folder. One line per
// user names the account; a hive that cannot be loaded is reported in one line and passed.
void CleanupEveryUser();

// The suite's shortcut names in 17 language rows (uninstall, help, settings), each row with the C
// runtime locale set before a found shortcut's path is printed again.
constexpr int kShortcutLanguageRows = 17;

// Deletes the suite's shortcuts of every language row in `folder` (a writable MAX_PATH buffer that gets a
// trailing backslash), and with `removeFolder` the folder too when it is then empty. The folder is opened
// once without following a link and held (no one can rename or replace it meanwhile) when its final path
// is the folder it was found in plus its name; each name is opened relative to it and deleted through its
// own handle. `sharedFolder`: the
// folder is one that other programs use too (a Programs folder itself), so a shortcut there is deleted
// only when it leads to a program of the suite. Returns the last DeleteShortcutFile result, or with
// `removeFolder` the folder removal's (0 when the folder is not there). A folder that is a link is left
// alone (0).
BOOL DeleteLocalizedShortcuts(LPWSTR folder, BOOL removeFolder, BOOL sharedFolder = FALSE);

// Deletes `name` in `folder` (a writable MAX_PATH buffer that gets a trailing backslash), printing its
// path, and again after setting the C runtime locale of `row` when it is there. The DeleteFileW result;
// 0 when it is not there, is a link or a folder, or (with `sharedFolder`) does not lead to a program of the
// suite.
BOOL DeleteShortcutFile(LPWSTR folder, LPCWSTR name, int row, BOOL sharedFolder = FALSE);
