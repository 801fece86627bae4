// The end of the private folder: what can go through the folder's handle goes at once; the image of the
// running program is left to a hidden command processor that waits for this process's end.
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <string>
#include <vector>

#include "console/console.h"
#include "files/files.h"
#include "log/log.h"
#include "process/process.h"
#include "stages/stages.h"
#include "support/scoped.h"

namespace {

void DeleteAtRestart(const std::wstring& file, const std::wstring& folder, const wchar_t* why) {
    const BOOL scheduled = ScheduleDeletionAtRestart(file.c_str(), folder.c_str());
    wchar_t line[2 * MAX_PATH] = {};
    swprintf(line, ARRAYSIZE(line), L"%ls: %ls", why,
             scheduled ? L"the copy and its folder are deleted at the next restart."
                       : L"the copy and its folder stay; delete them by hand.");
    ReportLine(line);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The file name of this process's image (the system keeps the name a moved program was started by, and
// the private folder keeps the names: Launchlet.exe for the copy, TavoRemover.exe for a first stage).
std::wstring OwnImageName() {
    wchar_t self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return kCopyName;
    const wchar_t* name = wcsrchr(self, L'\\');
    return name ? name + 1 : self;
}

// Starts the command processor that deletes `file` and then `folder` after this process has ended.
// False, with the reason's text, when it cannot be used.
bool StartDeleterAfterExit(const std::wstring& file, const std::wstring& folder, const wchar_t*& why) {
    // The command processor always comes from the system folder: a user-writable variable must not choose
    // what runs elevated.
    wchar_t comspec[MAX_PATH] = {};
    const std::wstring system = tavo::SystemFolder();
    if (GetEnvironmentVariableW(L"COMSPEC", comspec, MAX_PATH) == 0 || system.empty()) {
        why = L"No command processor";
        return false;
    }
    // Both paths are quoted so that a temporary folder with blanks still names one file. The command
    // processor expands %NAME% even inside quotes and treats the other special characters as commands: a
    // path that holds any is never handed to it.
    wchar_t parameters[4 * MAX_PATH] = {};
    if (!BuildSelfDeleteParameters(file.c_str(), folder.c_str(), parameters, ARRAYSIZE(parameters))) {
        why = L"The temporary folder's path holds characters the command processor reads";
        return false;
    }
    // Its standard input is a pipe whose writing end only this process holds (never inherited): the
    // command processor reads it to its end, which comes when this process has ended.
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, FALSE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        why = L"The command processor did not start";
        return false;
    }
    const tavo::ScopedHandle reader(readEnd);
    static tavo::ScopedHandle writer;  // closed by the system when this process ends
    writer.reset(writeEnd);
    const tavo::ScopedHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
    // Nothing else of this process goes to it: a deployment tool that reads this process's output through
    // a pipe must see that pipe close when this process ends, not when the command processor does.
    for (DWORD standard : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        SetHandleInformation(GetStdHandle(standard), HANDLE_FLAG_INHERIT, 0);
    tavo::ChildStart start;
    start.useStandardHandles = true;
    start.standardInput = reader.get();
    start.standardOutput = nul.get();
    start.standardError = nul.get();
    start.creationFlags = CREATE_NO_WINDOW | IDLE_PRIORITY_CLASS;
    const std::wstring commandProcessor = system + L"\\cmd.exe";
    DWORD error = ERROR_SUCCESS;
    const std::wstring commandLine = L"\"" + commandProcessor + L"\" " + parameters;
    const tavo::ScopedHandle process = tavo::StartChild(commandProcessor, commandLine, start, error);
    if (!process) {
        writer.reset();
        why = L"The command processor did not start";
        return false;
    }
    LogChildStarted(commandLine.c_str(), process.get());
    SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    return true;
}

}  // namespace

BOOL BuildSelfDeleteParameters(LPCWSTR copy, LPCWSTR folder, LPWSTR parameters, size_t count) {
    if (!parameters || count == 0) return FALSE;
    parameters[0] = L'\0';
    // The pause between tries runs by the full path of the system's ping.exe: a bare name would be
    // searched in the current folder and the user's PATH first.
    const std::wstring system = tavo::SystemFolder();
    if (system.empty() || HoldsCommandProcessorText(copy) || HoldsCommandProcessorText(folder) ||
        HoldsCommandProcessorText(system.c_str())) {
        return FALSE;
    }
    // /S with quotes around the whole command: the command processor takes away exactly those two and
    // keeps the quotes of the paths inside. "rd" without /s removes an empty folder only.
    const int written = swprintf(
        parameters, count,
        L"/D /S /c \"set /p tavo= & for /l %%n in (1,1,10) do (if exist \"%ls\" del /f /q \"%ls\" > nul 2> "
        L"nul & if exist \"%ls\" \"%ls\\ping.exe\" -n 2 127.0.0.1 > nul) & rd \"%ls\" > nul 2> nul\"",
        copy, copy, copy, system.c_str(), folder);
    if (written <= 0 || static_cast<size_t>(written) >= count) {
        parameters[0] = L'\0';
        return FALSE;
    }
    return TRUE;
}

void FinishPrivateFolder(PrivateFolder& folder) {
    if (!folder.valid()) return;
    try {
        for (const std::wstring& name : folder.Entries()) folder.DeleteEntry(name.c_str());
        // What is still there, whatever the deletions answered: Wine accepts the delete disposition of a
        // running program's image and then keeps the file.
        const std::vector<std::wstring> left = folder.Entries();
        if (left.empty()) {
            folder.Remove();
            return;
        }
        // This process's own image, and what other processes still hold: a library the step that moved it
        // in marked for deletion at the next restart, or the image of the other stage when it has not
        // quite ended yet, marked here.
        const std::wstring ownName = OwnImageName();
        const std::wstring folderPath = folder.path();
        bool ownLeft = false, othersLeft = false;
        for (const std::wstring& name : left) {
            if (SameName(name, ownName)) {
                ownLeft = true;
                continue;
            }
            othersLeft = true;
            if (SameName(name, kCopyName) || SameName(name, kRemoverName)) {
                const std::wstring path = folder.PathOf(name.c_str());
                tavo::files::DeleteAtNextRestart(path);
            }
        }
        // The folder goes after them.
        if (othersLeft) tavo::files::DeleteAtNextRestart(folderPath);
        if (!ownLeft) return;
        const std::wstring image = folder.PathOf(ownName.c_str());
        const wchar_t* why = nullptr;
        if (!StartDeleterAfterExit(image, folderPath, why)) {
            DeleteAtRestart(image, folderPath, why);
            return;
        }
        SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW, image.c_str(), nullptr);
    } catch (...) {
    }
}

void DeleteTempCopy() {
    ConsoleBanner(L"TRY TO DELETE TEMP FILE");
    StageState& stages = Stages();
    // The first stage finishes the folder after this copy has ended, unless it has gone already (its
    // window was closed): then this copy does.
    if (stages.firstStageFinishes && stages.firstStage &&
        WaitForSingleObject(stages.firstStage.get(), 0) == WAIT_OBJECT_0)
        stages.firstStageFinishes = false;
    if (stages.firstStageFinishes) return;
    ReleaseTraceLibrary();
    FinishPrivateFolder(stages.folder);
}
