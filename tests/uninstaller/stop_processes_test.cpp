// Stopping the suite's processes and its update service (StopTavoProcesses), run by the steps probe
// against copies of the suite-process fixture and the real update service fixture.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "debug_capture.h"
#include "suite_scene.h"

namespace tavo::test {
namespace {

struct StopRun {
    std::string output;
    std::vector<std::string> steps;
};

StopRun RunStop() {
    capture::Options options;
    options.commandLine = L"\"" + BinPath(L"remover_steps_probe.exe") + L"\" stop";
    const capture::Result result = capture::Run(options);
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0u);
    return {Unix(result.output), StepLines(result.TextsOf(result.pid))};
}

TEST(StopTavoProcesses, NoneRunningPrintsTheBannerAndTheSixNamesAndOnlyAsksTheServiceControl) {
    const StopRun run = RunStop();
    EXPECT_EQ(run.output,
              std::string(76, '*') + "\n********TRY TO STOP PROCESS" + std::string(49, '*') +
                  "\ntavoinst.exe\nTAVOIM.exe\ntavoupdate.exe\ntavoVlrONI.exe\ntavopluginhost.exe\n"
                  "VelnorService.exe\n");
    EXPECT_TRUE(SameLines(run.steps, {"StopAndUninstallVelnorService: stop!\n",
                                      "StopAndUninstallVelnorService: uninstall!\n"}));
}

// What never ends by itself ends at the bounds: the background process after its wait, the updater
// whose window ignores the message after 50 posts, and a program that something keeps restarting after
// three kills; each bound that runs out is reported and the next operation runs.
TEST(StopTavoProcesses, WhatNeverEndsByItselfEndsAtTheBounds) {
    TempFolder folder(L"tavo suite");
    SuiteProcess im(folder.path(), L"TAVOIM.exe", "exit_code=7");
    SuiteProcess update(folder.path(), L"tavoUpdate.exe",
                        "window_class=" + Narrow(kUpdaterWindowClass) + "\nclose_message=0x401\nexit_code=7");
    SuiteProcess watcher(folder.path(), L"watcher.exe", "keep_running=" + Narrow(folder / L"tavoVlrONI.exe"));
    SuiteProcess oni(folder.path(), L"tavoVlrONI.exe");  // started only by the watcher
    for (SuiteProcess* process : {&im, &update, &watcher}) ASSERT_TRUE(process->Start());
    for (int i = 0; i < 100 && !capture::IsImageRunning(L"tavoVlrONI.exe"); ++i) Sleep(100);

    const StopRun run = RunStop();
    oni.Stop();  // every copy the watcher starts from now on ends at once
    watcher.Stop();
    const std::string updater = "StopTavoUpdProcess: the updater's window did not close, go on!";
    const std::string oniLeft = "StopTavoVlrONI: tavoVlrONI.exe is still running after 3 kills, go on!";
    const std::string kill = "StopTavoVlrONI: kill tavoVlrONI.exe!\n";
    EXPECT_TRUE(SameLines(
        run.steps,
        {"StopAllBackgroundProcess: Wait TAVOIM.exe exit!\n",
         "StopAllBackgroundProcess: overtime 2s TAVOIM.exe is still existed in process list, kill it!\n",
         updater + "\n", "StopTavoUpdProcess: Stop tavoupd.exe.\n", kill, kill, kill, oniLeft + "\n",
         "StopAndUninstallVelnorService: stop!\n", "StopAndUninstallVelnorService: uninstall!\n"}));
    EXPECT_NE(run.output.find("TAVOIM.exe\n" + updater + "\ntavoupdate.exe\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("tavoupdate.exe\n" + oniLeft + "\ntavoVlrONI.exe\n"), std::string::npos);
    EXPECT_EQ(im.ExitCode(), 0u);  // killed (by itself it would end with 7)
    EXPECT_EQ(update.ExitCode(), 0u);
}

}  // namespace
}  // namespace tavo::test
