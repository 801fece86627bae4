// The second stage of TavoRemover with the whole suite running and registered: its processes, the
// update service, the plug-in host serving a connected plug-in, and every COM component. Afterwards
// nothing of it runs or is registered, and the plug-in's next call fails instead of hanging. The run
// also measures the time the stopping and the unregistering take.
#include <gtest/gtest.h>

#include <cstdio>

#include "debug_capture.h"
#include "host_harness.h"
#include "suite_scene.h"

namespace tavo::test {
namespace {

TEST(SecondStage, StopsAndUnregistersTheWholeRunningSuite) {
    ComponentInstall install;
    // The host serves its classes only with the manager library beside it.
    ASSERT_TRUE(
        CopyFileW(BinPath(L"tavopluginhost.exe").c_str(), (install / L"tavopluginhost.exe").c_str(), 0));
    ASSERT_TRUE(CopyFileW(BinPath(L"fixtures\\manager\\full\\tavoMgr.dll").c_str(),
                          (install / L"tavoMgr.dll").c_str(), FALSE));
    capture::Options registration;
    registration.commandLine =
        L"\"" + BinPath(L"remover_steps_probe.exe") + L"\" com \"" + install.folder() + L"\" 1";
    capture::Run(registration);
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TavoPluginHost.Meeting"));

    // A plug-in connected to the host (its IDispatch taken while the host runs) that makes one more call
    // once the uninstaller has run.
    WineTypeLibAlias alias(install / L"tavopluginhost.exe");
    TempFolder files(L"tavo-client");  // no blank: the script takes the paths as plain tokens
    WriteTextFile(files / L"script.txt", "create Meeting\nadvise\nnames StartOCMeeting\ntouch " +
                                             Narrow(files / L"ready") + "\nwait-file " +
                                             Narrow(files / L"go") + " 120000\nnames StartOCMeeting\n");
    HostProcess plugin;
    ASSERT_TRUE(plugin.Start(BinPath(L"fixtures\\plugin_client\\tavoplugin_client.exe"),
                             L"\"" + (files / L"script.txt") + L"\" \"" + (files / L"record.txt") + L"\""));
    ASSERT_TRUE(WaitFor([&] { return FileExists(files / L"ready"); }, 60000))
        << ReadFileBytes(files / L"record.txt");

    TempFolder folder(L"tavo suite programs");
    SuiteProcess inst(folder.path(), L"TAVOINST.EXE");  // names match in any letter case
    SuiteProcess im(folder.path(), L"TAVOIM.exe", "exit_code=7");
    SuiteProcess update(folder.path(), L"tavoUpdate.exe",
                        "window_class=" + Narrow(kUpdaterWindowClass) + "\nclose_message=0x467\nexit_code=7");
    SuiteProcess oni(folder.path(), L"tavoVlrONI.exe");
    for (SuiteProcess* process : {&inst, &im, &update, &oni}) ASSERT_TRUE(process->Start());
    RunningService service;
    ASSERT_TRUE(service.ok());

    // The background process ends by itself once the step waits for it.
    DWORD start = 0, unregisterStart = 0, end = 0;
    capture::Options remover;
    remover.commandLine = L"\"" + BinPath(L"TavoRemover.exe") + L"\" /TempUninstall";
    remover.onDebugLine = [&](const capture::DebugLine& line) {
        if (line.text == "StopAllBackgroundProcess: Wait TAVOIM.exe exit!\n") im.Stop();
        if (line.text == "verify cmdline succ!\n") start = GetTickCount();
        if (line.text == "RegTavoCOM regsrv32 tavo-file!\n") unregisterStart = GetTickCount();
        if (line.text == "<-- RegTavoCOM. \n") end = GetTickCount();
    };
    const capture::Result result = capture::Run(remover);
    EXPECT_TRUE(SameLines(
        StepLines(result.TextsOf(result.pid)),
        {"StopTavoInstProcess: Kill tavoinst.exe!\n", "StopAllBackgroundProcess: Wait TAVOIM.exe exit!\n",
         "StopTavoVlrONI: kill tavoVlrONI.exe!\n", "StopTavoService: kill tavopluginhost.exe!\n",
         "StopAndUninstallVelnorService: stop!\n", "StopAndUninstallVelnorService: uninstall!\n"}));
    std::printf("[ MEASURED ] stopping %lu ms, then the sequence's 2000 ms wait, unregistering %lu ms\n",
                unregisterStart - start - 2000, end - unregisterStart);

    EXPECT_EQ(im.ExitCode(), 7u);  // not killed
    EXPECT_EQ(update.ExitCode(), 7u);
    for (const wchar_t* name : {L"tavoInst.exe", L"TAVOIM.exe", L"tavoUpdate.exe", L"tavoVlrONI.exe",
                                L"tavopluginhost.exe", L"velnorservice.exe"})
        EXPECT_FALSE(capture::IsImageRunning(name)) << Narrow(name);
    EXPECT_FALSE(RunningService::Exists());
    EXPECT_TRUE(install.Registered().empty());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TavoPluginHost.Meeting"));

    // The plug-in's call to the killed host fails as disconnected (or as an unavailable server).
    WriteTextFile(files / L"go", "");
    ASSERT_TRUE(plugin.WaitExit(60000));
    const std::string record = ReadFileBytes(files / L"record.txt");
    EXPECT_TRUE(Contains(record, "names StartOCMeeting -> 0x800706BA") ||
                Contains(record, "names StartOCMeeting -> 0x80010108"))
        << record;
}

}  // namespace
}  // namespace tavo::test
