// (Un)registration of the suite's COM components: the in-process DLLs through the system's regsvr32, one
// silent run per DLL with the install folder added to "Path" for the run, and the plug-in host through
// its own "/RegServer" and "/UnregServer".
#include <windows.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "console/console.h"
#include "install/install.h"
#include "log/log.h"
#include "outcome/outcome.h"
#include "process/process.h"
#include "steps/steps.h"
#include "support/proc_address.h"
#include "support/scoped.h"
#include "trace/trace.h"

namespace {

constexpr int kDll32Count = 9;
constexpr int kDll64Count = 8;
constexpr wchar_t kDll32Names[kDll32Count][MAX_PATH] = {
    L"tavousredt.DLL", L"tavooiEnt.dll", L"tavoOIVendor.dll", L"tavoONIUI.dll", L"tavoolkadd.dll",
    L"tavoVLRURL.DLL", L"tavovlrms.dll", L"tavoonecli.dll",   L"tavoVlrst.dll"};
constexpr wchar_t kDll64Names[kDll64Count][MAX_PATH] = {
    L"tavousredt64.DLL", L"tavooiEnt64.dll",  L"tavoOIVendor64.dll", L"tavoONIUI64.dll",
    L"tavoolkadd64.dll", L"tavoVLRURL64.DLL", L"tavovlrms64.dll",    L"tavoVlrst64.dll"};
constexpr wchar_t kHostName[] = L"tavopluginhost.exe";

// What the plug-in host writes under HKEY_CLASSES_ROOT when it registers itself (its AppID, its type
// library, its four classes), in this process's view, which is the 32-bit host's.
constexpr const wchar_t* kHostRegistrationKeys[] = {
    L"AppID\\{3B8E2F14-7A60-4C2D-9E51-0D6A4B7C8E92}", L"TypeLib\\{9F41C6D2-0E7B-4A35-B8C4-62D1E0F7A3B5}",
    L"CLSID\\{2C7A9E05-61B3-4D8F-A024-E5B7C3D19F60}", L"CLSID\\{7E3D1B92-4C05-4A6E-8F17-B9D2C0A54E38}",
    L"CLSID\\{4A6C0F83-D215-4E79-B3A8-1F5E7D9C2B04}", L"CLSID\\{B05E2D71-8F3A-4C96-A1D7-3E6F8B2C4A19}"};

// Something of the host's registration is there. An uninstall run again after an interruption finds none
// of it: the host's "/UnregServer" would then fail (nothing to unregister) and the run would count that
// as a component left.
bool AnyHostRegistration() {
    for (const wchar_t* key : kHostRegistrationKeys) {
        tavo::ScopedRegKey opened;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, KEY_QUERY_VALUE, opened.put()) == ERROR_SUCCESS)
            return true;
    }
    return false;
}

