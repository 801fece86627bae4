// The whole suite installed and running on a clean machine, removed by "TavoRemover.exe /ManualUninstall"
// started from the install folder as a user starts it: its exit code is 0, and once its private folder is
// gone the machine's footprint is the one from before the install, except the expected remains below.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "debug_capture.h"
#include "footprint.h"
#include "removal_support.h"
#include "suite_installer.h"
#include "suite_remains.h"

namespace tavo::test {
namespace {

// The uninstaller's console without the paths the file-system steps print (more than ten thousand).
std::string Readable(const std::string& output, size_t& paths) {
    std::string kept;
    paths = 0;
    for (const std::string& line : SplitLines(Unix(output))) {
        if (line.rfind("C:\\", 0) == 0)
            ++paths;
        else
            kept += line + "\n";
    }
    return kept;
}

// The uninstall's log: both stages' summaries (printed), every path of the install folder deleted, and
// the exit code the first stage ended with.
void CheckLog(const std::wstring& path, const std::vector<std::wstring>& installed, DWORD exitCode) {
    std::set<std::string> deleted;
    std::vector<std::string> summary;
    size_t lines = 0;
    for (const std::string& line : SplitLines(ReadFileBytes(path))) {
        ++lines;
        const size_t kind = line.find("] ");
        if (kind == std::string::npos) continue;
        const std::string rest = line.substr(kind + 2);
        if (rest.rfind("summary: ", 0) == 0)
            summary.push_back(line.substr(0, kind + 1) + " " + rest.substr(9));
        for (const char* prefix : {"file deleted: ", "folder deleted: "}) {
            if (rest.rfind(prefix, 0) == 0) deleted.insert(rest.substr(strlen(prefix)));
        }
    }
    std::printf("---- the uninstall log: %zu lines; the summaries of the first stage and its copy\n", lines);
    for (const std::string& line : summary) std::printf("%s\n", line.c_str());
    std::printf("----\n");
    ASSERT_FALSE(summary.empty());
    EXPECT_NE(summary.back().find("total time"), std::string::npos);
    EXPECT_NE(summary[summary.size() - 2].find(" exit code " + std::to_string(exitCode)), std::string::npos);
    size_t missing = 0;
    for (const std::wstring& item : installed) {
        if (!deleted.count(Narrow(item)) && missing++ < 3)
            ADD_FAILURE() << "not logged as deleted: " << Narrow(item);
    }
    EXPECT_EQ(missing, 0u) << "of " << installed.size() << " paths of the install folder";
}

TEST(SuiteRemoval, ManualUninstallLeavesTheMachineAsBeforeTheInstall) {
    ASSERT_TRUE(removal::OnlyDriveC());
    const DWORD t0 = GetTickCount();
    const footprint::Footprint before = footprint::Take();
    const DWORD t1 = GetTickCount();
    capture::Result result;
    DWORD uninstallStart = 0, uninstallEnd = 0, installStart = 0;
    std::string record;
    {
        SuiteInstaller suite;
        installStart = GetTickCount();
        const bool installed = suite.Install();
        std::printf("%s", suite.log().c_str());
        ASSERT_TRUE(installed);

        // The copy runs as Launchlet.exe (Wine may list it under the program's name); the command processor
        // deletes it and its private folder in the temporary folder a few seconds after it ended.
        // With a log, as an administrator asks for one; it lies in a folder of the test's own, gone again
        // before the machine's footprint is taken.
        TempFolder logs(L"tavo uninstall log");
        const std::wstring logPath = logs / L"tavo-remove.log";
        std::vector<std::wstring> installFolder;
        VisitTree(suite.folder(), [&installFolder](const std::wstring& path, const WIN32_FIND_DATAW&) {
            installFolder.push_back(path);
        });
        installFolder.push_back(suite.folder());
        // The program is moved, last, into the uninstaller's private folder (and deleted there).
        std::erase(installFolder, suite / L"TavoRemover.exe");
        capture::Options options;
        options.commandLine =
            L"\"" + (suite / L"TavoRemover.exe") + L"\" /ManualUninstall /log \"" + logPath + L"\"";
        options.timeoutMs = 600000;
        DWORD copyEnd = 0;
        options.keepWaiting = [&] {
            if (capture::IsImageRunning(L"Launchlet.exe") || capture::IsImageRunning(L"TavoRemover.exe"))
                return true;
            if (!copyEnd) copyEnd = GetTickCount();
            return (PrivateFolderInTemp() || capture::IsImageRunning(L"cmd.exe")) &&
                   GetTickCount() - copyEnd < 30000;
        };
        uninstallStart = GetTickCount();
        result = capture::Run(options);
        uninstallEnd = GetTickCount();
        ASSERT_TRUE(result.started);
        EXPECT_FALSE(result.timedOut);
        // The first stage waits for its copy and exits with its exit code: 0, everything is gone.
        std::printf("TavoRemover.exe /ManualUninstall: exit code %lu\n",
                    static_cast<unsigned long>(result.exitCode));
        EXPECT_EQ(result.exitCode, 0u);
        size_t paths = 0;
        const std::string console = Readable(result.output, paths);
        std::printf("---- the uninstaller's console (%zu path lines left out)\n%s----\n", paths,
                    console.c_str());
        EXPECT_FALSE(PrivateFolderInTemp());
        CheckLog(logPath, installFolder, result.exitCode);
        for (const wchar_t* name : {L"tavoInst.exe", L"TAVOIM.exe", L"tavoUpdate.exe", L"tavoVlrONI.exe",
                                    L"tavopluginhost.exe", L"velnorservice.exe"})
            EXPECT_FALSE(capture::IsImageRunning(name)) << Narrow(name);
        EXPECT_FALSE(RunningService::Exists());
        record = suite.FinishPlugin();
    }
    // The plug-in's call to the stopped host fails (disconnected or an unavailable server).
    EXPECT_TRUE(Contains(record, "names StartOCMeeting -> 0x800706BA") ||
                Contains(record, "names StartOCMeeting -> 0x80010108"))
        << record;

    const footprint::Footprint after = footprint::Take();
    // Printed by reason, in the list's order: the reason, then what it covers.
    std::string unexpected;
    std::map<std::string, std::vector<std::string>> expected;
    for (const footprint::Change& change : footprint::Difference(before, after)) {
        const footprint::Remain* remain = ExpectedSuiteRemain(change);
        if (remain)
            expected[remain->reason].push_back(change.Describe());
        else
            unexpected += change.Describe() + "\n";
    }
    std::printf("---- left on the machine, as expected\n");
    for (const footprint::Remain& remain : SuiteRemains()) {
        const auto found = expected.find(remain.reason);
        if (found == expected.end()) continue;
        std::printf("%s:\n", remain.reason);
        for (size_t i = 0; i < found->second.size() && i < 3; ++i)
            std::printf("    %s\n", found->second[i].c_str());
        if (found->second.size() > 3) std::printf("    ... and %zu more\n", found->second.size() - 3);
        expected.erase(found);
    }
    std::printf("----\n");
    EXPECT_EQ(unexpected, "") << "changed by the install and uninstall";
    std::printf(
        "[ MEASURED ] footprint %lu ms (%zu entries), install %lu ms, uninstall %lu ms (to the copy's "
        "end and its folder's deletion)\n",
        t1 - t0, before.size(), uninstallStart - installStart, uninstallEnd - uninstallStart);
}

}  // namespace
}  // namespace tavo::test
