// Crash dump handler of the plug-in host. When an exception escapes every handler, CrashDumpFilter writes
// a minidump of the process into the first folder the process can write to and ends the process with exit
// code 13. Nothing is shown to the user; diagnostics go to the debugger output (CrashLog).
#pragma once

#include <windows.h>

#include <cstddef>

// Exit code of the process after the handler ran.
constexpr UINT kCrashExitCode = 13;

// The unhandled-exception filter. Does not return: the process ends with exit code 13.
LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exceptionPointers);

// Writes a minidump of the current process to dumpPath with MiniDumpWriteDump of the given dbghelp
// module. The file must be new: whatever already is at that path (a file, a link) is neither overwritten
// nor followed, and the call fails. Returns the result of MiniDumpWriteDump, 0 on any failure (the file
// may then exist).
BOOL Exception_DBGMiniDump(const wchar_t* dumpPath, HMODULE dbghelp, EXCEPTION_POINTERS* exceptionPointers);

// Finds the first writable folder among the temporary folder, its "Low" subfolder, the Temporary Internet
// Files folder and its "Low" subfolder. `path` holds `length` characters; it receives the folder only
// when one was found and fits.
BOOL FindWritablePath(DWORD length, wchar_t* path);

// True when the folder exists and the caller's token is granted write and append access to it.
BOOL Exception_IsFolderWritable(const wchar_t* folder);

// The dwFileVersionMS and dwFileVersionLS of the file's version resource (version.dll, loaded from the
// system folder for the call); both are left unchanged when they cannot be read.
void GetModuleFileVersion(const wchar_t* filePath, DWORD* fileVersionMS, DWORD* fileVersionLS);

// Formats with wvsprintfW (at most 1023 characters) and writes the text with OutputDebugStringW.
void CrashLog(const wchar_t* format, ...);

namespace tavo::crash {

// The minidump type for a dbghelp.dll of the given file version (dwFileVersionMS: major in the high word,
// minor in the low word) on a Windows of the given version. An unknown dbghelp version (0.0) gets the
// plainest type, MiniDumpNormal.
DWORD MiniDumpTypeFor(DWORD dbghelpVersionMS, DWORD windowsMajor, DWORD windowsMinor);

constexpr size_t kDumpNameBuffer = 256;  // characters, terminator included
constexpr size_t kDumpPathBuffer = MAX_PATH;

// Builds the full path of the dump file: the folder joined with
// "vlrappcrash_<exeName>_<YYYYMMDDhhmmss>.dmp", or "vlrappcrash_<YYYYMMDDhhmmss>.dmp" when exeName is
// null or empty. When the name would not fit its 256-character buffer or the joined path would not fit
// MAX_PATH, the executable-name part is cut at its end so that the name still ends in "_<time>.dmp";
// when even the name without the executable does not fit, the result is FALSE.
BOOL BuildDumpFilePath(const wchar_t* folder, const wchar_t* exeName, const SYSTEMTIME& time,
                       wchar_t (&path)[kDumpPathBuffer]);

// The dump path with "_<number>" before its ".dmp" (the next name to try when `path` is taken); FALSE
// when `path` does not end in ".dmp" or the result would not fit.
BOOL NumberedDumpPath(const wchar_t* path, unsigned number, wchar_t (&numbered)[kDumpPathBuffer]);

}  // namespace tavo::crash

// Installs CrashDumpFilter as the process's unhandled-exception filter and keeps the filter it replaced;
// the kept filter is put back at process exit (C runtime exit list). Meant for one static instance in the
// program's start-up objects; a second instance changes nothing.
class CCrashFilterInstaller {
  public:
    CCrashFilterInstaller();
    CCrashFilterInstaller(const CCrashFilterInstaller&) = delete;
    CCrashFilterInstaller& operator=(const CCrashFilterInstaller&) = delete;

    // The exit-time routine: puts the kept filter back when there was one, and forgets it.
    static void RestorePreviousFilter();
};
