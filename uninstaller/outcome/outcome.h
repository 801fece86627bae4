// What the uninstall did with each thing it set out to remove, counted per step. The exit code that tells
// an administrator's deployment tool how the uninstall went, and the log's summary, are made from it.
// Single-threaded, as the uninstall sequence is; nothing here throws.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The exit codes of the uninstaller, as Windows Installer's own removal uses them.
inline constexpr DWORD kExitSuccess = 0;            // everything of the suite is gone
inline constexpr DWORD kExitFailure = 1603;         // something could not be removed (each was printed)
inline constexpr DWORD kExitAnotherInstall = 1618;  // another uninstall runs: nothing was touched
inline constexpr DWORD kExitRestartNeeded = 3010;   // gone, or scheduled for deletion at the next restart

enum class ItemKind { kFile, kFolder, kKey, kValue, kShortcut, kProcess, kService, kComponent, kProgram };
enum class ItemResult { kDeleted, kFailed, kScheduled };

// Starts the counts of a new step, named by its banner's title. Items recorded before the first step
// count under "start".
void BeginOutcomeStep(const wchar_t* title);

// Records one item: `what` is its path, key or name (null as empty); `error` the system's error code of
// a failure (0 otherwise).
void RecordOutcome(ItemKind kind, const wchar_t* what, ItemResult result, DWORD error = ERROR_SUCCESS);

struct OutcomeCounts {
    unsigned deleted = 0;
    unsigned failed = 0;
    unsigned scheduled = 0;
};

struct OutcomeStep {
    std::wstring title;
    OutcomeCounts counts;
};

// The steps so far, in the order they began, with their counts.
const std::vector<OutcomeStep>& OutcomeSteps();

// The counts of the whole run.
OutcomeCounts OutcomeTotals();

// 1603 when anything failed; else 3010 when anything was scheduled for the next restart; else 0.
DWORD OutcomeExitCode();

// Called for every recorded item, after it was counted (the log writes it). Null removes it.
using OutcomeObserver = void (*)(ItemKind kind, const wchar_t* what, ItemResult result, DWORD error);
void SetOutcomeObserver(OutcomeObserver observer);

// While set, an item whose name begins with `from` (followed by a backslash or nothing) is recorded with
// `to` in its place: a user's hive that the uninstaller loads under a name of its own is named by the
// user's SID. Null or empty `from` ends it.
void SetOutcomeNameAlias(const wchar_t* from, const wchar_t* to);

// Forgets every step and count (tests that run several sequences in one process).
void ResetOutcome();
