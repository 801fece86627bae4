// The unhandled-exception filter and the minidump writer.
//
// Everything here runs in a process that is already broken: no C++ exceptions, no heap beyond the few
// small blocks of the version query, and every owner that must be released after a structured exception
// lives outside the guarded body (the guard does not run destructors of the frames it unwinds).
#include "crash/crash_dump.h"

#include <dbghelp.h>
#include <shlwapi.h>

#include <cstdarg>
#include <cstdio>

#include "process/process.h"
#include "seh/seh_guard.h"
#include "support/proc_address.h"
#include "support/scoped.h"

namespace {

using GetFileVersionInfoSizeFunction = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using GetFileVersionInfoFunction = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using VerQueryValueFunction = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

tavo::SehVerdict HandleEvery(const EXCEPTION_RECORD&) { return tavo::SehVerdict::kHandle; }

// The thread that runs the handler; 0 until one does.
volatile LONG g_handlerThread = 0;

// What the guarded part of the dump writer leaves for the code after the guard.
struct DumpState {
    tavo::ScopedHandle file;
    bool fileCreated = false;
    BOOL result = FALSE;
};

void WriteDumpGuarded(const wchar_t* dumpPath, HMODULE dbghelp, EXCEPTION_POINTERS* exceptionPointers,
                      DumpState& state) {
    if (!dbghelp) return;
    auto writeDump = tavo::ProcAddress<MiniDumpWriteDumpFunction>(dbghelp, "MiniDumpWriteDump");
    if (!writeDump) {
        CrashLog(L"DBGMiniDump GetProcAddress Failed");
        return;
    }
    fputws(dumpPath, stdout);
    fputws(L"\n", stdout);
    fflush(stdout);

    // A new file only: a file or link planted at the predictable name is neither overwritten nor followed.
    state.file.reset(CreateFileW(dumpPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr));
    if (!state.file) {
        const DWORD error = GetLastError();
        CrashLog(L"Create Crash MiniDump File [%s] failed, err [%d]\r\n", dumpPath, error);
        return;
    }
    state.fileCreated = true;

    wchar_t dbghelpPath[256] = {};
    DWORD versionMS = 0;
    DWORD versionLS = 0;
    if (GetModuleFileNameW(dbghelp, dbghelpPath, 256) != 0) {
        dbghelpPath[255] = L'\0';
        GetModuleFileVersion(dbghelpPath, &versionMS, &versionLS);
    }
    OSVERSIONINFOW os = {};
    os.dwOSVersionInfoSize = sizeof(os);
    GetVersionExW(&os);
    const DWORD type = tavo::crash::MiniDumpTypeFor(versionMS, os.dwMajorVersion, os.dwMinorVersion);
    CrashLog(
        L"MiniDumpWriteDump Parameters [MimiType:%d] [MajorVer:%d] [MinorVer:%d] [OS.MajorVersion:%d]\r\n",
        type, HIWORD(versionMS), LOWORD(versionMS), os.dwMajorVersion);

    MINIDUMP_EXCEPTION_INFORMATION exceptionInfo = {};
    exceptionInfo.ThreadId = GetCurrentThreadId();
    exceptionInfo.ExceptionPointers = exceptionPointers;
    exceptionInfo.ClientPointers = FALSE;
    const BOOL written = writeDump(GetCurrentProcess(), GetCurrentProcessId(), state.file.get(),
                                   static_cast<MINIDUMP_TYPE>(type),
                                   exceptionPointers ? &exceptionInfo : nullptr, nullptr, nullptr);
    const DWORD error = GetLastError();
    CrashLog(L"MiniDumpWriteDump [%d] err [%u]\r\n", written, error);
    state.result = written;
}

// Exception_DBGMiniDump, also telling whether it created (and so owns) the file.
BOOL WriteMiniDump(const wchar_t* dumpPath, HMODULE dbghelp, EXCEPTION_POINTERS* exceptionPointers,
                   bool* fileCreated) {
    DumpState state;
    const bool completed =
        tavo::SehTry([&] { WriteDumpGuarded(dumpPath, dbghelp, exceptionPointers, state); }, HandleEvery);
    state.file.reset();  // also after a structured exception, so that a failed dump can be deleted
    if (fileCreated) *fileCreated = state.fileCreated;
    if (!completed) {
        CrashLog(L"Exception encountered in Exception_DBGMiniDump\r\n");
        fputs("Exception encountered in Exception_DBGMiniDump\n", stdout);
        fflush(stdout);
        return FALSE;
    }
    return state.result;
}

// Replaces a taken dump path (a file or link of that name exists) by the first free numbered one;
// FALSE when none of the first few is free.
bool TakeFreeName(wchar_t (&path)[tavo::crash::kDumpPathBuffer]) {
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return true;
    wchar_t numbered[tavo::crash::kDumpPathBuffer] = {};
    for (unsigned number = 2; number <= 100; ++number) {
        if (!tavo::crash::NumberedDumpPath(path, number, numbered)) return false;
        if (GetFileAttributesW(numbered) == INVALID_FILE_ATTRIBUTES) {
            wcscpy(path, numbered);
            return true;
        }
    }
    return false;
}

}  // namespace

