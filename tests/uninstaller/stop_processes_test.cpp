// Stopping the suite's processes and its update service (StopTavoProcesses), run by the steps probe
// against copies of the suite-process fixture and the real update service fixture.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "debug_capture.h"
#include "suite_scene.h"

namespace tavo::test {
namespace {

struct StopRun {
    std::string output;
    std::vector<std::string> steps;
};

StopRun RunStop(std::function<void(const capture::DebugLine&)> onDebugLine = nullptr) {
    capture::Options options;
    options.commandLine = L"\"" + BinPath(L"remover_steps_probe.exe") + L"\" stop";
    options.onDebugLine = std::move(onDebugLine);
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
// whose window ignores the message after 50 posts, and a program of which more copies run than the step
// kills (each kill waits for its copy's end, then the next copy is found) after three kills; each bound
// that runs out is reported and the next operation runs.
TEST(StopTavoProcesses, WhatNeverEndsByItselfEndsAtTheBounds) {
    TempFolder folder(L"tavo suite"), copies(L"tavo copies");
    SuiteProcess im(folder.path(), L"TAVOIM.exe", "exit_code=7");
    SuiteProcess update(folder.path(), L"tavoUpdate.exe",
                        "window_class=" + Narrow(kUpdaterWindowClass) + "\nclose_message=0x401\nexit_code=7");
    std::vector<std::unique_ptr<SuiteProcess>> onis;
    for (int i = 0; i < 4; ++i) {
        const std::wstring copy = copies / std::to_wstring(i);
        ASSERT_TRUE(CreateDirectoryW(copy.c_str(), nullptr));
        onis.push_back(std::make_unique<SuiteProcess>(copy, L"tavoVlrONI.exe"));
        ASSERT_TRUE(onis.back()->Start());
    }
    for (SuiteProcess* process : {&im, &update}) ASSERT_TRUE(process->Start());

    const StopRun run = RunStop();
    int left = 0;
    for (const auto& oni : onis) {
        left += oni->ExitCode(0) == STILL_ACTIVE;
        oni->Stop();
    }
    EXPECT_EQ(left, 1);
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

// After each kill the step waits for the killed process itself to end: two installers of the same name
// are killed one after the other, each once; a process that ends by itself is never killed: the background
// process, ended while the step waits on it, and the updater, whose window closes when asked.
TEST(StopTavoProcesses, EachProcessIsKilledOnceAndWhatEndsByItselfIsNotKilled) {
    TempFolder folder(L"tavo suite"), other(L"tavo other");
    SuiteProcess installer(folder.path(), L"tavoInst.exe"), second(other.path(), L"tavoInst.exe");
    SuiteProcess im(folder.path(), L"TAVOIM.exe", "exit_code=7");
    SuiteProcess update(folder.path(), L"tavoUpdate.exe",
                        "window_class=" + Narrow(kUpdaterWindowClass) + "\nclose_message=0x467\nexit_code=7");
    SuiteProcess oni(folder.path(), L"tavoVlrONI.exe"), host(folder.path(), L"tavopluginhost.exe");
    for (SuiteProcess* process : {&installer, &second, &im, &update, &oni, &host})
        ASSERT_TRUE(process->Start());

    const std::string wait = "StopAllBackgroundProcess: Wait TAVOIM.exe exit!\n";
    const StopRun run = RunStop([&](const capture::DebugLine& line) {
        if (line.text == wait) im.Stop();
    });
    const std::string kill = "StopTavoInstProcess: Kill tavoinst.exe!\n";
    EXPECT_TRUE(SameLines(
        run.steps, {kill, kill, wait, "StopTavoVlrONI: kill tavoVlrONI.exe!\n",
                    "StopTavoService: kill tavopluginhost.exe!\n", "StopAndUninstallVelnorService: stop!\n",
                    "StopAndUninstallVelnorService: uninstall!\n"}));
    for (SuiteProcess* process : {&installer, &second, &oni, &host}) EXPECT_EQ(process->ExitCode(), 0u);
    EXPECT_EQ(im.ExitCode(), 7u);
    EXPECT_EQ(update.ExitCode(), 7u);
}

}  // namespace
}  // namespace tavo::test
