// The whole suite installed and running, and its uninstall ended from outside three times: while it stops
// the suite's processes, after its registry cleanup, and half-way through the install folder. Each time the
// uninstall is started again as an administrator would: by the uninstall entry's command (read from the
// registry, as the list of installed programs runs it) while there is one, else by the program in the
// install folder. The last run finishes; the machine then has the footprint of an uninterrupted uninstall.
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <functional>
#include <string>

#include "footprint.h"
#include "removal_support.h"
#include "shortcut/shortcut.h"
#include "suite_installer.h"
#include "suite_remains.h"
#include "support/scoped.h"

namespace tavo::test {
namespace {

// The uninstall entry's command; empty when there is no entry.
std::wstring UninstallCommand() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return {};
    const ScopedRegKey owner(key);
    wchar_t command[1024] = {};
    DWORD size = sizeof(command) - sizeof(wchar_t);
    if (RegGetValueW(key, nullptr, L"UninstallString", RRF_RT_REG_SZ, nullptr, command, &size) !=
        ERROR_SUCCESS)
        return {};
    return command;
}

// The process the first stage `parent` started (its copy); 0 while there is none.
DWORD ChildOf(DWORD parent) {
    const ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == parent && _wcsicmp(entry.szExeFile, L"cmd.exe") != 0)
            return entry.th32ProcessID;
    }
    return 0;
}

struct StageRun {
    DWORD exitCode = 0;
    std::string output;
};

// Runs `commandLine` in this process's console, its output read line by line through a pipe; `onLine` is
// given each line and the first stage's process id. Returns at the first stage's end.
StageRun RunUninstall(const std::wstring& commandLine,
                      const std::function<void(const std::string&, DWORD)>& onLine) {
    StageRun run;
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE reader = nullptr, writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inheritable, 0)) return run;
    const ScopedHandle readEnd(reader);
    ScopedHandle writeEnd(writer);
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer;
    startup.hStdError = writer;
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        ADD_FAILURE() << "cannot start " << Narrow(commandLine) << ": " << GetLastError();
        return run;
    }
    const ScopedHandle processHandle(process.hProcess), thread(process.hThread);
    writeEnd.reset();
    std::string pending;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(reader, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        run.output.append(buffer, read);
        pending.append(buffer, read);
        for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            std::string text = pending.substr(0, end);
            if (!text.empty() && text.back() == '\r') text.pop_back();
            pending.erase(0, end + 1);
            onLine(text, process.dwProcessId);
        }
    }
    WaitForSingleObject(process.hProcess, 600000);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    return run;
}

// Ends the first stage's copy (as an administrator would in the task list) once.
struct CopyKiller {
    bool done = false;
    void Kill(DWORD firstStage) {
        if (done) return;
        const DWORD copy = ChildOf(firstStage);
        const ScopedHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, copy));
        ASSERT_TRUE(process.valid()) << "the copy of " << firstStage;
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10000);
        done = true;
    }
};

TEST(SuiteInterruption, AnUninstallEndedThreeTimesIsFinishedByRunningItAgain) {
    ASSERT_TRUE(removal::OnlyDriveC());
    const footprint::Footprint before = footprint::Take();
    {
        SuiteInstaller suite;
        const bool installed = suite.Install();
        std::printf("%s", suite.log().c_str());
        ASSERT_TRUE(installed);
        const std::wstring program = L"\"" + (suite / L"TavoRemover.exe") + L"\" /ManualUninstall";
        ASSERT_EQ(UninstallCommand(), program);

        // 1. Ended while it stops the suite's processes: the first stage says so and fails.
        CopyKiller killer;
        StageRun run = RunUninstall(UninstallCommand(), [&](const std::string& line, DWORD firstStage) {
            if (line.find("TRY TO STOP PROCESS") != std::string::npos) killer.Kill(firstStage);
        });
        ASSERT_TRUE(killer.done);
        EXPECT_EQ(run.exitCode, 1603u) << run.output;
        EXPECT_NE(run.output.find("The uninstall was interrupted (exit code 1): run it again to finish it."),
                  std::string::npos);
        EXPECT_FALSE(PrivateFolderInTemp()) << "the first stage removes its folder";

        // 2. Run again by the entry's command, ended after the registry cleanup: the entry is gone.
        killer = {};
        run = RunUninstall(UninstallCommand(), [&](const std::string& line, DWORD firstStage) {
            if (line.find("TRY TO REMOVE TAVO INSTALL FILES") != std::string::npos) killer.Kill(firstStage);
        });
        ASSERT_TRUE(killer.done);
        EXPECT_EQ(run.exitCode, 1603u);
        EXPECT_EQ(UninstallCommand(), L"");

        // 3. Run again from the install folder, ended half-way through it: the program is still there.
        killer = {};
        size_t paths = 0;
        const std::string folder = Narrow(suite.folder()) + "\\";
        run = RunUninstall(program, [&](const std::string& line, DWORD firstStage) {
            if (line.rfind(folder, 0) == 0 && ++paths == SuiteInstaller::kDataFiles / 3)
                killer.Kill(firstStage);
        });
        ASSERT_TRUE(killer.done) << paths << " paths of " << folder;
        EXPECT_EQ(run.exitCode, 1603u);
        ASSERT_TRUE(FileExists(suite / L"TavoRemover.exe"));
        ASSERT_FALSE(FolderEntries(suite.folder() + L"\\data").empty()) << "ended after the data tree";

        // 4. Finished: nothing is left of the suite, nor of the runs before.
        run = RunUninstall(program, [](const std::string&, DWORD) {});
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_FALSE(FileExists(suite.folder()));
        for (int i = 0; i < 300 && PrivateFolderInTemp(); ++i) Sleep(100);
        EXPECT_FALSE(PrivateFolderInTemp());
        suite.FinishPlugin();
    }
    EXPECT_EQ(UnexpectedSuiteChanges(before, footprint::Take()), "")
        << "changed by the install and the interrupted uninstalls";
}

}  // namespace
}  // namespace tavo::test
