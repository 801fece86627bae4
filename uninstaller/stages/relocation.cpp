#include <windows.h>

#include <cwchar>

#include "console/console.h"
#include "install/install.h"
#include "stages/stages.h"
#include "support/scoped.h"

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

bool JoinPath(wchar_t (&path)[MAX_PATH], LPCWSTR folder, LPCWSTR name) {
    const int written = swprintf(path, MAX_PATH, L"%ls\\%ls", folder, name);
    return written > 0 && written < MAX_PATH;
}

void RemoveFolderOf(const Relocation& relocation) {
    wchar_t library[MAX_PATH] = {};
    if (JoinPath(library, relocation.folder, kTraceLibraryName)) DeleteFileW(library);
    RemoveDirectoryW(relocation.folder);
}

Relocation Failed(Relocation relocation, Relocation::Step step) {
    relocation.failedStep = step;
    relocation.error = GetLastError();
    if (relocation.error == ERROR_SUCCESS) relocation.error = ERROR_GEN_FAILURE;
    if (relocation.folder[0]) RemoveFolderOf(relocation);
    relocation.folder[0] = L'\0';
    relocation.copy[0] = L'\0';
    return relocation;
}

void Report(const wchar_t* format, DWORD error) {
    wchar_t line[MAX_PATH] = {};
    swprintf(line, MAX_PATH, format, static_cast<unsigned long>(error));
    ReportLine(line);
}

// Starts the copy with "/TempUninstall", shown, in this console.
bool StartCopy(LPCWSTR copy, DWORD& error) {
    wchar_t commandLine[MAX_PATH + 32] = {};
    const int written = swprintf(commandLine, ARRAYSIZE(commandLine), L"\"%ls\" /TempUninstall", copy);
    if (written <= 0 || written >= static_cast<int>(ARRAYSIZE(commandLine))) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(copy, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        error = GetLastError();
        return false;
    }
    const tavo::ScopedHandle thread(process.hThread);
    const tavo::ScopedHandle child(process.hProcess);
    return true;
}

}  // namespace

Relocation RelocateIntoPrivateFolder(LPCWSTR self, LPCWSTR installFolder) {
    Relocation relocation;
    if (!self || !*self) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Failed(relocation, Relocation::kOwnPath);
    }
    if (!CreatePrivateFolder(relocation.folder)) return Failed(relocation, Relocation::kFolder);

    // The copy binds the trace library from its own folder: only the one of the install folder is put
    // there, and none when the install folder is unknown or holds none.
    wchar_t source[MAX_PATH] = {};
    if (IsAbsoluteFolder(installFolder) && JoinPath(source, installFolder, kTraceLibraryName) &&
        GetFileAttributesW(source) != INVALID_FILE_ATTRIBUTES) {
        wchar_t target[MAX_PATH] = {};
        if (!JoinPath(target, relocation.folder, kTraceLibraryName) || !CopyFileW(source, target, TRUE)) {
            return Failed(relocation, Relocation::kTraceLibrary);
        }
    }

    if (!JoinPath(relocation.copy, relocation.folder, kCopyName)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return Failed(relocation, Relocation::kMove);
    }
    // Fails when the target exists, which in a new folder of this process's own it cannot.
    if (!MoveFileExW(self, relocation.copy, MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
        return Failed(relocation, Relocation::kMove);
    }
    return relocation;
}

void UndoRelocation(const Relocation& relocation, LPCWSTR self) {
    if (relocation.failedStep != Relocation::kDone || !relocation.folder[0]) return;
    // A move across volumes copied the program and left it in place: then the copy is only deleted.
    if (!MoveFileExW(relocation.copy, self, MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(relocation.copy);
    }
    RemoveFolderOf(relocation);
}

void RunRelocationStage() {
    ConsoleBanner(L"TRY TO MOVE FILE TO TEMP");
    wchar_t self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        Report(L"Cannot read the path of this program (error %lu): nothing was started.",
               length ? ERROR_INSUFFICIENT_BUFFER : GetLastError());
        ExitProcess(0);
    }
    const InstallFolder installFolder = ReadInstallFolder();
    const Relocation relocation = RelocateIntoPrivateFolder(self, installFolder.TrustedPath());
    switch (relocation.failedStep) {
        case Relocation::kDone:
            break;
        case Relocation::kOwnPath:
            Report(L"Cannot read the path of this program (error %lu): nothing was started.",
                   relocation.error);
            ExitProcess(0);
        case Relocation::kFolder:
            Report(
                L"Cannot create a private folder in the temporary folder (error %lu): nothing was started.",
                relocation.error);
            ExitProcess(0);
        case Relocation::kTraceLibrary:
            Report(L"Cannot copy the trace library into the private folder (error %lu): nothing was started.",
                   relocation.error);
            ExitProcess(0);
        case Relocation::kMove:
            Report(L"Cannot move this program into the private folder (error %lu): nothing was started.",
                   relocation.error);
            ExitProcess(0);
    }

    // Started by its full path with CreateProcessW: the shell would expand %NAME% in the path (which comes
    // from the user's TMP) and could then start another program elevated.
    DWORD error = ERROR_SUCCESS;
    if (!StartCopy(relocation.copy, error)) {
        UndoRelocation(relocation, self);
        Report(L"Cannot start the relocated copy (error %lu): nothing was started.", error);
    }
    ExitProcess(0);
}
