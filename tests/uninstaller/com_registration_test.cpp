// Registration of the suite's COM components (RegTavoCOM, RegCOMDLL), run by the steps probe beside the
// trace-library fixture: the component fixture under the seventeen names, the machine's own regsvr32 and
// the real plug-in host.
#include <gtest/gtest.h>

#include <algorithm>

#include "debug_capture.h"
#include "suite_scene.h"

namespace tavo::test {
namespace {

// The probe beside the trace library runs RegTavoCOM; `paths` receives the "path=" lines it printed
// before and after, `traces` "<level> <text>" of the step's own trace records, `components` the component
// fixture's records ("unregister <TAB> name <TAB> process image <TAB> Path <TAB> current folder"). The probe
// runs with a user's own folder first on its Path and in a current folder of the test's.
struct ComRun {
    ComRun(const std::wstring& installFolder, bool install) {
        TempFolder folder(L"tavo probe");
        ScopedEnv traceLog(L"TAVO_TRACE_LOG", (folder / L"trace.log").c_str());
        ScopedEnv comLog(L"TAVO_COM_LOG", (folder / L"com.log").c_str());
        wchar_t inherited[8192] = {};
        GetEnvironmentVariableW(L"Path", inherited, 8192);
        ScopedEnv userPath(L"Path", (folder.path() + L"\\user-bin;" + inherited).c_str());
        wchar_t current[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, current);
        SetCurrentDirectoryW(folder.path().c_str());
        CopyFileW(BinPath(L"remover_steps_probe.exe").c_str(), (folder / L"probe.exe").c_str(), FALSE);
        CopyFileW(BinPath(L"fixtures\\vlrtrace\\both\\vlrtrace.dll").c_str(),
                  (folder / L"vlrtrace.dll").c_str(), FALSE);
        capture::Options options;
        options.commandLine =
            L"\"" + (folder / L"probe.exe") + L"\" com \"" + installFolder + L"\" " + (install ? L"1" : L"0");
        paths = SplitLines(capture::Run(options).output);
        for (const TraceRecord& record : ReadTraceRecords(folder / L"trace.log")) {
            if (record.text.find("RegTavoCOM") != std::string::npos ||
                record.text.find("RegCOMDLL") != std::string::npos || record.text.find("strCommand") == 1)
                traces.push_back(std::to_string(record.level) + " " + record.text);
        }
        components = SplitLines(ReadFileBytes(folder / L"com.log"));
        SetCurrentDirectoryW(current);
    }
    std::vector<std::string> paths, traces, components;
};

// The machine's own Path (the system environment's), expanded.
std::string MachinePath() {
    wchar_t raw[4096] = {}, expanded[8192] = {};
    DWORD size = sizeof(raw) - sizeof(wchar_t);
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                 L"Path", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, raw, &size);
    ExpandEnvironmentStringsW(raw, expanded, 8192);
    return Ansi(expanded);
}

std::string SystemFolder(bool wow64) {
    wchar_t folder[MAX_PATH] = {};
    wow64 ? GetSystemWow64DirectoryW(folder, MAX_PATH) : GetSystemDirectoryW(folder, MAX_PATH);
    return Ansi(folder);
}

// All seventeen components and the plug-in host registered, then unregistered with one component's file
// gone: regsvr32 runs from the 32-bit system folder (the system folder of 32-bit Windows) with the exact
// commands, the install folder (64-bit: its components folder) on "Path" for each run only; the missing
// file is traced and the others are handled; on 32-bit Windows the 64-bit components are skipped. Each
// run gets the machine's own Path (not the probe's, which starts with a user's folder) and the system
// folder as its current folder.
TEST(RegTavoCOM, UnregistersEveryComponentAndTheHostWithRegsvr32OfTheSystem) {
    ComponentInstall install;
    ASSERT_TRUE(
        CopyFileW(BinPath(L"tavopluginhost.exe").c_str(), (install / L"tavopluginhost.exe").c_str(), 0));
    const bool win64 = SixtyFourBitWindows();
    std::vector<std::wstring> all = ComponentInstall::k32Bit;
    if (win64) all.insert(all.end(), ComponentInstall::k64Bit.begin(), ComponentInstall::k64Bit.end());
    ComRun(install.folder(), true);
    EXPECT_EQ(install.Registered(), all);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TavoPluginHost.Meeting"));

    const std::wstring missing = L"tavoONIUI.dll";
    ASSERT_TRUE(DeleteFileW((install / missing).c_str()));
    const ComRun run(install.folder(), false);
    EXPECT_EQ(install.Registered(), std::vector<std::wstring>{missing});  // its file is gone: left alone
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TavoPluginHost.Meeting"));
    ASSERT_EQ(run.paths.size(), 2u);
    EXPECT_EQ(run.paths[0], run.paths[1]);
    EXPECT_NE(run.paths[0].find("user-bin"), std::string::npos);

    const std::string path = MachinePath(), folder = Ansi(install.folder());
    const std::string regsvr32 = SystemFolder(win64) + "\\regsvr32.exe";
    std::vector<std::string> traces = {"2 --> RegTavoCOM. bInstall=0,\n"}, records;
    for (size_t i = 0; i < ComponentInstall::k32Bit.size() + ComponentInstall::k64Bit.size(); ++i) {
        const bool is64 = i >= ComponentInstall::k32Bit.size();
        const std::wstring& name = is64 ? ComponentInstall::k64Bit[i - 9] : ComponentInstall::k32Bit[i];
        const std::string dll = folder + "\\" + Ansi(name);
        if (name == missing) {
            traces.push_back("2  RegTavoCOM: [" + dll + "] is not existed!\n,\n");
            continue;
        }
        traces.push_back("2 --> RegCOMDLL \n");
        traces.push_back("2  RegCOMDLL,lpszFilePath=" + dll + ",lpszRegCmdLine=/u,\n");
        if (!win64) traces.push_back("8  RegCOMDLL: VlrGetSystemWow64Directory failed!\n,\n");
        if (win64 || !is64) {
            traces.push_back("2  strCommand.c_str()=" + regsvr32 + " /s /u \"" + dll + "\",\n");
            traces.push_back("2  RegCOMDLL regsvr32.exe process exit,\n");
            records.push_back("unregister\t" + Ansi(name) + "\t" +
                              (is64 ? SystemFolder(false) + "\\regsvr32.exe" : regsvr32) + "\t" + path + ";" +
                              folder + (is64 ? "\\components\\" : "") + "\t" + SystemFolder(false));
        }
        traces.push_back("2 <-- RegCOMDLL \n");
    }
    traces.push_back("2  RegTavoCOM: [" + folder + "\\tavopluginhost.exe] is existed!\n,\n");
    traces.push_back("2 <-- RegTavoCOM. \n");
    EXPECT_TRUE(SameLines(run.traces, traces));
    EXPECT_TRUE(SameLines(run.components, records));
    // Run again (the uninstall finished after an interruption): nothing of the host is registered any more,
    // so it is not asked to unregister (it would answer with a failure).
    const ComRun again(install.folder(), false);
    const std::string notRegistered =
        "2  RegTavoCOM: [" + folder + "\\tavopluginhost.exe] is not registered!\n,\n";
    EXPECT_NE(std::find(again.traces.begin(), again.traces.end(), notRegistered), again.traces.end());
}

// Nothing is looked for in a folder that is not a full path (the uninstaller runs from the temporary
// folder: the names would be found there).
TEST(RegTavoCOM, AnInstallFolderThatIsNotAFullPathRegistersNothing) {
    ComponentInstall install;
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(install.folder().c_str());
    const ComRun run(L"", true);
    SetCurrentDirectoryW(current);
    EXPECT_TRUE(install.Registered().empty());
    EXPECT_TRUE(run.components.empty());
}

}  // namespace
}  // namespace tavo::test