bool IsFile(LPCWSTR path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The text of a trace line made of a format with one path in it.
std::wstring PathLine(LPCWSTR format, LPCWSTR path) {
    wchar_t line[2 * MAX_PATH] = {};
    swprintf(line, 2 * MAX_PATH, format, path);
    return line;
}

void RegisterTable(LPCWSTR installFolder, const wchar_t (*names)[MAX_PATH], int count, LPCWSTR option,
                   BOOL is64Bit) {
    for (int i = 0; i < count; ++i) {
        wchar_t path[MAX_PATH] = {};
        if (PathCombineW(path, installFolder, names[i]) && IsFile(path)) {
            RegCOMDLL(path, option, is64Bit);
        } else {
            TraceLevel2(
                TracePair(nullptr, PathLine(L"RegTavoCOM: [%ls] is not existed!\n", path).c_str()).get());
        }
    }
}

// The folder regsvr32 is taken from: the 32-bit system folder of 64-bit Windows; on 32-bit Windows, for a
// 32-bit DLL, the system folder (never a bare name, which the search would look up beside this program
// first). Empty when there is none for this DLL.
std::wstring RegsvrFolder(BOOL is64Bit) {
    using Function = UINT(WINAPI*)(LPWSTR, UINT);
    auto getWow64Folder =
        tavo::ProcAddress<Function>(GetModuleHandleW(L"Kernel32.dll"), "GetSystemWow64DirectoryW");
    wchar_t folder[MAX_PATH] = {};
    const UINT length = getWow64Folder ? getWow64Folder(folder, MAX_PATH) : 0;
    if (length > 0 && length < MAX_PATH) return folder;
    TraceLevel8(TracePair(nullptr, "RegCOMDLL: VlrGetSystemWow64Directory failed!\n").get());
    if (is64Bit) return L"";
    const UINT systemLength = GetSystemDirectoryW(folder, MAX_PATH);
    return systemLength > 0 && systemLength < MAX_PATH ? folder : L"";
}

// Reports a child that ran past its bound or ended with an error, and records the component's outcome.
void RecordRun(const tavo::ChildOutcome& run, const wchar_t* program, LPCWSTR file) {
    wchar_t line[3 * MAX_PATH] = {};
    if (run.timedOut) {
        swprintf(line, ARRAYSIZE(line), L"%ls did not end within %lu seconds and was ended: %ls", program,
                 static_cast<unsigned long>(kChildRunBoundMs / 1000), file);
        ReportLine(line);
        RecordOutcome(ItemKind::kComponent, file, ItemResult::kFailed, ERROR_TIMEOUT);
    } else if (run.exitCode != 0) {
        swprintf(line, ARRAYSIZE(line), L"%ls ended with exit code %lu: %ls", program,
                 static_cast<unsigned long>(run.exitCode), file);
        ReportLine(line);
        RecordOutcome(ItemKind::kComponent, file, ItemResult::kFailed, run.exitCode);
    } else {
        RecordOutcome(ItemKind::kComponent, file, ItemResult::kDeleted);
    }
}

// Runs `command` with `application`, waited for at most the bound. False when it did not start.
bool RunAndWait(const std::wstring& application, const std::wstring& command, const wchar_t* pathAddition,
                LPCWSTR file) {
    tavo::ChildStart start;
    start.pathAddition = pathAddition;
    start.onStarted = LogChildStarted;
    const tavo::ChildOutcome run = tavo::RunChild(application, command, start, kChildRunBoundMs);
    LogChildEnded(run);
    if (!run.started) {
        const DWORD nLastErr = run.error;
        TraceLevel8(TracePair("nLastErr", nLastErr).get(),
                    TracePair(nullptr, "RegCOMDLL call CreateProcess fail!").get());
        RecordOutcome(ItemKind::kComponent, file, ItemResult::kFailed, run.error);
        return false;
    }
    TraceLevel2(TracePair(nullptr, "RegCOMDLL regsvr32.exe process exit").get());
    RecordRun(run, L"regsvr32", file);
    return true;
}

// Runs `command` with the install folder (or its "components" subfolder) added to the machine's Path for
// the run: the child gets the machine's own Path, not this process's (which holds the user's entries).
bool RunWithInstallFolderOnPath(const std::wstring& regsvr32, const std::wstring& command, BOOL is64Bit,
                                LPCWSTR file) {
    // The install folder of this run, as read and judged once; a relative folder on "Path" would name a
    // folder under the current one.
    const wchar_t* installFolder = RunInstallFolder().TrustedPath();
    if (!installFolder[0] || PathIsRelativeW(installFolder)) {
        TraceLevel8(TracePair(nullptr, "RegCOMDLL call GetTavoInstallPath fail!").get());
        return false;
    }
    wchar_t added[kInstallPathChars] = {};
    if (is64Bit) {
        if (!PathCombineW(added, installFolder, L"components\\")) return false;
    } else {
        lstrcpynW(added, installFolder, kInstallPathChars);
    }
    return RunAndWait(regsvr32, command, added, file);
}

void RunRegsvr32(LPCWSTR lpszFilePath, LPCWSTR lpszRegCmdLine, BOOL bIs64Bit) {
    const std::wstring folder = RegsvrFolder(bIs64Bit);
    if (folder.empty()) return;
    wchar_t regsvr32[MAX_PATH] = {};
    if (!PathCombineW(regsvr32, folder.c_str(), L"regsvr32.exe") || !IsFile(regsvr32)) {
        TraceLevel8(TracePair(nullptr, PathLine(L"RegCOMDLL: cannot find [%ls]!\n", regsvr32).c_str()).get());
        return;
    }
    const std::wstring strCommand =
        std::wstring(regsvr32) + L" /s " + lpszRegCmdLine + L" \"" + lpszFilePath + L"\"";
    TraceLevel2(TracePair("strCommand.c_str()", strCommand.c_str()).get());
    if (!RunWithInstallFolderOnPath(regsvr32, strCommand, bIs64Bit, lpszFilePath))
        TraceLevel8(TracePair(nullptr, "RegCOMDLL: call regsvr32 register DLL failed!\n").get());
}

}  // namespace