void CrashLog(const wchar_t* format, ...) {
    wchar_t text[1024];
    text[0] = L'\0';
    va_list args;
    va_start(args, format);
    wvsprintfW(text, format, args);
    va_end(args);
    text[1023] = L'\0';
    OutputDebugStringW(text);
}

void GetModuleFileVersion(const wchar_t* filePath, DWORD* fileVersionMS, DWORD* fileVersionLS) {
    if (!filePath || !fileVersionMS || !fileVersionLS) return;
    tavo::ScopedLibrary version(LoadSystemLibraryEx(L"version.dll"));
    auto infoSize =
        tavo::ProcAddress<GetFileVersionInfoSizeFunction>(version.get(), "GetFileVersionInfoSizeW");
    auto readInfo = tavo::ProcAddress<GetFileVersionInfoFunction>(version.get(), "GetFileVersionInfoW");
    auto query = tavo::ProcAddress<VerQueryValueFunction>(version.get(), "VerQueryValueW");
    if (!infoSize || !readInfo || !query) return;
    DWORD ignored = 0;
    const DWORD size = infoSize(filePath, &ignored);
    if (size == 0) return;
    tavo::ScopedProcessHeapMemory block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (!block) return;
    if (!readInfo(filePath, 0, size, block.get())) return;
    void* fixed = nullptr;
    UINT fixedLength = 0;
    if (!query(block.get(), L"\\", &fixed, &fixedLength) || !fixed || fixedLength < sizeof(VS_FIXEDFILEINFO))
        return;
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    *fileVersionMS = info->dwFileVersionMS;
    *fileVersionLS = info->dwFileVersionLS;
}

BOOL Exception_DBGMiniDump(const wchar_t* dumpPath, HMODULE dbghelp, EXCEPTION_POINTERS* exceptionPointers) {
    return WriteMiniDump(dumpPath, dbghelp, exceptionPointers, nullptr);
}

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exceptionPointers) {
    // One dump per process. A thread that crashes while another writes the dump waits (and is recorded in
    // the dump) until that thread ends the process; a fault of the handler itself ends the process at once.
    const LONG self = static_cast<LONG>(GetCurrentThreadId());
    const LONG owner = InterlockedCompareExchange(&g_handlerThread, self, 0);
    if (owner == self) ExitProcess(kCrashExitCode);
    if (owner != 0) {
        for (;;) Sleep(INFINITE);
    }

    wchar_t folder[MAX_PATH] = {};
    if (!FindWritablePath(MAX_PATH, folder)) {
        CrashLog(L"Find writable path failed\r\n");
        ExitProcess(kCrashExitCode);
    }
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    // From the system folder only: the folder of the executable (or the current one) may hold anything.
    tavo::ScopedLibrary dbghelp(LoadSystemLibraryEx(L"dbghelp.dll"));
    if (!dbghelp) ExitProcess(kCrashExitCode);

    // An executable path cut short by the buffer has no reliable file name: the name is left out then.
    wchar_t exePath[MAX_PATH] = {};
    const DWORD exeLength = GetModuleFileNameW(nullptr, exePath, MAX_PATH);
    const wchar_t* exeName = (exeLength != 0 && exeLength < MAX_PATH) ? PathFindFileNameW(exePath) : nullptr;
    wchar_t dumpPath[tavo::crash::kDumpPathBuffer] = {};
    if (tavo::crash::BuildDumpFilePath(folder, exeName, now, dumpPath) && TakeFreeName(dumpPath)) {
        bool fileCreated = false;
        if (!WriteMiniDump(dumpPath, dbghelp.get(), exceptionPointers, &fileCreated) && fileCreated)
            DeleteFileW(dumpPath);
    }
    dbghelp.reset();
    ExitProcess(kCrashExitCode);
}
