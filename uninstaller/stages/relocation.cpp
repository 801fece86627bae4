// The first stage: the lock, the private folder, the move of the program into it, the start of the copy,
// the wait for it, and the end of the folder after it.
#include <windows.h>

#include <cwchar>
#include <string>

#include "console/console.h"
#include "install/install.h"
#include "log/log.h"
#include "outcome/outcome.h"
#include "process/process.h"
#include "stages/stages.h"
#include "support/scoped.h"
#include "trace/trace.h"

namespace {

// A folder that can stand for the install folder: a drive-letter path ("C:\...") or a UNC path.
bool IsAbsoluteFolder(LPCWSTR folder) {
    if (!folder) return false;
    const bool driveLetter =
        ((folder[0] >= L'A' && folder[0] <= L'Z') || (folder[0] >= L'a' && folder[0] <= L'z')) &&
        folder[1] == L':' && folder[2] == L'\\';
    const bool unc = folder[0] == L'\\' && folder[1] == L'\\' && folder[2] != L'\0';
    return driveLetter || unc;
}

Relocation Failed(Relocation relocation, Relocation::Step step, DWORD error) {
    relocation.failedStep = step;
    relocation.error = error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
    if (relocation.folder.valid()) {
        relocation.folder.DeleteEntry(kTraceLibraryName);
        relocation.folder.Remove();
    }
    relocation.folder = PrivateFolder();
    relocation.copy.clear();
    return relocation;
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle && GetConsoleMode(handle, &mode);
}

// A console made for this process alone that nobody reads (a deployment tool starts it without a window,
// or with its output going to a file or a pipe) is given up: its host process keeps the folder it was made in
// (the install folder) as its current folder for as long as the console lives (measured under Wine), and no
// line of this run is written to it.
void LeaveOwnUnreadConsole() {
    DWORD processes[2] = {};
    if (GetConsoleProcessList(processes, 2) != 1) return;
    const bool shown = GetConsoleWindow() != nullptr;
    if (shown && (IsConsole(GetStdHandle(STD_OUTPUT_HANDLE)) || IsConsole(GetStdHandle(STD_ERROR_HANDLE))))
        return;  // a window someone reads
    FreeConsole();
}

// This process is attached to a console (its own window, or the one of the program that started it).
bool HasConsole() {
    DWORD processes[1] = {};
    return GetConsoleProcessList(processes, 1) > 0;
}

// A standard handle that is a file or a pipe (not one of the console given up); null otherwise.
HANDLE FileHandle(DWORD standard) {
    const HANDLE handle = GetStdHandle(standard);
    if (!handle || handle == INVALID_HANDLE_VALUE || IsConsole(handle)) return nullptr;
    const DWORD type = GetFileType(handle);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR ? handle : nullptr;
}

// After a copy that was ended from outside: the libraries it moved out of the install folder that are
// still in use (it had not stopped the suite's programs yet) go back where they came from, for the run
// that finishes the uninstall; nothing of the install folder stays behind in the temporary folder.
void ReturnMovedLibraries(PrivateFolder& folder, LPCWSTR installFolder) {
    if (!installFolder || !*installFolder) return;
    DWORD error = ERROR_SUCCESS;
    // Held the same way as the private folder (no link, where it was found), as the target of the renames.
    const PrivateFolder install = PrivateFolder::Open(installFolder, error);
    if (!install.valid()) return;
    for (const MovedLibrary& library : kMovedLibraries) {
        if (folder.DeleteEntry(library.movedName) != ERROR_SUCCESS)
            folder.MoveOut(library.movedName, install.handle(), library.name);
    }
}

[[noreturn]] void Fail(const wchar_t* format, DWORD error) {
    wchar_t line[MAX_PATH] = {};
    swprintf(line, MAX_PATH, format, static_cast<unsigned long>(error));
    ReportLine(line);
    EndStage(kExitFailure);
}

}  // namespace

