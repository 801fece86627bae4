// The two stages of the uninstaller and the command line that chooses between them.
//
// The first stage takes the machine's uninstall lock, makes a folder of its own under the temporary folder
// ("TavoRemover-" followed by 32 random hexadecimal digits, made and opened in one call, which fails when
// the name exists, with a protected DACL granting only SYSTEM and the Administrators group) and holds it
// open without delete sharing, so that nobody can rename or replace it. It copies the running program into
// it as Launchlet.exe, with the install folder's trace library beside it, starts that copy with
// "/TempUninstall" without a console, handing it the lock, the folder and a handle of the first stage's
// process, relays the copy's lines to its own console, waits for it and exits with
// its exit code. Neither stage can be interrupted by Ctrl+C or Ctrl+Break; closing the first stage's
// window ends only the first stage.
//
// The program stays in the install folder until the install folder's removal moves it, last, into the
// private folder: an uninstall that was interrupted (the copy ended from outside, the machine off) is
// finished by running the uninstall entry's command, or the program in the install folder, again.
//
// Who deletes what at the end: the copy ends first (its first stage waits for it), so the first stage is
// normally the last process standing. After the copy has ended it deletes everything in the folder through
// its handle; only its own image (which a running program cannot delete) is left to a hidden command
// processor that waits, on a pipe this process holds, until the first stage has ended, then deletes that
// one file by its name and removes the then empty folder (never a tree). A copy whose first stage has gone
// (its window was closed), or a copy started by hand, finishes its own folder the same way.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "steps/steps.h"
#include "support/scoped.h"

// The program's run: "/help" or "?" lists the commands, "/ManualUninstall" or "/mauni" runs the first
// stage, "/TempUninstall" the second; anything else (or nothing) does nothing and returns 0.
int RunRemover(int argc, wchar_t* argv[]);

// First stage: exits with the copy's exit code; with 1603 when the copy cannot be started (one line says
// why, and the program stays where it was); with 1618 when another uninstall runs.
[[noreturn]] void RunRelocationStage();

// Second stage: the uninstall sequence, then the end of the private folder (or, for a copy started by a
// first stage, nothing: that stage does it). Exits with the outcome's exit code.
[[noreturn]] void RunUninstallSequence();

// The banner "TRY TO DELETE TEMP FILE" and, unless the first stage that started this copy does it after
// it, the end of the private folder (FinishPrivateFolder).
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
// The machine-wide object that lets one uninstall run at a time.
inline constexpr wchar_t kUninstallLockName[] = L"Global\\TavoRemover-Uninstall";
// How the first stage hands its copy the lock, the folder and its own process (inherited handles): a
// further argument after "/TempUninstall".
inline constexpr wchar_t kStageHandlesOption[] = L"/StageHandles=";
// The one line of a stage asked to stop by Ctrl+C or Ctrl+Break.
inline constexpr wchar_t kInterruptionRefused[] =
    L"the uninstall cannot be interrupted; it finishes by itself";
// The first stage's line when its copy was ended from outside (with the copy's exit code).
inline constexpr wchar_t kInterruptedFormat[] =
    L"The uninstall was interrupted (exit code %lu): run it again to finish it.";

// A private folder, held from its creation (or adoption) until Remove or the end of the process: the
// handle has no DELETE right and no delete sharing, so nobody (this process included) can rename, move or
// delete the folder while it is held; files are moved in and deleted relative to the handle.
class PrivateFolder : public MovedOutFolder {
  public:
    PrivateFolder() = default;
    PrivateFolder(PrivateFolder&&) = default;
    PrivateFolder& operator=(PrivateFolder&&) = default;
    ~PrivateFolder() = default;

    // A new folder under the temporary folder; invalid, with `error`, when it cannot be made or what was
    // made is not a plain folder reached by its own name.
    static PrivateFolder Create(DWORD& error);
    // `handle` (this process's, taken over) when it is a plain folder whose final path is `expectedPath`;
    // otherwise the handle is closed and the result invalid.
    static PrivateFolder Adopt(HANDLE handle, const std::wstring& expectedPath);
    // Opens the folder at `path` (without following a link) and adopts it.
    static PrivateFolder Open(const std::wstring& path, DWORD& error);

    bool valid() const { return handle_.valid(); }
    HANDLE handle() const { return handle_.get(); }
    // The folder's final path (no trailing backslash): for printing, and for the steps that cannot take a
    // handle (a copy of a file into it, the command processor).
    const std::wstring& path() const { return path_; }

    // The file at `source` (no folder, no link) renamed into the folder as `name`, never replacing a file.
    DWORD MoveIn(const std::wstring& source, const wchar_t* name) override;
    DWORD MoveIn(HANDLE file, const wchar_t* name) override;
    // The file `name` of the folder renamed to `targetName` in the folder open as `target`, never replacing
    // a file there.
    DWORD MoveOut(const wchar_t* name, HANDLE target, const wchar_t* targetName);
    // `source` copied into the folder as `name`, never replacing a file.
    DWORD CopyIn(const std::wstring& source, const wchar_t* name);
    // Deletes the file `name` in the folder through a handle opened relative to the folder's (a read-only
    // one loses that attribute first). The system's error code; 0 when deleted.
    DWORD DeleteEntry(const wchar_t* name) override;
    std::wstring PathOf(const wchar_t* name) const override { return path_ + L"\\" + name; }
    // The names in the folder.
    std::vector<std::wstring> Entries() const;
    // Gives up the hold and deletes the folder when it is empty and still the same folder (its file id).
    DWORD Remove();

  private:
    bool Verify(const std::wstring& name);

