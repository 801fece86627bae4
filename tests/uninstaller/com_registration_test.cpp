// Registration of the suite's COM components (RegTavoCOM, RegCOMDLL), run by the steps probe beside the
// trace-library fixture: the component fixture under the seventeen names, the machine's own regsvr32 and
// the real plug-in host.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "debug_capture.h"
#include "suite_scene.h"
#include "test_support.h"

using tavo::test::Ansi;
using tavo::test::BinPath;
using tavo::test::ComponentInstall;
using tavo::test::KeyExists;
using tavo::test::SameLines;
using tavo::test::ScopedEnv;
using tavo::test::SixtyFourBitWindows;
using tavo::test::SplitLines;
using tavo::test::TempFolder;

namespace {

constexpr wchar_t kHostProgId[] = L"Software\\Classes\\TavoPluginHost.Meeting";

// The probe beside the trace library, its trace records and the component fixture's records.
class ComRun {
  public:
    ComRun()
        : traceLog_(L"TAVO_TRACE_LOG", (folder_ / L"trace.log").c_str()),
          comLog_(L"TAVO_COM_LOG", (folder_ / L"com.log").c_str()) {
        CopyFileW(BinPath(L"remover_steps_probe.exe").c_str(), (folder_ / L"probe.exe").c_str(), FALSE);
        CopyFileW(BinPath(L"fixtures\\vlrtrace\\both\\vlrtrace.dll").c_str(),
                  (folder_ / L"vlrtrace.dll").c_str(), FALSE);
    }
    // Runs RegTavoCOM; gives the "path=" lines the probe printed before and after it.
    std::vector<std::string> Run(const std::wstring& installFolder, bool install) {
        DeleteFileW((folder_ / L"trace.log").c_str());
        DeleteFileW((folder_ / L"com.log").c_str());
        tavo::capture::Options options;
        options.commandLine = L"\"" + (folder_ / L"probe.exe") + L"\" com \"" + installFolder + L"\" " +
                              (install ? L"1" : L"0");
        const tavo::capture::Result result = tavo::capture::Run(options);
        EXPECT_EQ(result.exitCode, 0u);
        return SplitLines(result.output);
    }
    // "<level> <text>" of every trace record of the step itself.
    std::vector<std::string> Traces() const {
        std::vector<std::string> lines;
        for (const auto& record : tavo::test::ReadTraceRecords(folder_ / L"trace.log")) {
            if (record.text.find("RegTavoCOM") == std::string::npos &&
                record.text.find("RegCOMDLL") == std::string::npos &&
                record.text.find("strCommand") == std::string::npos)
                continue;
            lines.push_back(std::to_string(record.level) + " " + record.text);
        }
        return lines;
    }
    // The component fixture's records: "unregister <TAB> name <TAB> clsid <TAB> image <TAB> Path".
    std::vector<std::string> Components() const {
        return SplitLines(tavo::test::ReadFileBytes(folder_ / L"com.log"));
    }

