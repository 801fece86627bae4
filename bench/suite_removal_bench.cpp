// The time the uninstaller takes for the whole suite, run on a clean machine by bench/suite_removal.sh:
//   suite_removal_bench uninstall   installs the whole suite (tests/e2e/suite_installer.h), runs
//                                   "TavoRemover.exe /ManualUninstall" from the install folder and prints
//                                   the wall time of the whole uninstall and of each step, timed by the
//                                   debug lines the two stages write, and the share of the fixed waits
//   suite_removal_bench baseline    installs the data package (the same data tree) with msiexec and prints
//                                   the wall time of its "msiexec /x"
// Each result line begins with "bench ". The sequence writes no debug line between the unregistering and
// its end: those steps are timed together.
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>

#include "debug_capture.h"
#include "suite_installer.h"

using tavo::test::BinPath;
using tavo::test::RunToEnd;

namespace {

// The sequence's fixed waits on this machine: the pause before the unregistering, the pause between the
// two libraries moved out, the background process's time to end by itself (the test's copy never does),
// and the command processor's wait before it deletes the copy.
constexpr DWORD kFixedWaitsMs = 2000 + 500 + 2000 + 2000;

int Uninstall() {
    tavo::test::SuiteInstaller suite;
    if (!suite.Install()) {
        std::printf("%s", suite.log().c_str());
        return 1;
    }
    // The first time each marker line arrives.
    const char* markers[] = {"verify cmdline succ!\n", "StopAndUninstallVelnorService: uninstall!\n",
                             "RegTavoCOM regsrv32 tavo-file!\n", "Exit TavoRemover.exe!\n"};
    std::map<std::string, DWORD> seen;
    tavo::capture::Options options;
    options.commandLine = L"\"" + (suite / L"TavoRemover.exe") + L"\" /ManualUninstall";
    options.timeoutMs = 600000;
    options.onDebugLine = [&](const tavo::capture::DebugLine& line) {
        for (const char* marker : markers)
            if (line.text == marker && !seen.count(marker)) seen[marker] = GetTickCount();
    };
    DWORD copyEnd = 0;
    const std::wstring temp = tavo::test::TempFolderPath();
    options.keepWaiting = [&] {
        if (tavo::capture::IsImageRunning(L"Launchlet.exe") ||
            tavo::capture::IsImageRunning(L"TavoRemover.exe"))
            return true;
        if (!copyEnd) copyEnd = GetTickCount();
        bool privateFolder = false;
        for (const std::wstring& name : tavo::test::FolderEntries(temp.substr(0, temp.size() - 1)))
            privateFolder |= name.rfind(L"TavoRemover-", 0) == 0;
        return privateFolder && GetTickCount() - copyEnd < 30000;
    };
    const DWORD start = GetTickCount();
    tavo::capture::Run(options);
    const DWORD end = GetTickCount();
    suite.FinishPlugin();

    DWORD previous = start;
    const std::pair<const char*, const char*> steps[] = {
        {"first stage: relocation, start of the copy", markers[0]},
        {"stopping the processes and the service", markers[1]},
        {"fixed wait, then the unregistering starts", markers[2]},
        {"unregistering, registry, install folder, shortcuts", markers[3]}};
    for (const auto& [name, marker] : steps) {
        if (!seen.count(marker)) {
            std::printf("bench step %-52s (no marker line)\n", name);
            continue;
        }
        std::printf("bench step %-52s %7lu ms\n", name, seen[marker] - previous);
        previous = seen[marker];
    }
    std::printf("bench step %-52s %7lu ms\n", "the copy deletes itself and its folder", end - previous);
    std::printf("bench uninstall %lu ms\n", end - start);
    std::printf("bench fixed waits %lu ms (%.0f %%)\n", kFixedWaitsMs, 100.0 * kFixedWaitsMs / (end - start));
    return 0;
}

int Baseline() {
    const std::wstring package = BinPath(L"bench\\data.msi");
    if (RunToEnd(L"msiexec.exe /i \"" + package + L"\" /qn", 600000) != 0) return 1;
    const DWORD start = GetTickCount();
    const DWORD code = RunToEnd(L"msiexec.exe /x \"" + package + L"\" /qn", 600000);
    std::printf("bench baseline %lu ms (msiexec /x exit code %lu)\n", GetTickCount() - start, code);
    return code == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"uninstall") return Uninstall();
    if (mode == L"baseline") return Baseline();
    std::printf("usage: suite_removal_bench uninstall|baseline\n");
    return 2;
}
