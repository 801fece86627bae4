// The time the uninstaller takes for the whole suite as users see it, run on a clean machine by
// bench/suite_removal.sh. Nothing watches the program's debug output (a debugger or a debug monitor stops
// the writer at every line): its console comes through a pipe, and each line is stamped as it arrives.
//   suite_removal_bench uninstall [foreign] [REMOVER]
//       installs the whole suite (tests/e2e/suite_installer.h); with "foreign", also 50,000 components of
//       other products under LocalSystem's installer components and three more users under UserData, as
//       on a machine with much software installed; with REMOVER, that TavoRemover.exe takes the installed
//       one's place. Then runs "TavoRemover.exe /ManualUninstall" from the install folder to the end of
//       its copy and the deletion of the copy's folder, and prints the wall time of the whole and of each
//       step, each step from its first console line to the next step's.
//   suite_removal_bench baseline
//       installs the data package (the same data tree) with msiexec and prints the wall time of its
//       "msiexec /x"
// Each result line begins with "bench ".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "debug_capture.h"
#include "suite_installer.h"

using tavo::test::BinPath;
using tavo::test::RunToEnd;

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct StampedLine {
    double ms;
    std::string text;
};

// Reads the pipe to its end; each line is stamped when its line end arrives.
struct PipeReader {
    HANDLE pipe = nullptr;
    std::vector<StampedLine> lines;
    CRITICAL_SECTION lock;

