// The dump file's name and the minidump type: plain computations, no system state.
#include <shlwapi.h>

#include <cwchar>

#include "crash/crash_dump.h"

namespace tavo::crash {
namespace {

constexpr DWORD kMiniDumpNormal = 0x0;
constexpr DWORD kMiniDumpWithHandleData = 0x4;
constexpr DWORD kMiniDumpWithUnloadedModules = 0x20;
constexpr DWORD kMiniDumpWithThreadInfo = 0x1000;

constexpr size_t kPrefixLength = 12;  // "vlrappcrash_"
constexpr size_t kSuffixLength = 4;   // ".dmp"

}  // namespace

DWORD MiniDumpTypeFor(DWORD dbghelpVersionMS, DWORD windowsMajor, DWORD windowsMinor) {
    // Version 0.0 means the version resource could not be read: nothing is known about the flags this
    // dbghelp understands.
    if (dbghelpVersionMS == 0) return kMiniDumpNormal;
    const DWORD major = HIWORD(dbghelpVersionMS);
    const DWORD minor = LOWORD(dbghelpVersionMS);
    const bool version51 = major == 5 && minor == 1;
    const bool windowsXpOrLater = windowsMajor > 5 || (windowsMajor == 5 && windowsMinor >= 1);
    DWORD type = kMiniDumpNormal;
    if (major > 6 || (major == 6 && minor >= 1)) type |= kMiniDumpWithThreadInfo;
    if (windowsXpOrLater && !version51) type |= kMiniDumpWithUnloadedModules;
    if (!version51) type |= kMiniDumpWithHandleData;
    return type;
}

BOOL BuildDumpFilePath(const wchar_t* folder, const wchar_t* exeName, const SYSTEMTIME& time,
                       wchar_t (&path)[kDumpPathBuffer]) {
    path[0] = L'\0';
    if (!folder) return FALSE;
    // 14 digits for every real time; a year above 9999 only makes the text longer, never overruns.
    wchar_t timeText[32] = {};
    wsprintfW(timeText, L"%04hu%02hu%02hu%02hu%02hu%02hu", time.wYear, time.wMonth, time.wDay, time.wHour,
              time.wMinute, time.wSecond);
    const size_t bareLength = kPrefixLength + wcslen(timeText) + kSuffixLength;
    const size_t folderLength = wcslen(folder);
    const size_t separator = (folderLength > 0 && folder[folderLength - 1] != L'\\') ? 1 : 0;
    const size_t pathRoom = kDumpPathBuffer - 1;  // characters of the joined path, terminator excluded
    if (bareLength > kDumpNameBuffer - 1 || folderLength + separator + bareLength > pathRoom) return FALSE;

    // The executable's part and its "_" must fit both the name buffer and the joined path.
    size_t room = kDumpNameBuffer - 1 - bareLength;
    if (pathRoom - folderLength - separator - bareLength < room)
        room = pathRoom - folderLength - separator - bareLength;
    const size_t exeRoom = room > 1 ? room - 1 : 0;
    const size_t exeLength = exeName ? wcslen(exeName) : 0;
    const size_t exeUsed = exeLength < exeRoom ? exeLength : exeRoom;

    wchar_t name[kDumpNameBuffer] = {};
    if (exeUsed == 0) {
        wsprintfW(name, L"vlrappcrash_%s.dmp", timeText);
    } else {
        wchar_t exePart[kDumpNameBuffer] = {};
        wmemcpy(exePart, exeName, exeUsed);
        wsprintfW(name, L"vlrappcrash_%s_%s.dmp", exePart, timeText);
    }
    if (!PathCombineW(path, folder, name)) {
        path[0] = L'\0';
        return FALSE;
    }
    return TRUE;
}

BOOL NumberedDumpPath(const wchar_t* path, unsigned number, wchar_t (&numbered)[kDumpPathBuffer]) {
    numbered[0] = L'\0';
    if (!path) return FALSE;
    const size_t length = wcslen(path);
    constexpr size_t kExtension = 4;  // ".dmp"
    if (length < kExtension || lstrcmpiW(path + length - kExtension, L".dmp") != 0) return FALSE;
    wchar_t suffix[16] = {};
    wsprintfW(suffix, L"_%u.dmp", number);
    const size_t stem = length - kExtension;
    if (stem + wcslen(suffix) >= kDumpPathBuffer) return FALSE;
    wmemcpy(numbered, path, stem);
    wcscpy(numbered + stem, suffix);
    return TRUE;
}

}  // namespace tavo::crash