std::wstring CopyCommandLine(const std::wstring& copy, const StageHandles& handed) {
    wchar_t handles[96] = {};
    swprintf(handles, ARRAYSIZE(handles), L"%ls0x%lX,0x%lX,0x%lX", kStageHandlesOption,
             static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(handed.lock)),
             static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(handed.folder)),
             static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(handed.firstStage)));
    return L"\"" + copy + L"\" /TempUninstall " + handles;
}

Relocation RelocateIntoPrivateFolder(LPCWSTR self, LPCWSTR installFolder) {
    Relocation relocation;
    if (!self || !*self) return Failed(std::move(relocation), Relocation::kOwnPath, ERROR_INVALID_PARAMETER);
    DWORD error = ERROR_SUCCESS;
    relocation.folder = PrivateFolder::Create(error);
    if (!relocation.folder.valid()) return Failed(std::move(relocation), Relocation::kFolder, error);

    // The copy binds the trace library from its own folder: only the one of the install folder is put
    // there, and none when the install folder is unknown or holds none.
    const std::wstring source = IsAbsoluteFolder(installFolder)
                                    ? std::wstring(installFolder) + L"\\" + kTraceLibraryName
                                    : std::wstring();
    if (!source.empty() && source.size() < MAX_PATH &&
        GetFileAttributesW(source.c_str()) != INVALID_FILE_ATTRIBUTES) {
        error = relocation.folder.CopyIn(source, kTraceLibraryName);
        if (error != ERROR_SUCCESS) return Failed(std::move(relocation), Relocation::kTraceLibrary, error);
    }

    relocation.copy = relocation.folder.PathOf(kCopyName);
    if (relocation.copy.size() >= MAX_PATH)
        return Failed(std::move(relocation), Relocation::kMove, ERROR_FILENAME_EXCED_RANGE);
    // Copied, never moved: the program stays in the install folder (and the uninstall entry's command keeps
    // working) until the install folder itself is removed, so that an uninstall that is interrupted can be
    // run again from there.
    error = relocation.folder.CopyIn(self, kCopyName);
    if (error != ERROR_SUCCESS) return Failed(std::move(relocation), Relocation::kMove, error);
    return relocation;
}

void UndoRelocation(Relocation& relocation) {
    if (relocation.failedStep != Relocation::kDone || !relocation.folder.valid()) return;
    relocation.folder.DeleteEntry(kCopyName);
    relocation.folder.DeleteEntry(kTraceLibraryName);
    relocation.folder.Remove();
}

void ReleaseTraceLibrary() {
    if (!g_hVlrTracer) return;
    g_pfnVLRTRACEA = nullptr;
    g_pfnVlrTraceResident = nullptr;
    FreeLibrary(g_hVlrTracer);
    g_hVlrTracer = nullptr;
}

