// The whole suite installed and running, and a program outside the suite that the uninstaller does not stop
// (a mail client the user left open) holding two of its files: a data file open without delete sharing and
// the mail client's add-in library mapped as an image. "TavoRemover.exe /ManualUninstall" marks both, and
// each folder left only because of them, for deletion at the next restart, and exits with 3010; the
// system's list of deletions at restart holds exactly those and nothing else. After a simulated restart
// (wineboot -r, which carries the list out as Windows does at boot) the install folder is gone and the
// machine's footprint is the one the plain uninstall leaves.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "debug_capture.h"
#include "footprint.h"
#include "removal_support.h"
#include "suite_installer.h"
#include "suite_remains.h"
#include "support/scoped.h"

namespace tavo::test {
namespace {

// The uninstaller's console without the paths of what it deleted (more than ten thousand); what goes at
// the next restart, and who holds it, stays.
std::string Readable(const std::string& output, size_t& paths) {
    std::string kept;
    paths = 0;
    for (const std::string& line : SplitLines(Unix(output))) {
        if (line.rfind("C:\\", 0) == 0 &&
            line.find(" will be deleted at the next restart") == std::string::npos &&
            line.find(" is in use by ") == std::string::npos)
            ++paths;
        else
            kept += line + "\n";
    }
    return kept;
}

size_t IndexOf(const std::vector<std::wstring>& list, const std::wstring& item) {
    return static_cast<size_t>(std::find(list.begin(), list.end(), item) - list.begin());
}

TEST(SuiteInUse, HeldFilesAndTheirFoldersGoAtTheNextRestart) {
    ASSERT_TRUE(removal::OnlyDriveC());
    ClearPendingRestartOperations();
    const footprint::Footprint before = footprint::Take();
    capture::Result result;
    std::vector<std::wstring> pending;
    std::wstring folder;
    {
        SuiteInstaller suite;
        const bool installed = suite.Install();
        std::printf("%s", suite.log().c_str());
        ASSERT_TRUE(installed);
        folder = suite.folder();
        const std::wstring data = suite / L"data\\37\\item3705.dat", addIn = suite / L"tavoolkadd.dll";

        // The other program: started by the test, never by the suite, and not one the uninstaller stops.
        const wchar_t kReady[] = L"tavo-suite-in-use-ready";
        ScopedHandle ready(CreateEventW(nullptr, TRUE, FALSE, kReady));
        std::wstring command = L"\"" + BinPath(L"fixtures\\holder\\file_holder.exe") + L"\" " + kReady +
                               L" \"" + data + L"\" \"" + addIn + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &process));
        const ScopedHandle holder(process.hProcess), holderThread(process.hThread);
        ASSERT_EQ(WaitForSingleObject(ready.get(), 30000), WAIT_OBJECT_0);

        capture::Options options;
        options.commandLine = L"\"" + (suite / L"TavoRemover.exe") + L"\" /ManualUninstall";
        options.timeoutMs = 600000;
        DWORD copyEnd = 0;
        options.keepWaiting = [&] {
            if (capture::IsImageRunning(L"Launchlet.exe") || capture::IsImageRunning(L"TavoRemover.exe"))
                return true;
            if (!copyEnd) copyEnd = GetTickCount();
            return (PrivateFolderInTemp() || capture::IsImageRunning(L"cmd.exe")) &&
                   GetTickCount() - copyEnd < 30000;
        };
        result = capture::Run(options);
        ASSERT_TRUE(result.started);
        EXPECT_FALSE(result.timedOut);
        std::printf("TavoRemover.exe /ManualUninstall: exit code %lu\n",
                    static_cast<unsigned long>(result.exitCode));
        EXPECT_EQ(result.exitCode, 3010u);
        size_t paths = 0;
        const std::string readable = Readable(result.output, paths);
        std::printf("---- the uninstaller's console (%zu path lines left out)\n%s----\n", paths,
                    readable.c_str());
        const std::string console = Unix(result.output);
        EXPECT_EQ(console.find("Delete TavoInstall Files Failed"), std::string::npos);
        // Each marked item is printed; the Restart Manager would name the holder before the file, but Wine
        // 8's names nobody (its functions are stubs that answer success and an empty list).
        for (const std::wstring& item : {data, suite / L"data\\37", suite / L"data", addIn, suite.folder()}) {
            EXPECT_NE(console.find("\n" + Narrow(item) + " will be deleted at the next restart\n"),
                      std::string::npos)
                << Narrow(item);
        }
        const size_t inUse = console.find(" is in use by ");
        std::printf("the Restart Manager named %s\n",
                    inUse == std::string::npos
                        ? "nobody"
                        : console.substr(inUse, console.find('\n', inUse) - inUse).c_str());
        if (RunningUnderWine()) {
            EXPECT_EQ(inUse, std::string::npos);
        }
        EXPECT_FALSE(PrivateFolderInTemp());

        // Exactly the two files and their folders, children before parents, each a deletion (an empty
        // target); the list's last empty target ends with the value.
        pending = PendingRestartOperations();
        std::vector<std::wstring> marked;
        for (size_t i = 0; i < pending.size(); i += 2) {
            marked.push_back(pending[i]);
            if (i + 1 < pending.size()) {
                EXPECT_EQ(pending[i + 1], L"") << Narrow(pending[i]);
            }
        }
        std::vector<std::wstring> expected;
        for (const std::wstring& item : {data, suite / L"data\\37", suite / L"data", addIn, suite.folder()})
            expected.push_back(L"\\??\\" + item);
        std::vector<std::wstring> sortedMarked = marked, sortedExpected = expected;
        std::sort(sortedMarked.begin(), sortedMarked.end());
        std::sort(sortedExpected.begin(), sortedExpected.end());
        EXPECT_EQ(sortedMarked, sortedExpected);
        EXPECT_LT(IndexOf(marked, expected[0]), IndexOf(marked, expected[1]));
        EXPECT_LT(IndexOf(marked, expected[1]), IndexOf(marked, expected[2]));
        EXPECT_EQ(IndexOf(marked, expected[4]), marked.size() - 1);
        EXPECT_EQ(FolderEntries(folder), (std::vector<std::wstring>{L"data", L"tavoolkadd.dll"}));

        TerminateProcess(holder.get(), 0);
        WaitForSingleObject(holder.get(), 10000);
        suite.FinishPlugin();
    }

    // The simulated restart carries the list out.
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    EXPECT_EQ(RunToEnd(L"\"" + std::wstring(system) + L"\\wineboot.exe\" -r", 300000), 0u);
    EXPECT_FALSE(FileExists(folder));
    EXPECT_EQ(PendingRestartOperations(), std::vector<std::wstring>{});

    const footprint::Footprint after = footprint::Take();
    EXPECT_EQ(UnexpectedSuiteChanges(before, after), "") << "changed by the install, uninstall and restart";
}

}  // namespace
}  // namespace tavo::test
