// Stopping the suite's processes and its update service (StopTavoProcesses), run by the steps probe
// against copies of the suite-process fixture and the real update service fixture.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "debug_capture.h"
#include "suite_scene.h"
#include "test_support.h"

using tavo::capture::IsImageRunning;
using tavo::test::BinPath;
using tavo::test::RunningService;
using tavo::test::SameLines;
using tavo::test::StepLines;
using tavo::test::SuiteProcess;
using tavo::test::TempFolder;

namespace {

struct StopRun {
    std::string output;
    std::vector<std::string> steps;
};

StopRun RunStop(std::function<void(const tavo::capture::DebugLine&)> onDebugLine = nullptr) {
    tavo::capture::Options options;
    options.commandLine = L"\"" + BinPath(L"remover_steps_probe.exe") + L"\" stop";
    options.onDebugLine = std::move(onDebugLine);
    const tavo::capture::Result result = tavo::capture::Run(options);
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0u);
    return {tavo::test::Unix(result.output), StepLines(result.TextsOf(result.pid))};
}

std::string Window(const char* closeMessage) {
    return std::string("window_class=") + tavo::test::Narrow(tavo::test::kUpdaterClass) +
           "\nclose_message=" + closeMessage;
}

const wchar_t* const kSuiteNames[] = {L"tavoInst.exe", L"TAVOIM.exe", L"tavoUpdate.exe", L"tavoVlrONI.exe",
                                      L"tavopluginhost.exe"};

TEST(StopTavoProcesses, NoneRunningPrintsTheBannerAndTheSixNamesAndOnlyAsksTheServiceControl) {
    const StopRun run = RunStop();
    EXPECT_EQ(run.output, tavo::test::StopBannerAndNames());
    EXPECT_TRUE(SameLines(run.steps, {"StopAndUninstallVelnorService: stop!\n",
                                      "StopAndUninstallVelnorService: uninstall!\n"}));
}

// Every process of the suite (the installer under an upper-case name) and the service running: each is
// gone afterwards, in the order of the operations. The background process that ends by itself within
// the wait and the updater whose window closes on the message end with their own exit code (7): no kill.
TEST(StopTavoProcesses, EverythingRunningEndsInOrderWithoutKillingWhatEndsByItself) {
    TempFolder folder(L"tavo suite");
    SuiteProcess inst(folder.path(), L"TAVOINST.EXE");
    SuiteProcess im(folder.path(), L"TAVOIM.exe", "exit_code=7");
    SuiteProcess update(folder.path(), L"tavoUpdate.exe", Window("0x467") + "\nexit_code=7");
    SuiteProcess oni(folder.path(), L"tavoVlrONI.exe");
    SuiteProcess host(folder.path(), L"tavopluginhost.exe");
    for (SuiteProcess* process : {&inst, &im, &update, &oni, &host}) ASSERT_TRUE(process->Start());
    RunningService service;
    ASSERT_TRUE(service.ok());

    // The background process ends once the step has started waiting for it.
    const StopRun run = RunStop([&](const tavo::capture::DebugLine& line) {
        if (line.text == "StopAllBackgroundProcess: Wait TAVOIM.exe exit!\n") im.Stop();
    });
    EXPECT_TRUE(SameLines(
        run.steps,
        {"StopTavoInstProcess: Kill tavoinst.exe!\n", "StopAllBackgroundProcess: Wait TAVOIM.exe exit!\n",
         "StopTavoVlrONI: kill tavoVlrONI.exe!\n", "StopTavoService: kill tavopluginhost.exe!\n",
         "StopAndUninstallVelnorService: stop!\n", "StopAndUninstallVelnorService: uninstall!\n"}));
    EXPECT_EQ(run.output, tavo::test::StopBannerAndNames());
    EXPECT_EQ(inst.ExitCode(), 0u);
    EXPECT_EQ(im.ExitCode(), 7u);
    EXPECT_EQ(update.ExitCode(), 7u);
    EXPECT_EQ(oni.ExitCode(), 0u);
    EXPECT_EQ(host.ExitCode(), 0u);
    for (const wchar_t* name : kSuiteNames) EXPECT_FALSE(IsImageRunning(name)) << tavo::test::Narrow(name);
    EXPECT_FALSE(RunningService::Exists());
    EXPECT_FALSE(IsImageRunning(L"velnorservice.exe"));
}

// What never ends by itself ends at the bounds: the background process after its wait, the updater
// whose window ignores the message after 50 posts, and a program that something keeps restarting after
// three kills; each bound that runs out is reported and the next operation runs.
TEST(StopTavoProcesses, WhatNeverEndsByItselfEndsAtTheBounds) {
    TempFolder folder(L"tavo suite");
    SuiteProcess im(folder.path(), L"TAVOIM.exe", "exit_code=7");
    SuiteProcess update(folder.path(), L"tavoUpdate.exe", Window("0x401") + "\nexit_code=7");
    SuiteProcess watcher(folder.path(), L"watcher.exe",
                         "keep_running=" + tavo::test::Narrow(folder / L"tavoVlrONI.exe"));
    SuiteProcess oni(folder.path(), L"tavoVlrONI.exe");  // started only by the watcher
    for (SuiteProcess* process : {&im, &update, &watcher}) ASSERT_TRUE(process->Start());
    for (int i = 0; i < 100 && !IsImageRunning(L"tavoVlrONI.exe"); ++i) Sleep(100);

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
    EXPECT_EQ(im.ExitCode(), 0u);
    EXPECT_EQ(update.ExitCode(), 0u);
    EXPECT_EQ(watcher.ExitCode(), 0u);
    for (int i = 0; i < 100 && IsImageRunning(L"tavoVlrONI.exe"); ++i) Sleep(100);
    EXPECT_FALSE(IsImageRunning(L"tavoVlrONI.exe"));
}

}  // namespace