void RunRelocationStage() {
    DWORD error = ERROR_SUCCESS;
    Stages().lock = TakeUninstallLock(error);
    if (!Stages().lock) {
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
            ReportAnotherUninstall();
            EndStage(kExitAnotherInstall);
        }
        Fail(L"Cannot take the machine's uninstall lock (error %lu): nothing was started.", error);
    }
    ConsoleBanner(L"TRY TO MOVE FILE TO TEMP");
    // Out of the folder it was started in (a deployment tool starts it in the install folder): a process's
    // current folder cannot be removed while it runs.
    SetCurrentDirectoryW(tavo::SystemFolder().c_str());
    LeaveOwnUnreadConsole();
    wchar_t self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        Fail(L"Cannot read the path of this program (error %lu): nothing was started.",
             length ? ERROR_INSUFFICIENT_BUFFER : GetLastError());
    }
    const InstallFolder installFolder = ReadInstallFolder();
    Relocation relocation = RelocateIntoPrivateFolder(self, installFolder.TrustedPath());
    switch (relocation.failedStep) {
        case Relocation::kDone:
            break;
        case Relocation::kOwnPath:
            Fail(L"Cannot read the path of this program (error %lu): nothing was started.", relocation.error);
        case Relocation::kFolder:
            Fail(L"Cannot create a private folder in the temporary folder (error %lu): nothing was started.",
                 relocation.error);
        case Relocation::kTraceLibrary:
            Fail(L"Cannot copy the trace library into the private folder (error %lu): nothing was started.",
                 relocation.error);
        case Relocation::kMove:
            Fail(L"Cannot copy this program into the private folder (error %lu): nothing was started.",
                 relocation.error);
    }

    // The trace library this stage bound lies in the install folder: freed, so that the copy can move it
    // out and delete it while this stage waits.
    ReleaseTraceLibrary();

    // Started by its full path with CreateProcessW, from the system folder: the shell would expand %NAME%
    // in the path (which comes from the user's TMP) and could then start another program elevated. It
    // inherits the lock, the folder and a handle of this process (by which it learns whether this stage
    // still lives at its end) and nothing else of this process's own. It runs without a console: closing
    // this stage's window, or Ctrl+C in it, cannot reach it. Its lines reach this stage's console through a
    // pipe, or go where this stage's output goes (a deployment tool's file or pipe) when this stage has no
    // console.
    StageHandles handed;
    handed.lock = Stages().lock.get();
    handed.folder = relocation.folder.handle();
    tavo::ScopedHandle ownProcess;
    HANDLE processHandle = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &processHandle,
                        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0))
        ownProcess.reset(processHandle);
    handed.firstStage = ownProcess.get();
    tavo::ChildStart start;
    start.inherit = {handed.lock, handed.folder};
    if (handed.firstStage) start.inherit.push_back(handed.firstStage);
    start.creationFlags = DETACHED_PROCESS;
    start.useStandardHandles = true;
    ConsoleRelay relay;
    if (HasConsole() && relay.Open()) {
        start.standardOutput = relay.Writer();
        start.standardError = relay.Writer();
    } else {
        start.standardInput = FileHandle(STD_INPUT_HANDLE);
        start.standardOutput = FileHandle(STD_OUTPUT_HANDLE);
        start.standardError = FileHandle(STD_ERROR_HANDLE);
    }
    RefuseInterruptions();
    const std::wstring commandLine = CopyCommandLine(relocation.copy, handed) + LogOptionForCopy();
    const tavo::ScopedHandle copy = tavo::StartChild(relocation.copy, commandLine, start, error);
    relay.Start();
    if (!copy) {
        relay.Finish(0);
        UndoRelocation(relocation);
        Fail(L"Cannot start the relocated copy (error %lu): nothing was started.", error);
    }
    LogChildStarted(commandLine.c_str(), copy.get());

    // The exit code of the uninstall is the copy's: a deployment tool that waits for this process sees the
    // end of the whole uninstall and its result.
    DWORD exitCode = kExitFailure;
    WaitForSingleObject(copy.get(), INFINITE);
    if (!GetExitCodeProcess(copy.get(), &exitCode)) exitCode = kExitFailure;
    LogChildEnded(copy.get());
    relay.Finish(5000);
    if (exitCode != kExitSuccess && exitCode != kExitRestartNeeded && exitCode != kExitFailure &&
        exitCode != kExitAnotherInstall) {
        // Ended from outside (its process was ended, the machine shuts down): whatever it reached stays
        // done, and the program in the install folder (or the uninstall entry) finishes the rest.
        wchar_t line[MAX_PATH] = {};
        swprintf(line, MAX_PATH, kInterruptedFormat, static_cast<unsigned long>(exitCode));
        ReportLine(line);
        exitCode = kExitFailure;
        ReturnMovedLibraries(relocation.folder, installFolder.TrustedPath());
    }
    FinishPrivateFolder(relocation.folder);
    EndStage(exitCode);
}