  private:
    TempFolder folder_{L"tavo probe"};
    ScopedEnv traceLog_;
    ScopedEnv comLog_;
};

std::wstring SystemFolder(bool wow64) {
    wchar_t folder[MAX_PATH] = {};
    if (wow64) {
        GetSystemWow64DirectoryW(folder, MAX_PATH);
    } else {
        GetSystemDirectoryW(folder, MAX_PATH);
    }
    return folder;
}

// The trace records of one RegCOMDLL run that unregisters `dll` with regsvr32 of `folder` (empty: the
// run is skipped for want of the 32-bit system folder of 64-bit Windows).
std::vector<std::string> UnregisterTraces(const std::string& dll, const std::string& folder,
                                          bool wow64Failed) {
    std::vector<std::string> lines = {"2 --> RegCOMDLL \n",
                                      "2  RegCOMDLL,lpszFilePath=" + dll + ",lpszRegCmdLine=/u,\n"};
    if (wow64Failed) lines.push_back("8  RegCOMDLL: VlrGetSystemWow64Directory failed!\n,\n");
    if (!folder.empty()) {
        lines.push_back("2  strCommand.c_str()=" + folder + "\\regsvr32.exe /s /u \"" + dll + "\",\n");
        lines.push_back("2  RegCOMDLL regsvr32.exe process exit,\n");
    }
    lines.push_back("2 <-- RegCOMDLL \n");
    return lines;
}

// All seventeen components and the plug-in host registered, then unregistered with one component's file
// gone: regsvr32 runs from the 32-bit system folder (the system folder of 32-bit Windows) with the exact
// commands, the install folder (64-bit: its components folder) on "Path" for each run only; the missing
// file is traced and the others are handled; on 32-bit Windows the 64-bit components are skipped.
TEST(RegTavoCOM, UnregistersEveryComponentAndTheHostWithRegsvr32OfTheSystem) {
    ComponentInstall install;
    ASSERT_TRUE(
        CopyFileW(BinPath(L"tavopluginhost.exe").c_str(), (install / L"tavopluginhost.exe").c_str(), FALSE));
    ComRun run;
    const bool win64 = SixtyFourBitWindows();
    std::vector<std::wstring> all = ComponentInstall::k32Bit;
    if (win64) all.insert(all.end(), ComponentInstall::k64Bit.begin(), ComponentInstall::k64Bit.end());

    run.Run(install.folder(), true);
    EXPECT_EQ(install.Registered(), all);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kHostProgId));

    const std::wstring missing = L"tavoONIUI.dll";
    ASSERT_TRUE(DeleteFileW((install / missing).c_str()));
    const std::vector<std::string> paths = run.Run(install.folder(), false);
    EXPECT_EQ(install.Registered(), std::vector<std::wstring>{missing});  // its file is gone: left alone
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kHostProgId));
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0], paths[1]);
    const std::string path = paths[0].substr(5);

    const std::string folder = Ansi(install.folder());
    const std::string regsvr = Ansi(SystemFolder(win64));
    std::vector<std::string> traces = {"2 --> RegTavoCOM. bInstall=0,\n"};
    std::vector<std::string> records;
    for (const std::wstring& name : ComponentInstall::k32Bit) {
        const std::string dll = folder + "\\" + Ansi(name);
        if (name == missing) {
            traces.push_back("2  RegTavoCOM: [" + dll + "] is not existed!\n,\n");
            continue;
        }
        const auto lines = UnregisterTraces(dll, regsvr, !win64);
        traces.insert(traces.end(), lines.begin(), lines.end());
        records.push_back("unregister\t" + Ansi(name) + "\t" + regsvr + "\\regsvr32.exe\t" + path + ";" +
                          folder);
    }
    for (const std::wstring& name : ComponentInstall::k64Bit) {
        const std::string dll = folder + "\\" + Ansi(name);
        const auto lines = UnregisterTraces(dll, win64 ? regsvr : "", !win64);
        traces.insert(traces.end(), lines.begin(), lines.end());
        if (win64) {
            records.push_back("unregister\t" + Ansi(name) + "\t" + Ansi(SystemFolder(false)) +
                              "\\regsvr32.exe\t" + path + ";" + folder + "\\components\\");
        }
    }
    traces.push_back("2  RegTavoCOM: [" + folder + "\\tavopluginhost.exe] is existed!\n,\n");
    traces.push_back("2 <-- RegTavoCOM. \n");
    EXPECT_TRUE(SameLines(run.Traces(), traces));

    // The records without the CLSID (the registry shows the classes).
    std::vector<std::string> seen;
    for (std::string line : run.Components()) {
        const size_t second = line.find('\t', line.find('\t') + 1), third = line.find('\t', second + 1);
        seen.push_back(line.erase(second, third - second));
    }
    EXPECT_TRUE(SameLines(seen, records));
}

// Nothing is looked for in a folder that is not a full path (the uninstaller runs from the temporary
// folder: the names would be found there).
TEST(RegTavoCOM, AnInstallFolderThatIsNotAFullPathRegistersNothing) {
    ComponentInstall install;
    ComRun run;
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(install.folder().c_str());
    run.Run(L"", true);
    SetCurrentDirectoryW(current);
    EXPECT_TRUE(install.Registered().empty());
    EXPECT_TRUE(run.Components().empty());
}

}  // namespace