    static DWORD WINAPI Main(void* self) {
        auto* reader = static_cast<PipeReader*>(self);
        std::string partial;
        char buffer[65536];
        DWORD read = 0;
        while (ReadFile(reader->pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
            const double stamp = Now();
            for (DWORD i = 0; i < read; ++i) {
                if (buffer[i] == '\r') continue;
                if (buffer[i] != '\n') {
                    partial.push_back(buffer[i]);
                    continue;
                }
                EnterCriticalSection(&reader->lock);
                reader->lines.push_back({stamp, partial});
                LeaveCriticalSection(&reader->lock);
                partial.clear();
            }
        }
        return 0;
    }
};

// The machine of a user with much software: components of other products under LocalSystem's installer
// components (one value each, named by the product that uses it), and users with records of their own.
bool AddForeignInstallerRecords(int components) {
    const REGSAM view = tavo::test::SixtyFourBitWindows() ? KEY_WOW64_64KEY : 0;
    const std::wstring userData = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\";
    HKEY root = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (userData + L"S-1-5-18\\Components").c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | view, nullptr, &root, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    const wchar_t path[] = L"C:\\Program Files\\Another Product\\file.dll";
    for (int i = 0; ok && i < components; ++i) {
        wchar_t name[40], product[40];
        swprintf(name, 40, L"F0E1D2C3B4A5968778695A4B%08X", static_cast<unsigned>(i));
        swprintf(product, 40, L"A1B2C3D4E5F60718293A4B5C6D7E%04X", static_cast<unsigned>(i % 400));
        HKEY key = nullptr;
        ok = RegCreateKeyExW(root, name, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr) ==
             ERROR_SUCCESS;
        if (ok) {
            ok = RegSetValueExW(key, product, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof(path)) ==
                 ERROR_SUCCESS;
            RegCloseKey(key);
        }
    }
    RegCloseKey(root);
    for (int user = 1; ok && user <= 3; ++user) {
        const std::wstring sid = L"S-1-5-21-3623811015-3361044348-30300820-100" + std::to_wstring(user);
        for (const wchar_t* sub : {L"\\Products\\A1B2C3D4E5F60718293A4B5C6D7E0001\\InstallProperties",
                                   L"\\Components\\0A1B2C3D4E5F60718293A4B5C6D7E8F9"}) {
            HKEY key = nullptr;
            ok = ok && RegCreateKeyExW(HKEY_LOCAL_MACHINE, (userData + sid + sub).c_str(), 0, nullptr, 0,
                                       KEY_SET_VALUE | view, nullptr, &key, nullptr) == ERROR_SUCCESS;
            if (key) RegCloseKey(key);
        }
    }
    return ok;
}

bool PrivateFolderInTemp() {
    const std::wstring temp = tavo::test::TempFolderPath();
    for (const std::wstring& name : tavo::test::FolderEntries(temp.substr(0, temp.size() - 1)))
        if (name.rfind(L"TavoRemover-", 0) == 0) return true;
    return false;
}

// The first line at or after `from` that holds `marker`; -1 when none.
int Find(const std::vector<StampedLine>& lines, const char* marker, int from) {
    for (int i = from < 0 ? 0 : from; i < static_cast<int>(lines.size()); ++i)
        if (lines[i].text.find(marker) != std::string::npos) return i;
    return -1;
}

int Uninstall(bool foreign, const std::wstring& remover) {
    tavo::test::SuiteInstaller suite;
    if (!suite.Install()) {
        std::printf("%s", suite.log().c_str());
        return 1;
    }
    if (!remover.empty() && !CopyFileW(remover.c_str(), (suite / L"TavoRemover.exe").c_str(), FALSE)) {
        std::printf("bench error: cannot copy %ls\n", remover.c_str());
        return 1;
    }
    if (foreign) {
        const double start = Now();
        if (!AddForeignInstallerRecords(50000)) {
            std::printf("bench error: the foreign installer records could not be written\n");
            return 1;
        }
        std::printf("bench foreign components: 50000 and 3 more users under UserData, written in %.0f ms\n",
                    Now() - start);
    }

    PipeReader reader;
    InitializeCriticalSection(&reader.lock);
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return 1;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::wstring commandLine = L"\"" + (suite / L"TavoRemover.exe") + L"\" /ManualUninstall";
    PROCESS_INFORMATION info = {};
    const double start = Now();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        suite.folder().c_str(), &startup, &info)) {
        std::printf("bench error: TavoRemover.exe did not start (%lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(writeEnd);
    CloseHandle(info.hThread);
    reader.pipe = readEnd;
    HANDLE thread = CreateThread(nullptr, 0, PipeReader::Main, &reader, 0, nullptr);

    // The end: neither stage runs and the copy's folder is gone (the command processor deletes it).
    WaitForSingleObject(info.hProcess, 600000);
    CloseHandle(info.hProcess);
    double end = 0;
    for (;;) {
        const bool running = tavo::capture::IsImageRunning(L"Launchlet.exe") ||
                             tavo::capture::IsImageRunning(L"TavoRemover.exe");
        if (!running && !PrivateFolderInTemp()) {
            end = Now();
            break;
        }
        if (Now() - start > 600000) {
            std::printf("bench error: the uninstall did not end within 10 minutes\n");
            return 1;
        }
        Sleep(20);
    }
    // Whatever still holds the pipe's write end (a child of the command processor) lets go soon.
    WaitForSingleObject(thread, 10000);
    EnterCriticalSection(&reader.lock);
    const std::vector<StampedLine> lines = reader.lines;
    LeaveCriticalSection(&reader.lock);
    suite.FinishPlugin();

    // The steps lie between these lines (the first from the start, the last to the end).
    const char* boundaries[] = {"Run TavoRemover.exe!",
                                "TRY TO STOP PROCESS",
                                "VelnorService.exe",
                                "TRY TO CLEANUP THE REGISTRIES OF TAVOKIT.MSI",
                                "TRY TO CLEANUP THE REGISTRIES OF TAVO CLIENT",
                                "TRY TO REMOVE TAVO INSTALL FILES & FOLDER",
                                "TRY TO CLEANUP TAVO SHORTCUTS",
                                "TRY TO DELETE TEMP FILE"};
    const char* names[] = {"first stage: relocation, start of the copy",
                           "second stage's start, libraries moved out",
                           "stopping the processes and the service",
                           "the 2 s pause and the unregistering",
                           "installer records (TAVOKIT.MSI)",
                           "client keys and leftover values",
                           "install folder and its files",
                           "shortcuts and the product key",
                           "the copy deletes itself and its folder"};
    std::vector<double> at = {start};
    for (int i = 0, from = 0; i < static_cast<int>(std::size(boundaries)); ++i) {
        const int index = Find(lines, boundaries[i], from);
        at.push_back(index < 0 ? -1 : lines[index].ms);
        if (index >= 0) from = index;
    }
    at.push_back(end);
    for (size_t i = 0; i < std::size(names); ++i) {
        if (at[i] < 0 || at[i + 1] < 0)
            std::printf("bench step %-44s (no console line)\n", names[i]);
        else
            std::printf("bench step %-44s %8.0f ms\n", names[i], at[i + 1] - at[i]);
    }
    std::printf("bench uninstall %.0f ms\n", end - start);
    return 0;
}

int Baseline() {
    const std::wstring package = BinPath(L"bench\\data.msi");
    if (RunToEnd(L"msiexec.exe /i \"" + package + L"\" /qn", 600000) != 0) return 1;
    const double start = Now();
    const DWORD code = RunToEnd(L"msiexec.exe /x \"" + package + L"\" /qn", 600000);
    std::printf("bench baseline %.0f ms (msiexec /x exit code %lu)\n", Now() - start, code);
    return code == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"uninstall") {
        bool foreign = false;
        std::wstring remover;
        for (int i = 2; i < argc; ++i) {
            if (wcscmp(argv[i], L"foreign") == 0)
                foreign = true;
            else
                remover = argv[i];
        }
        return Uninstall(foreign, remover);
    }
    if (mode == L"baseline") return Baseline();
    std::printf("usage: suite_removal_bench uninstall [foreign] [REMOVER] | baseline\n");
    return 2;
}
