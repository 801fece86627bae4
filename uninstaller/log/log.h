// The uninstaller's log. With "/log FILE" after a stage's command, the stage appends to FILE, as UTF-8
// lines that each begin with the local time and the writing process's id: every console line; every debug
// line of the process (the support library's too: they are taken where the system raises them, see
// log_debug.cpp); what became of every item the uninstall recorded (outcome/outcome.h), with the system's
// error code of a failure; every child process started, with its command and its exit code; and, at the
// stage's end, its summary (counts per step, the exit code, the time the stage took). The first stage
// hands "/log FILE" on to its copy, and both stages append to the same file.
//
// Each line reaches the file with one write of its own, appended at the file's end by the system (the
// file is opened for appending only, so the two stages never overwrite each other's lines): a run that is
// killed keeps every line up to its end. Without a log every function here does nothing, and nothing the
// program prints changes with or without one.
#pragma once

#include <windows.h>

#include <string>

#include "process/process.h"

// The exit codes of a stage that does not run because of its log (Windows Installer's codes for the same).
inline constexpr DWORD kExitLogFailure = 1622;      // the log cannot be written: nothing was done
inline constexpr DWORD kExitBadCommandLine = 1639;  // "/log" without a file name: nothing was done

struct LogStart {
    DWORD exitCode = ERROR_SUCCESS;  // not 0: the stage ends with it at once, after printing `message`
    std::wstring message;
};

// Looks for "/log" among the arguments after the command (argv[2] on) and opens the file named by the
// next one for appending (OpenLog). No "/log": nothing is opened and the result is 0.
LogStart StartLogFromCommandLine(int argc, wchar_t* argv[]);

// Opens `path` (made a full path) for appending, creating it when it is not there, and starts the log
// with a line naming this process's command line. A file that is there is never truncated. Refused
// (false, with `message` saying why) when the name leads to anything but a plain file with this one name:
// a folder, a device or pipe, a link at the final component (Windows: the link is opened itself, never its
// target; Wine follows it, and the final-path check refuses it), a file with further names (hard links).
bool OpenLog(const wchar_t* path, std::wstring& message);

// Stops logging and closes the file (tests that run several stages in one process).
void CloseLog();

// The log's full path, or empty when there is no log.
std::wstring LogPath();

// The copy's command-line addition: " /log "<full path>"" while a log is open, else empty.
std::wstring LogOptionForCopy();

// One console line as ConsoleLine writes it: each line of `text` is one log line.
void LogConsoleLine(const wchar_t* text);

// A child process just started with `commandLine` (its id read from `process`), and the same child after
// it ended (its exit code read from `process`; one that still runs is logged as such).
void LogChildStarted(const wchar_t* commandLine, HANDLE process);
void LogChildEnded(HANDLE process);
// A child run to its end (or its bound) by tavo::RunChild; nothing when it did not start.
void LogChildEnded(const tavo::ChildOutcome& run);

// The stage's summary: every step with its counts, the counts of the stage, `exitCode`, and the time since
// the log was opened.
void LogSummary(DWORD exitCode);