    tavo::ScopedHandle handle_;
    std::wstring path_;
    BY_HANDLE_FILE_INFORMATION identity_ = {};
};

// What one process of the uninstaller holds for its run.
struct StageState {
    tavo::ScopedHandle lock;
    PrivateFolder folder;
    // This copy was started by a first stage, which removes the folder after the copy has ended (unless it
    // has gone by then: see firstStage).
    bool firstStageFinishes = false;
    // The first stage's process (SYNCHRONIZE), when it handed one.
    tavo::ScopedHandle firstStage;
};
StageState& Stages();

// The uninstall lock: a new handle when this process made it; empty with ERROR_ALREADY_EXISTS (or
// ERROR_ACCESS_DENIED) when another uninstall holds it.
tavo::ScopedHandle TakeUninstallLock(DWORD& error);
// TRUE when `handle` is a handle of this process to the uninstall lock.
bool IsUninstallLock(HANDLE handle);
// The one line of a program that finds another uninstall running.
void ReportAnotherUninstall();

// Second stage: the lock and folder handed over by a first stage (verified), else the lock taken here and
// the folder of this copy (when it is a relocated copy) or a new one. False when another uninstall runs
// (the line was printed).
bool PrepareSecondStage(int argc, wchar_t* argv[]);

// The handles a first stage hands its copy (values in both processes' handle tables).
struct StageHandles {
    HANDLE lock = nullptr;
    HANDLE folder = nullptr;
    HANDLE firstStage = nullptr;  // may be null
};
// The command line of the copy: "<copy>" /TempUninstall and the handles it inherits.
std::wstring CopyCommandLine(const std::wstring& copy, const StageHandles& handles);
// The handles given by kStageHandlesOption in any argument after the first; false when there is none.
bool ParseStageHandles(int argc, wchar_t* argv[], StageHandles& handles);

// Ctrl+C and Ctrl+Break are answered with the line kInterruptionRefused and otherwise ignored, for the
// rest of the process (a handler, not the inherited "ignore" flag: children keep their own defaults).
void RefuseInterruptions();

// The copy's console lines on their way to the first stage's console: a pipe whose writing end the copy
// gets as its standard output and error, read by a thread of the first stage that writes each piece to
// this process's standard output (decoded from UTF-8 for a console, as it is for a file or a pipe).
class ConsoleRelay {
  public:
    ConsoleRelay() = default;
    ConsoleRelay(const ConsoleRelay&) = delete;
    ConsoleRelay& operator=(const ConsoleRelay&) = delete;
    ~ConsoleRelay();
    // Makes the pipe; false when it cannot be made (then there is no relay).
    bool Open();
    // The writing end, for the child (null without a pipe).
    HANDLE Writer() const { return writer_.get(); }
    // After the child has started (or failed to): closes this process's writing end and starts reading.
    void Start();
    // Waits at most `milliseconds` for the pipe's end (all writers gone) and what was read to be written.
    void Finish(DWORD milliseconds);

  private:
    static DWORD WINAPI Run(void* reader);
    static void Relay(HANDLE reader);

    tavo::ScopedHandle reader_;
    tavo::ScopedHandle writer_;
    tavo::ScopedHandle thread_;
};

// What the first stage did before the start of the copy.
struct Relocation {
    enum Step { kDone, kOwnPath, kFolder, kTraceLibrary, kMove } failedStep = kDone;
    DWORD error = ERROR_SUCCESS;
    PrivateFolder folder;
    std::wstring copy;
};

// Copies the file `self` into a new private folder as Launchlet.exe, with the trace library of
// `installFolder` copied beside it when the folder is known (an absolute path) and holds one. On failure
// everything it made is removed again.
Relocation RelocateIntoPrivateFolder(LPCWSTR self, LPCWSTR installFolder);

// After a copy that could not be started: deletes it and the trace library, and removes the private folder.
void UndoRelocation(Relocation& relocation);

// Frees the trace library this process loaded, so that its file can be deleted or moved while the process
// still runs (nothing is traced afterwards).
void ReleaseTraceLibrary();

// Deletes every file of the folder through its handle and then the folder. This process's own image (by
// its file name: Launchlet.exe for the copy, TavoRemover.exe for a first stage the install folder's removal
// moved in) is left to a hidden command processor that deletes it and removes the empty folder once this
// process has ended; where the command processor cannot be used, it and the folder are marked for
// deletion at the next restart (one line says why). A file another process still holds stays (the step
// that put it there marked it for deletion at the next restart), and so does the folder until then.
void FinishPrivateFolder(PrivateFolder& folder);

// TRUE when `path` is Launchlet.exe directly inside a private folder (by its name) directly inside the
// temporary folder; `folder` (MAX_PATH characters) then receives that folder.
BOOL IsRelocatedCopy(LPCWSTR path, LPWSTR folder);

// The command processor would read more than a file name in `path`: it holds one of % ! ^ " & | < >.
bool HoldsCommandProcessorText(LPCWSTR path);

// Parameters of the command processor that deletes the copy and then its (empty) folder, AutoRun commands
// skipped, once the process that started it has ended: it first reads its standard input, a pipe whose
// other end only that process holds, to its end; a file still mapped for a moment is tried again, up to
// ten times a second apart. FALSE when a path holds command-processor text or the text does not fit in
// `count` characters.
BOOL BuildSelfDeleteParameters(LPCWSTR copy, LPCWSTR folder, LPWSTR parameters, size_t count);

// Marks the copy and then its folder for deletion at the next restart; TRUE when both marks were made.
BOOL ScheduleDeletionAtRestart(LPCWSTR copy, LPCWSTR folder);
