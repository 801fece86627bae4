// The two stages of the uninstaller and the command line that chooses between them.
//
// The first stage moves the running program into a folder of its own under the temporary folder, where no
// unelevated process can put or replace a file: "TavoRemover-" followed by 32 random hexadecimal digits,
// created by the first stage itself (creation fails when the name exists) with a protected DACL granting
// only SYSTEM and the Administrators group. There it is Launchlet.exe, with the install folder's trace
// library beside it, and is started with "/TempUninstall". The copy deletes itself and its folder at the
// end of the second stage.
#pragma once

#include <windows.h>

#include <cstddef>

// The program's run: "/help" or "?" lists the commands, "/ManualUninstall" or "/mauni" runs the first
// stage, "/TempUninstall" the second; anything else (or nothing) does nothing. The exit code is 0.
int RunRemover(int argc, wchar_t* argv[]);

// First stage: moves the running executable into a new private folder as Launchlet.exe, copies the trace
// library beside it, starts the copy with "/TempUninstall" and exits the process with 0. When a step
// fails it prints why, starts nothing and leaves the program where it was.
[[noreturn]] void RunRelocationStage();

// Second stage: the uninstall sequence, ending with the self-deletion of the copy. Exits with 0.
[[noreturn]] void RunUninstallSequence();

// When the running program is a relocated copy: starts a hidden command processor that deletes the copy
// and its folder, and exits. Where the command processor cannot be used, the copy and its folder are
// deleted at the next restart instead and the function returns; it also returns for a program that is not
// a relocated copy (nothing of it is deleted then).
void DeleteTempCopy();

// Ends the stage's process with `exitCode`, after the stage's summary in the log.
[[noreturn]] void EndStage(DWORD exitCode);

// The pieces of the stages.

inline constexpr wchar_t kPrivateFolderPrefix[] = L"TavoRemover-";
inline constexpr wchar_t kCopyName[] = L"Launchlet.exe";
inline constexpr wchar_t kTraceLibraryName[] = L"vlrtrace.dll";
// Only SYSTEM and the Administrators group, inherited by everything created inside, nothing inherited from
// the temporary folder.
inline constexpr wchar_t kPrivateFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Creates a new private folder under the temporary folder and writes its path (without a trailing
// backslash, MAX_PATH characters) to `folder`. FALSE, with the thread's last error set, when the temporary
// folder cannot be read, the path does not fit or the folder cannot be created.
BOOL CreatePrivateFolder(LPWSTR folder);

// What the first stage did before the start of the copy.
struct Relocation {
    enum Step { kDone, kOwnPath, kFolder, kTraceLibrary, kMove } failedStep = kDone;
    DWORD error = ERROR_SUCCESS;
    wchar_t folder[MAX_PATH] = {};
    wchar_t copy[MAX_PATH] = {};
};

// Moves the file `self` into a new private folder as Launchlet.exe, with the trace library of
// `installFolder` copied beside it when the folder is known (an absolute path) and holds one. On failure
// everything it made is removed again and `self` stays where it was.
Relocation RelocateIntoPrivateFolder(LPCWSTR self, LPCWSTR installFolder);

// After a copy that could not be started: moves it back to `self` and removes the private folder.
void UndoRelocation(const Relocation& relocation, LPCWSTR self);

// TRUE when `path` is Launchlet.exe directly inside a private folder (by its name) directly inside the
// temporary folder; `folder` (MAX_PATH characters) then receives that folder.
BOOL IsRelocatedCopy(LPCWSTR path, LPWSTR folder);

// The command processor would read more than a file name in `path`: it holds one of % ! ^ " & | < >.
bool HoldsCommandProcessorText(LPCWSTR path);

// Parameters of the command processor that deletes the copy and then its folder, AutoRun commands
// skipped, once the copy has had two seconds to end (a running program cannot be deleted):
// /D /S /c ""<system folder>\ping.exe" -n 3 127.0.0.1 > nul & del /q "<copy>" > nul & rd /s /q "<folder>" >
// nul". FALSE when a path holds command-processor text or the text does not fit in `count` characters.
BOOL BuildSelfDeleteParameters(LPCWSTR copy, LPCWSTR folder, LPWSTR parameters, size_t count);

// Marks the copy, the trace library beside it and the folder for deletion at the next restart (in that
// order); TRUE when each mark was made.
BOOL ScheduleDeletionAtRestart(LPCWSTR copy, LPCWSTR folder);
