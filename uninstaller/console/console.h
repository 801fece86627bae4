// Console output of the uninstaller: every write is one string followed by a line end, flushed.
#pragma once

void ConsoleLine(const wchar_t* text);

// An optional empty line, a line of 76 asterisks and the title line: eight asterisks, the title and
// asterisks up to `width` characters.
void ConsoleBanner(const wchar_t* title, int width = 76, bool emptyLineBefore = true);
