// The log's pieces shared by its files.
#pragma once

#include <windows.h>

#include <string>

namespace tavo::log {

// True while a log is open.
bool Active();

// Appends one line: the local time, this process's id, `kind`, and `text` with its line ends replaced by
// blanks. Nothing when no log is open or the line cannot be built; never throws.
void WriteLine(const wchar_t* kind, const std::wstring& text);

// The tick count at which the log was opened.
ULONGLONG OpenedAt();

// The debug lines of this process reach the log from StartDebugLines until StopDebugLines.
void StartDebugLines();
void StopDebugLines();

// Every recorded item reaches the log from StartItems until StopItems.
void StartItems();
void StopItems();

}  // namespace tavo::log