void RegTavoCOM(LPCWSTR installFolder, BOOL bInstall) {
    CAutoFunTrace scope("RegTavoCOM.", TracePair("bInstall", bInstall).get());
    OutputDebugStringW(L"RegTavoCOM regsrv32 tavo-file!\n");
    const wchar_t* folder = installFolder ? installFolder : L"";
    if (PathIsRelativeW(folder)) {
        // Joined to a relative folder the names would be looked up in the current folder, which is not
        // the suite's (the temporary folder the uninstaller runs from): nothing there is registered.
        TraceLevel2(TracePair(nullptr, "RegTavoCOM: the install folder is not a full path!\n").get(),
                    TracePair("installFolder", folder).get());
        return;
    }
    const wchar_t* option = bInstall ? L"" : L"/u";
    RegisterTable(folder, kDll32Names, kDll32Count, option, FALSE);
    RegisterTable(folder, kDll64Names, kDll64Count, option, TRUE);

    wchar_t host[MAX_PATH] = {};
    if (PathCombineW(host, folder, kHostName) && IsFile(host)) {
        TraceLevel2(TracePair(nullptr, PathLine(L"RegTavoCOM: [%ls] is existed!\n", host).c_str()).get());
        if (!bInstall && !AnyHostRegistration()) {
            TraceLevel2(
                TracePair(nullptr, PathLine(L"RegTavoCOM: [%ls] is not registered!\n", host).c_str()).get());
            return;
        }
        // Started by its full path, never through the shell (whose "open" verb would follow the user's own
        // class registrations), and waited for at most the bound.
        tavo::ChildStart start;
        start.onStarted = LogChildStarted;
        const tavo::ChildOutcome run = tavo::RunChild(
            host, std::wstring(L"\"") + host + L"\" " + (bInstall ? L"/RegServer" : L"/UnregServer"), start,
            kChildRunBoundMs);
        LogChildEnded(run);
        if (run.started) {
            RecordRun(run, kHostName, host);
        } else {
            TraceLevel4(
                TracePair(nullptr, "CTavoCallProcess::VlrTavoShellExecuteEx: Launching process FAILED!")
                    .get(),
                TracePair("dwError", run.error).get());
            RecordOutcome(ItemKind::kComponent, host, ItemResult::kFailed, run.error);
        }
    }
}

int RegCOMDLL(LPCWSTR lpszFilePath, LPCWSTR lpszRegCmdLine, BOOL bIs64Bit) {
    CAutoFunTrace scope("RegCOMDLL");
    TraceLevel2(TracePair(nullptr, "RegCOMDLL").get(), TracePair("lpszFilePath", lpszFilePath).get(),
                TracePair("lpszRegCmdLine", lpszRegCmdLine).get());
    if (!lpszFilePath || !lpszRegCmdLine) {
        TraceLevel4(TracePair(nullptr, "RegCOMDLL: input para is NULL!\n").get());
        return 0;
    }
    try {
        RunRegsvr32(lpszFilePath, lpszRegCmdLine, bIs64Bit);
    } catch (...) {  // out of memory
        TraceLevel8(TracePair(nullptr, "RegCOMDLL: call regsvr32 register DLL failed!\n").get());
    }
    return 0;
}

BOOL IsNative64BitSystem() {
    using Function = void(WINAPI*)(LPSYSTEM_INFO);
    auto getNativeSystemInfo =
        tavo::ProcAddress<Function>(GetModuleHandleW(L"kernel32.dll"), "GetNativeSystemInfo");
    if (!getNativeSystemInfo) return FALSE;
    SYSTEM_INFO info = {};
    getNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}
