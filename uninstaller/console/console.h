// Console output of the uninstaller: every write is one string followed by a line end, written at once.
// Text reaches standard output whatever its characters: through the console as written when standard
// output is a console, else as UTF-8 (a file or a pipe). A write that fails is lost alone: the next line
// is written as if it had not happened.
#pragma once

// Writes `text` (null as an empty text) and a line end ("\r\n") to standard output, and to the log.
void ConsoleLine(const wchar_t* text);

// The line on standard output (as ConsoleLine) and as a debug line ending in a line feed: the uninstaller's
// reports of a step that could not be done.
void ReportLine(const wchar_t* text);

// An optional empty line, a line of 76 asterisks and the title line: eight asterisks, the title and
// asterisks up to `width` characters. Every banner begins a step of the outcome, named by its title.
void ConsoleBanner(const wchar_t* title, int width = 76, bool emptyLineBefore = true);
