// The second stage of TavoRemover with the whole suite running and registered: its processes, the
// update service, the plug-in host serving a connected plug-in, and every COM component. Afterwards
// nothing of it runs or is registered, and the plug-in's next call fails instead of hanging. The run
// also measures the time the stopping and the unregistering take.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "debug_capture.h"
#include "suite_scene.h"
#include "support/scoped.h"
#include "test_support.h"

using tavo::capture::IsImageRunning;
using tavo::test::BinPath;
using tavo::test::ComponentInstall;
using tavo::test::FileExists;
using tavo::test::KeyExists;
using tavo::test::SameLines;
using tavo::test::StepLines;
using tavo::test::SuiteProcess;
using tavo::test::TempFolder;

namespace {

tavo::capture::Result RunProgram(const std::wstring& commandLine,
                                 std::function<void(const tavo::capture::DebugLine&)> onDebugLine = nullptr) {
    tavo::capture::Options options;
    options.commandLine = commandLine;
    options.onDebugLine = std::move(onDebugLine);
    return tavo::capture::Run(options);
}

// Wine's universal marshaler finds a type library only under locale 0, where the host does not register
// its own (tests/pluginhost/host_harness.h): the alias a client of the host needs on the test machine.
class TypeLibAlias {
  public:
    explicit TypeLibAlias(const std::wstring& hostExe) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, (kVersion + std::wstring(L"\\0\\win32")).c_str(), 0, nullptr,
                            0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(hostExe.c_str()),
                       static_cast<DWORD>((hostExe.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    ~TypeLibAlias() {
        RegDeleteKeyW(HKEY_CLASSES_ROOT, (kVersion + std::wstring(L"\\0\\win32")).c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, (kVersion + std::wstring(L"\\0")).c_str());
    }

  private:
    static constexpr wchar_t kVersion[] = L"TypeLib\\{9F41C6D2-0E7B-4A35-B8C4-62D1E0F7A3B5}\\1.0";
};

bool WaitForFile(const std::wstring& path, DWORD ms) {
    for (DWORD waited = 0; waited < ms; waited += 100) {
        if (FileExists(path)) return true;
        Sleep(100);
    }
    return false;
}

TEST(SecondStage, StopsAndUnregistersTheWholeRunningSuite) {
    ComponentInstall install;
    ASSERT_TRUE(
        CopyFileW(BinPath(L"tavopluginhost.exe").c_str(), (install / L"tavopluginhost.exe").c_str(), FALSE));
    RunProgram(L"\"" + BinPath(L"remover_steps_probe.exe") + L"\" com \"" + install.folder() + L"\" 1");
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TavoPluginHost.Meeting"));

    // A plug-in connected to the host that makes one more call once the uninstaller has run. The host
    // serves its classes only with the manager library beside it.
    ASSERT_TRUE(CopyFileW(BinPath(L"fixtures\\manager\\full\\tavoMgr.dll").c_str(),
                          (install / L"tavoMgr.dll").c_str(), FALSE));
    TypeLibAlias alias(install / L"tavopluginhost.exe");
    TempFolder files(L"tavo-client");  // no blank: the script takes the paths as plain tokens
    tavo::test::WriteTextFile(files / L"script.txt", "create Meeting\nadvise\nnames StartOCMeeting\ntouch " +
                                                         tavo::test::Narrow(files / L"ready") +
                                                         "\nwait-file " + tavo::test::Narrow(files / L"go") +
                                                         " 120000\nnames StartOCMeeting\n");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION plugin = {};
    std::wstring clientLine = L"\"" + BinPath(L"fixtures\\plugin_client\\tavoplugin_client.exe") + L"\" \"" +
                              (files / L"script.txt") + L"\" \"" + (files / L"record.txt") + L"\"";
    ASSERT_TRUE(CreateProcessW(nullptr, clientLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &plugin));
    tavo::ScopedHandle pluginProcess(plugin.hProcess), pluginThread(plugin.hThread);
    struct EndPlugin {
        HANDLE process;
        ~EndPlugin() {
            if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) TerminateProcess(process, 1);
        }
    } endPlugin{pluginProcess.get()};
    ASSERT_TRUE(WaitForFile(files / L"ready", 60000)) << tavo::test::ReadFileBytes(files / L"record.txt");

    TempFolder folder(L"tavo suite programs");
    SuiteProcess inst(folder.path(), L"TAVOINST.EXE");  // names match in any letter case
    SuiteProcess im(folder.path(), L"TAVOIM.exe", "exit_code=7");
    SuiteProcess update(folder.path(), L"tavoUpdate.exe",
                        "window_class=" + tavo::test::Narrow(tavo::test::kUpdaterClass) +
                            "\nclose_message=0x467\nexit_code=7");
    SuiteProcess oni(folder.path(), L"tavoVlrONI.exe");
    for (SuiteProcess* process : {&inst, &im, &update, &oni}) ASSERT_TRUE(process->Start());
    tavo::test::RunningService service;
    ASSERT_TRUE(service.ok());

    DWORD start = 0, unregisterStart = 0, end = 0;
    const tavo::capture::Result result =
        RunProgram(L"\"" + BinPath(L"TavoRemover.exe") + L"\" /TempUninstall", [&](const auto& line) {
            if (line.text == "StopAllBackgroundProcess: Wait TAVOIM.exe exit!\n") im.Stop();
            if (line.text == "verify cmdline succ!\n") start = GetTickCount();
            if (line.text == "RegTavoCOM regsrv32 tavo-file!\n") unregisterStart = GetTickCount();
            if (line.text == "<-- RegTavoCOM. \n") end = GetTickCount();
        });
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(SameLines(
        StepLines(result.TextsOf(result.pid)),
        {"StopTavoInstProcess: Kill tavoinst.exe!\n", "StopAllBackgroundProcess: Wait TAVOIM.exe exit!\n",
         "StopTavoVlrONI: kill tavoVlrONI.exe!\n", "StopTavoService: kill tavopluginhost.exe!\n",
         "StopAndUninstallVelnorService: stop!\n", "StopAndUninstallVelnorService: uninstall!\n"}));
    std::printf("[ MEASURED ] stopping %lu ms, then the sequence's 2000 ms wait, unregistering %lu ms\n",
                static_cast<unsigned long>(unregisterStart - start - 2000),
                static_cast<unsigned long>(end - unregisterStart));

    EXPECT_EQ(im.ExitCode(), 7u);
    EXPECT_EQ(update.ExitCode(), 7u);
    for (const wchar_t* name : {L"tavoInst.exe", L"TAVOIM.exe", L"tavoUpdate.exe", L"tavoVlrONI.exe",
                                L"tavopluginhost.exe", L"velnorservice.exe"})
        EXPECT_FALSE(IsImageRunning(name)) << tavo::test::Narrow(name);
    EXPECT_FALSE(tavo::test::RunningService::Exists());
    EXPECT_TRUE(install.Registered().empty());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TavoPluginHost.Meeting"));

    // The plug-in's call to the killed host fails as disconnected (or as an unavailable server).
    tavo::test::WriteTextFile(files / L"go", "");
    ASSERT_EQ(WaitForSingleObject(pluginProcess.get(), 60000), WAIT_OBJECT_0);
    const std::vector<std::string> record =
        tavo::test::SplitLines(tavo::test::ReadFileBytes(files / L"record.txt"));
    ASSERT_GE(record.size(), 2u);
    const std::string last = record[record.size() - 2];
    EXPECT_TRUE(last.rfind("names StartOCMeeting -> 0x800706BA", 0) == 0 ||
                last.rfind("names StartOCMeeting -> 0x80010108", 0) == 0)
        << tavo::test::ReadFileBytes(files / L"record.txt");
}

}  // namespace
