// TavoRemover as a whole program on a clean machine: its command line, its console and debug output, and
// the two stages.
#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>

#include "debug_capture.h"
#include "registry/registry.h"
#include "removal_support.h"
#include "session/session.h"
#include "shortcut/shortcut.h"
#include "system/system_facts.h"
#include "test_support.h"

using tavo::test::Ansi;
using tavo::test::BinPath;
using tavo::test::FolderEntries;
using tavo::test::KeyExists;
using tavo::test::SameLines;
using tavo::test::TempFolder;

namespace {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velnor\\Plugins";
constexpr wchar_t kNeighbourKey[] = L"SOFTWARE\\Velnor\\Neighbour";
const std::string kStars(76, '*');

std::string Banner(const std::string& title, size_t width = 76) {
    std::string line = "********" + title;
    line.append(width - line.size(), '*');
    return "\n" + kStars + "\n" + line + "\n";
}

// The registry cleanup's console on a machine where nothing of the suite's package is registered: the
// installer roots and paths, the missing suite uninstall entry, the client keys (those under
// "SOFTWARE\Wow6432Node" on 64-bit Windows only) with the product key's tree as LayKeys lays it.
std::string RegistryCleanupText() {
    std::string text = Banner("TRY TO CLEANUP THE REGISTRIES OF TAVOKIT.MSI") +
                       "HKEY_CURRENT_USER\nSOFTWARE\\Microsoft\\Installer\\\nHKEY_LOCAL_MACHINE\n"
                       "SOFTWARE\\Classes\\Installer\\\nHKEY_CLASSES_ROOT\nInstaller\\\nHKEY_LOCAL_MACHINE\n"
                       "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\\n"
                       "UpgradeCodes\\8C21F07D4E9A3B5612D0E7F4A6B3C981\n"
                       "RegDeleteKeyEx failed,SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                       "OrvaneVelnorMeetingsPlugins,2\n" +
                       Banner("TRY TO CLEANUP THE REGISTRIES OF TAVO CLIENT") +
                       "HKEY_CURRENT_USER\nSoftware\n";
    const std::string clientKeys =
        "HKEY_LOCAL_MACHINE\nSoftware\nVelnor\\Plugins\nNested\nVelnor_Outlook\nVelnor_Notes\n";
    if (Is64BitWindows()) return text + clientKeys + clientKeys;
    return text + "HKEY_LOCAL_MACHINE\nSoftware\n" + clientKeys;
}

// The stopping of the suite's processes when none of them runs: its banner (no empty line before it) and
// the six names.
std::string StopStep() {
    return Banner("TRY TO STOP PROCESS").substr(1) +
           "tavoinst.exe\nTAVOIM.exe\ntavoupdate.exe\ntavoVlrONI.exe\ntavopluginhost.exe\nVelnorService."
           "exe\n";
}

// The sequence's output without the paths the file-system steps print (thousands for the shortcuts).
std::string Steps(const std::string& output) {
    std::string kept;
    for (const std::string& line : tavo::test::SplitLines(tavo::test::Unix(output))) {
        if (line.rfind("C:\\", 0) != 0) kept += line + "\n";
    }
    return kept;
}

// What the second stage prints, paths aside, when nothing fails. The machine lists one person's profile,
// its own user's (whose suite keys the sequence has removed by then).
std::string Sequence() {
    return "Run TavoRemover.exe!\n\n" + StopStep() + RegistryCleanupText() +
           Banner("TRY TO REMOVE TAVO INSTALL FILES & FOLDER", 84) + Banner("TRY TO CLEANUP TAVO SHORTCUTS") +
           Banner("TRY TO CLEANUP TAVO SHORTCUTS") + Banner("TRY TO CLEANUP TAVO SETTINGS OF EVERY USER") +
           "Cleaning the suite's settings of " + Ansi(AccountDisplayName(tavo::test::OwnSid())) + "\n" +
           Banner("TRY TO DELETE TEMP FILE");
}

void WriteValue(HKEY root, const wchar_t* subkey, DWORD view, const wchar_t* name, const std::wstring& text) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

struct Place {
    HKEY root;
    DWORD view;
};

// The product key and a neighbour in each of the places the uninstaller cleans.
class RemoverTest : public ::testing::Test {
  public:
    void SetUp() override {
        places_ = {{HKEY_LOCAL_MACHINE, 0}, {HKEY_CURRENT_USER, 0}};
        if (Is64BitWindows()) places_.push_back({HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY});
    }
    void TearDown() override {
        for (const Place& place : places_) {
            DeleteRegKey(place.root, kProductKey, place.view);
            DeleteRegKey(place.root, kNeighbourKey, place.view);
        }
    }
    void LayKeys(const std::wstring& installFolder) {
        for (const Place& place : places_) {
            WriteValue(place.root, kProductKey, place.view, L"Path", installFolder);
            WriteValue(place.root, L"SOFTWARE\\Velnor\\Plugins\\Nested", place.view, L"Value", L"x");
            WriteValue(place.root, kNeighbourKey, place.view, L"Keep", L"me");
        }
    }
    tavo::capture::Result Run(const std::wstring& exe, const std::wstring& arguments,
                              std::function<bool()> keepWaiting = nullptr) {
        tavo::capture::Options options;
        options.commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
        options.keepWaiting = std::move(keepWaiting);
        return tavo::capture::Run(options);
    }
    std::vector<Place> places_;
};

std::string InitLine(const std::string& exePath, bool bound) {
    (void)bound;
    return "QXRvt51827 InitVLRTRACER: g_pfnVLRTRACEA=0x00000000, g_pfnVlrTraceResident=0x00000000, "
           "g_hVlrTracer=0x00000000, szInstancePath=" +
           exePath + "\r\n";
}

const std::string kUninitUnbound =
    "QXRvt51827 UninitVLRTRACER: g_pfnVLRTRACEA=0x00000000, g_pfnVlrTraceResident=0x00000000, "
    "g_hVlrTracer=0x00000000\r\n";

TEST_F(RemoverTest, CommandLinesThatDoNothing) {
    const std::wstring installFolder = L"C:\\Program Files (x86)\\Velnor\\Tavo Suite";
    LayKeys(installFolder);
    const std::wstring exe = BinPath(L"TavoRemover.exe");
    const std::string exeNarrow = Ansi(exe);
    const std::string help =
        "These commands are defined internally.Type `/help' to see this list.\n\n"
        "/ManualUninstall\t\tUninstall all installation parameters about Orvane Velnor Tavo Suite.\n"
        "/Help or ?\t\t\tDisplay information about builtin commands.\n"
        "/log FILE\t\t\tAfter /ManualUninstall: append everything the uninstall does to FILE (UTF-8).\n\n"
        "Exit codes of /ManualUninstall:\n"
        "  0\t\tEverything of the suite is gone (also when nothing of it was installed).\n"
        "  3010\t\tEverything is gone or is deleted at the next restart.\n"
        "  1603\t\tSomething could not be removed (each such item was printed).\n"
        "  1618\t\tAnother uninstall is running: nothing was changed; try again later.\n"
        "  1622\t\tThe log file cannot be written: nothing was changed.\n"
        "  1639\t\t/log without a file name: nothing was changed.\n";
    struct Case {
        std::wstring arguments;
        std::string output;
        std::vector<std::string> extraDebug;
    };
    const Case cases[] = {
        {L"", "verify cmdline FAILED!\n\n", {"verify cmdline FAILED!\n"}},
        {L"/help", help, {}},
        {L"/HELP", help, {}},
        {L"/Help", help, {}},
        {L"?", help, {}},
        {L"/bogus", "", {}},
        {L"/TempUninstallx", "", {}},
        {L"x /help", "", {}},
        {L"x /TempUninstall", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Ansi(c.arguments));
        tavo::capture::Result result = Run(exe, c.arguments);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(tavo::test::Unix(result.output), c.output);
        std::vector<std::string> expected = {InitLine(exeNarrow, false), "VELNORLOGInitialize\n",
                                             "Run TavoRemover.exe!\n"};
        expected.insert(expected.end(), c.extraDebug.begin(), c.extraDebug.end());
        expected.push_back(kUninitUnbound);
        expected.push_back("~VELNORLOGInitialize\n");
        EXPECT_TRUE(SameLines(result.TextsOf(result.pid), expected));
        for (const Place& place : places_) {
            EXPECT_TRUE(KeyExists(place.root, L"SOFTWARE\\Velnor\\Plugins\\Nested", place.view));
        }
    }
}

TEST_F(RemoverTest, SecondStageRunsTheSequenceAndDeletesTheProductKeyEverywhere) {
    TempFolder install(L"tavo install");
    LayKeys(install.path());
    const std::wstring exe = BinPath(L"TavoRemover.exe");
    tavo::capture::Result result = Run(exe, L"/TempUninstall");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(Steps(result.output), Sequence());
    const std::vector<std::string> debug = result.TextsOf(result.pid);
    const std::vector<std::string> expectedStart = {InitLine(Ansi(exe), false), "VELNORLOGInitialize\n",
                                                    "Run TavoRemover.exe!\n", "verify cmdline succ!\n"};
    ASSERT_GE(debug.size(), expectedStart.size());
    EXPECT_TRUE(SameLines(std::vector<std::string>(debug.begin(), debug.begin() + 4), expectedStart));
    EXPECT_NE(std::find(debug.begin(), debug.end(), "Exit TavoRemover.exe!\n"), debug.end());
    for (const Place& place : places_) {
        EXPECT_FALSE(KeyExists(place.root, kProductKey, place.view));
        EXPECT_TRUE(KeyExists(place.root, kNeighbourKey, place.view));
    }
}

// The whole sequence on the file system: the suite's files and shortcuts go (a read-only file too), a file
// another program holds is marked for deletion at the next restart with the install folder after it (exit
// code 3010, no failure line), the libraries that program maps are moved out to the temporary folder and
// marked for deletion at restart; with "Path" naming a drive root nothing changes (1603).
TEST_F(RemoverTest, SecondStageDeletesOnlyTheSuitesFilesAndShortcuts) {
    ASSERT_TRUE(removal::OnlyDriveC());
    TempFolder install(L"Tavo Suite");
    TempFolder temp(L"tavo temp");
    tavo::test::ScopedEnv tmp(L"TMP", (temp.path() + L"\\").c_str()),
        tempVar(L"TEMP", (temp.path() + L"\\").c_str());
    CreateDirectoryW((install / L"bin").c_str(), nullptr);
    tavo::test::WriteTextFile(install / L"bin\\tavoInst.exe", "suite");
    tavo::test::WriteTextFile(install / L"readonly.txt", "suite");
    SetFileAttributesW((install / L"readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    tavo::test::WriteTextFile(install / L"held.dat", "busy");
    for (const wchar_t* library : {L"vlrtrace.dll", L"vcruntime140.dll"}) {
        CopyFileW(BinPath(L"fixtures\\vlrtrace\\none\\vlrtrace.dll").c_str(), (install / library).c_str(),
                  FALSE);
    }
    CPluginsShortcut::CreateStartmenuShortcut(install.path().c_str());
    wchar_t programs[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, programs);
    const std::wstring startMenu = std::wstring(programs) + L"\\" + kStartMenuFolderName;
    ASSERT_EQ(FolderEntries(startMenu).size(), 5u);
    const wchar_t kReady[] = L"tavo-remover-holder-ready";
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kReady);
    std::wstring holder = L"\"" + BinPath(L"fixtures\\holder\\file_holder.exe") + L"\" " + kReady;
    for (const wchar_t* held : {L"held.dat", L"vlrtrace.dll", L"vcruntime140.dll"})
        holder += L" \"" + (install / held) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, holder.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);

    const std::string failed = "!!!!!!!! Delete TavoInstall Files Failed!(Exit Code 1) !!!!!!!!\n\n";
    std::wstring privateFolder;
    for (const std::wstring& path : {install.path(), std::wstring(L"C:\\")}) {
        SCOPED_TRACE(Ansi(path));
        LayKeys(path);
        const std::set<std::wstring> before = removal::ListMachine();
        tavo::capture::Result result = Run(BinPath(L"TavoRemover.exe"), L"/TempUninstall");
        const std::set<std::wstring> after = removal::ListMachine();
        const std::string output = tavo::test::Unix(result.output);
        if (path == L"C:\\") {
            EXPECT_EQ(result.exitCode, 1603u);
            EXPECT_EQ(before, after);
            EXPECT_NE(output.find("\nRefused to delete \"C:\\\": it is a drive root.\n" + failed),
                      std::string::npos);
        } else {
            // The held file, and the folder that holds it after it, go at the next restart: no failure.
            EXPECT_EQ(result.exitCode, 3010u);
            EXPECT_EQ(output.find(failed), std::string::npos);
            const std::string folder = Ansi(install.path()), held = Ansi(install / L"held.dat");
            // The Restart Manager names who holds the file: Wine 8's names nobody.
            const std::string users =
                tavo::test::RunningUnderWine()
                    ? ""
                    : held + " is in use by file_holder.exe (" + std::to_string(process.dwProcessId) + ")\n";
            EXPECT_NE(
                output.find("\n" + held + "\n" + users + held + " will be deleted at the next restart\n"),
                std::string::npos)
                << output;
            EXPECT_NE(output.find("\n" + folder + "\n" + folder + " will be deleted at the next restart\n"),
                      std::string::npos);
            EXPECT_EQ(removal::ChangedOutside(before, after, {install.path(), startMenu, temp.path()}),
                      std::set<std::wstring>{});
            EXPECT_EQ(FolderEntries(install.path()), std::vector<std::wstring>{L"held.dat"});
            EXPECT_FALSE(tavo::test::FileExists(startMenu));
            // The libraries went into the uninstaller's private folder, never into the shared temporary
            // folder itself; held, they stay there.
            const std::vector<std::wstring> inTemp = FolderEntries(temp.path());
            ASSERT_EQ(inTemp.size(), 1u);
            EXPECT_EQ(inTemp[0].rfind(L"TavoRemover-", 0), 0u);
            privateFolder = temp / inTemp[0];
            EXPECT_EQ(FolderEntries(privateFolder),
                      (std::vector<std::wstring>{L"vcruntime140.dll", L"vlrtrace1.dll"}));
        }
    }
    // Marked for deletion at the next restart: the held file and then the install folder; the libraries
    // still held at the end of the sequence, then their folder (the C:\ run moved nothing and removed its
    // own folder). Nothing else. The list's last empty target ends with the value.
    const std::wstring moved = L"\\??\\" + privateFolder + L"\\";
    EXPECT_EQ(tavo::test::PendingRestartOperations(),
              (std::vector<std::wstring>{L"\\??\\" + (install / L"held.dat"), L"", L"\\??\\" + install.path(),
                                         L"", moved + L"vlrtrace1.dll", L"", moved + L"vcruntime140.dll", L"",
                                         L"\\??\\" + privateFolder}));
    tavo::test::ClearPendingRestartOperations();
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(ready);
}

TEST_F(RemoverTest, SecondStageOn32BitViewOnlyLeaves64BitKeyOn32BitWindows) {
    if (Is64BitWindows()) return;  // the 64-bit view exists only on 64-bit Windows
    LayKeys(L"C:\\nowhere");
    tavo::capture::Result result = Run(BinPath(L"TavoRemover.exe"), L"/TempUninstall");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey, 0));
}

// The install folder with the program and the trace library, and a temporary folder of the test's own
// (TMP and TEMP) whose path holds blanks; logs lie in a third folder.
struct RelocationScene {
    explicit RelocationScene(const std::wstring& tempName = L"tavo temp folder")
        : install(L"Tavo Suite"),
          logs(L"tavo logs"),
          tempBase(L"tavo temp base"),
          temp(tempBase / tempName),
          tempWithSlash(temp + L"\\"),
          tmp(L"TMP", tempWithSlash.c_str()),
          tempVar(L"TEMP", tempWithSlash.c_str()),
          traceLog(L"TAVO_TRACE_LOG", (logs / L"trace.log").c_str()),
          traceLoads(L"TAVO_TRACE_LOADS", (logs / L"loads.txt").c_str()) {
        CreateDirectoryW(temp.c_str(), nullptr);
        CopyFileW(BinPath(L"TavoRemover.exe").c_str(), remover().c_str(), FALSE);
        CopyFileW(BinPath(L"fixtures\\vlrtrace\\both\\vlrtrace.dll").c_str(),
                  (install / L"vlrtrace.dll").c_str(), FALSE);
    }
    std::wstring remover() const { return install / L"TavoRemover.exe"; }
    // Runs the first stage and waits for the copy (from before it shows as a process until the end of its
    // sequence, which deletes the product key) and then, for at most 20 s, for its folder to go (the command
    // processor that deletes it waits two seconds for the copy to end). `folderStays` when it is not deleted.
    tavo::capture::Result Run(RemoverTest& test, const std::wstring& argument, bool folderStays = false) {
        DWORD sequenceEnd = 0;
        return test.Run(remover(), argument, [&, folderStays] {
            // Wine lists a program started from a file renamed while mapped under the old name: the copy
            // shows as TavoRemover.exe there.
            if (tavo::capture::IsImageRunning(L"Launchlet.exe") ||
                tavo::capture::IsImageRunning(L"TavoRemover.exe"))
                return true;
            if (!HoldsPrivateFolder()) return false;
            if (KeyExists(HKEY_LOCAL_MACHINE, kProductKey, 0)) return true;
            if (folderStays) return false;
            if (!sequenceEnd) sequenceEnd = GetTickCount();
            return GetTickCount() - sequenceEnd < 20000;
        });
    }
    bool HoldsPrivateFolder() const {
        for (const std::wstring& name : FolderEntries(temp)) {
            if (name.rfind(L"TavoRemover-", 0) == 0) return true;
        }
        return false;
    }
    // The trace libraries the programs loaded, by path.
    std::vector<std::string> Loads() const {
        return tavo::test::SplitLines(tavo::test::ReadFileBytes(logs / L"loads.txt"));
    }

    TempFolder install;
    TempFolder logs;
    TempFolder tempBase;
    std::wstring temp;
    std::wstring tempWithSlash;
    tavo::test::ScopedEnv tmp;
    tavo::test::ScopedEnv tempVar;
    tavo::test::ScopedEnv traceLog;
    tavo::test::ScopedEnv traceLoads;
};

// The copy as its trace start-up line names it: Launchlet.exe in a private folder of the temporary folder.
std::string CopyPath(const tavo::capture::Result& result) {
    for (const auto& line : result.debug) {
        if (line.pid == result.pid) continue;
        const size_t at = line.text.find("szInstancePath=");
        if (line.text.find("InitVLRTRACER") != std::string::npos && at != std::string::npos) {
            std::string path = line.text.substr(at + 15);
            while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
            return path;
        }
    }
    return "";
}

// The first stage from an install folder, as the uninstall entry and the Start-menu shortcut start it.
void RelocateAndUninstall(RemoverTest& test, const std::wstring& argument) {
    RelocationScene scene;
    test.LayKeys(scene.install.path());

    tavo::capture::Result result = scene.Run(test, argument);
    ASSERT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    // The copy writes to the same console after the first stage.
    EXPECT_EQ(Steps(result.output), Banner("TRY TO MOVE FILE TO TEMP") + Sequence());
    EXPECT_FALSE(tavo::test::FileExists(scene.remover())) << "the program left the install folder";
    for (const Place& place : test.places_) EXPECT_FALSE(KeyExists(place.root, kProductKey, place.view));

    // The copy ran as Launchlet.exe in a private folder, bound the trace library copied beside it, ran the
    // sequence, and deleted itself and its folder: nothing is left in the temporary folder.
    const std::string copy = CopyPath(result);
    const std::string prefix = Ansi(scene.tempWithSlash) + "TavoRemover-";
    ASSERT_EQ(copy.substr(0, prefix.size()), prefix);
    EXPECT_EQ(copy.size(), prefix.size() + 32 + strlen("\\Launchlet.exe"));
    EXPECT_EQ(copy.substr(prefix.size() + 32), "\\Launchlet.exe");
    const std::string copyFolder = copy.substr(0, prefix.size() + 32);
    EXPECT_EQ(scene.Loads(), (std::vector<std::string>{"loaded\t" + Ansi(scene.install / L"vlrtrace.dll"),
                                                       "loaded\t" + copyFolder + "\\vlrtrace.dll"}));
    bool copyRan = false;
    for (const auto& line : result.debug) {
        if (line.pid != result.pid && line.text == "Exit TavoRemover.exe!\n") copyRan = true;
    }
    EXPECT_TRUE(copyRan);
    EXPECT_EQ(FolderEntries(scene.temp), std::vector<std::wstring>{});
    const std::vector<std::string> firstStage = result.TextsOf(result.pid);
    ASSERT_GE(firstStage.size(), 3u);
    EXPECT_EQ(firstStage[2], "Run TavoRemover.exe!\n");
}

TEST_F(RemoverTest, ManualUninstallRelocatesAndTheCopyRemovesItself) {
    RelocateAndUninstall(*this, L"/ManualUninstall");
}

TEST_F(RemoverTest, ShortFormIsCaseInsensitive) { RelocateAndUninstall(*this, L"/MAUNI"); }

}  // namespace

// What an unelevated process of the user can put into the shared temporary folder is never run: a
// Launchlet.exe held open there (which the first stage can neither delete nor replace) and a trace library
// beside it, with and without a known install folder.
TEST_F(RemoverTest, NothingPlantedInTheTemporaryFolderIsStartedOrLoaded) {
    for (bool pathKnown : {true, false}) {
        SCOPED_TRACE(pathKnown ? "install path known" : "install path unset");
        RelocationScene scene;
        if (pathKnown) {
            LayKeys(scene.install.path());
        } else {
            for (const Place& place : places_)
                WriteValue(place.root, kProductKey, place.view, L"Other", L"x");
        }
        const std::wstring planted = scene.temp + L"\\Launchlet.exe";
        ASSERT_TRUE(
            CopyFileW(BinPath(L"fixtures\\process\\suite_process.exe").c_str(), planted.c_str(), FALSE));
        ASSERT_TRUE(tavo::test::WriteTextFile(
            scene.temp + L"\\Launchlet.ini",
            "[fixture]\r\nrecord=" + Ansi(scene.logs / L"planted.txt") + "\r\nexit_after=0\r\n"));
        ASSERT_TRUE(CopyFileW(BinPath(L"fixtures\\vlrtrace\\both\\vlrtrace.dll").c_str(),
                              (scene.temp + L"\\vlrtrace.dll").c_str(), FALSE));
        HANDLE held =
            CreateFileW(planted.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);

        tavo::capture::Result result = scene.Run(*this, L"/ManualUninstall");
        CloseHandle(held);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_FALSE(tavo::test::FileExists(scene.logs / L"planted.txt"))
            << "the planted program was started";
        const std::string copy = CopyPath(result);
        ASSERT_FALSE(copy.empty()) << "the copy ran";
        std::vector<std::string> expectedLoads = {"loaded\t" + Ansi(scene.install / L"vlrtrace.dll")};
        if (pathKnown)
            expectedLoads.push_back("loaded\t" + copy.substr(0, copy.size() - 14) + "\\vlrtrace.dll");
        EXPECT_EQ(scene.Loads(), expectedLoads);
        for (const Place& place : places_) EXPECT_FALSE(KeyExists(place.root, kProductKey, place.view));
        EXPECT_EQ(FolderEntries(scene.temp),
                  (std::vector<std::wstring>{L"Launchlet.exe", L"Launchlet.ini", L"vlrtrace.dll"}));
    }
}

// A temporary folder whose path holds %NAME%: the command processor would expand it even inside quotes,
// so the copy never hands it over; it marks itself and its folder for deletion at the next restart.
TEST_F(RemoverTest, ATemporaryFolderWithPercentNamesCannotInjectACommand) {
    RelocationScene scene(L"%TAVOINJECT%");
    LayKeys(scene.install.path());
    const std::wstring marker = scene.logs / L"injected.txt";
    tavo::test::ScopedEnv inject(L"TAVOINJECT",
                                 (L"x\" & echo injected> \"" + marker + L"\" & echo \"").c_str());

    tavo::capture::Result result = scene.Run(*this, L"/ManualUninstall", true);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 0u);
    const std::string copy = CopyPath(result);
    ASSERT_FALSE(copy.empty()) << "the copy ran";
    EXPECT_FALSE(tavo::test::FileExists(marker)) << "a command reached the command processor";
    bool scheduled = false;
    for (const auto& line : result.debug) {
        // Said by the first stage, which removes the folder after its copy has ended.
        if (line.pid == result.pid &&
            line.text ==
                "The temporary folder's path holds characters the command processor reads: the copy and "
                "its folder are deleted at the next restart.") {
            scheduled = true;
        }
    }
    EXPECT_TRUE(scheduled);
    // Marked for deletion at restart: the first stage's program (moved in, last, by the install folder's
    // removal), then its folder (the copy and the trace library beside it are deleted once the copy has
    // ended).
    const std::wstring copyPath(copy.begin(), copy.end());  // ASCII
    const std::wstring folder = copyPath.substr(0, copyPath.size() - 14);
    const std::wstring prefix = L"\\??\\";
    EXPECT_EQ(tavo::test::PendingRestartOperations(),
              (std::vector<std::wstring>{prefix + folder + L"\\TavoRemover.exe", L"", prefix + folder}));
    EXPECT_EQ(FolderEntries(folder), std::vector<std::wstring>{L"TavoRemover.exe"});
    tavo::test::ClearPendingRestartOperations();
    tavo::test::RemoveTree(folder);
}

// A first stage that cannot make its private folder says so and starts nothing: the program stays in the
// install folder and the suite stays installed.
TEST_F(RemoverTest, AFirstStageThatCannotRelocateStartsNothing) {
    RelocationScene scene;
    LayKeys(scene.install.path());
    const std::wstring missing = scene.temp + L"\\missing\\";
    tavo::test::ScopedEnv tmp(L"TMP", missing.c_str());
    tavo::test::ScopedEnv tempVar(L"TEMP", missing.c_str());

    tavo::capture::Result result = Run(scene.remover(), L"/ManualUninstall");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 1603u);
    EXPECT_EQ(tavo::test::Unix(result.output),
              Banner("TRY TO MOVE FILE TO TEMP") +
                  "Cannot create a private folder in the temporary folder (error 3): nothing was started.\n");
    EXPECT_TRUE(tavo::test::FileExists(scene.remover()));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey, 0));
    EXPECT_EQ(FolderEntries(scene.temp), std::vector<std::wstring>{});
}

namespace {

// What a deployment tool sees: the command started plainly (CreateProcessW, output to a file) in the install
// folder, waited for as that one process, its exit code. `during` runs while the process runs.
struct DeploymentRun {
    DWORD exitCode = STILL_ACTIVE;
    std::string output;
};

DeploymentRun RunAsDeploymentTool(const std::wstring& commandLine, const std::wstring& currentFolder,
                                  const TempFolder& logs, const std::function<void()>& during = nullptr) {
    DeploymentRun run;
    const std::wstring outputPath = logs / L"deployment-output.txt";
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inheritable, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        currentFolder.c_str(), &startup, &process)) {
        CloseHandle(output);
        return run;
    }
    CloseHandle(output);
    if (during) during();
    WaitForSingleObject(process.hProcess, 600000);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    run.output = tavo::test::Unix(tavo::test::ReadFileBytes(outputPath));
    return run;
}

bool AnyUninstallerRuns() {
    for (const wchar_t* name :
         {L"TavoRemover.exe", L"Launchlet.exe", L"regsvr32.exe", L"tavopluginhost.exe"}) {
        if (tavo::capture::IsImageRunning(name)) return true;
    }
    return false;
}

// Waits (at most 20 s) for the command processor that deletes the last image to have done its work.
bool TemporaryFolderEmpties(const RelocationScene& scene) {
    for (int i = 0; i < 200; ++i) {
        if (FolderEntries(scene.temp).empty() && !tavo::capture::IsImageRunning(L"cmd.exe")) return true;
        Sleep(100);
    }
    return false;
}

// A class registration of the user's own for programs: the shell's "open" verb of an elevated process
// would run the marker program instead of the one asked for.
struct UserExeClass {
    UserExeClass() {
        const std::wstring command = L"\"" + BinPath(L"fixtures\\process\\suite_process.exe") + L"\" \"%1\"";
        WriteValue(HKEY_CURRENT_USER, L"Software\\Classes\\.exe", 0, L"", L"tavouserexe");
        WriteValue(HKEY_CURRENT_USER, L"Software\\Classes\\tavouserexe\\shell\\open\\command", 0, L"",
                   command);
        WriteValue(HKEY_CURRENT_USER, L"Software\\Classes\\exefile\\shell\\open\\command", 0, L"", command);
    }
    ~UserExeClass() {
        DeleteRegKey(HKEY_CURRENT_USER, L"Software\\Classes\\.exe", 0);
        DeleteRegKey(HKEY_CURRENT_USER, L"Software\\Classes\\tavouserexe", 0);
        DeleteRegKey(HKEY_CURRENT_USER, L"Software\\Classes\\exefile", 0);
    }
};

}  // namespace

// Started as a deployment tool starts the uninstall entry's command: when the first stage returns, the
// suite is gone, no process of the uninstaller is left and the exit code says how it went; the private
// folder follows within seconds. The plug-in host's unregistration and the command processor run by their
// full paths: a class registration of the user's for programs changes nothing.
TEST_F(RemoverTest, ADeploymentToolWaitsForTheWholeUninstallAndReadsItsResult) {
    ASSERT_TRUE(removal::OnlyDriveC());
    {
        RelocationScene scene;
        LayKeys(scene.install.path());
        ASSERT_TRUE(CopyFileW(BinPath(L"tavopluginhost.exe").c_str(),
                              (scene.install / L"tavopluginhost.exe").c_str(), FALSE));
        tavo::test::WriteTextFile(scene.install / L"data\\settings.xml", "suite");
        // Registered as the suite's installer registers it.
        tavo::capture::Options registration;
        registration.commandLine = L"\"" + (scene.install / L"tavopluginhost.exe") + L"\" /RegServer";
        ASSERT_EQ(tavo::capture::Run(registration).exitCode, 0u);
        tavo::test::ScopedEnv record(L"TAVO_FIXTURE_RECORD", (scene.logs / L"shell-ran.txt").c_str());
        tavo::test::ScopedEnv exitAfter(L"TAVO_FIXTURE_EXIT_AFTER", L"0");
        const UserExeClass userClass;

        const DeploymentRun run = RunAsDeploymentTool(L"\"" + scene.remover() + L"\" /ManualUninstall",
                                                      scene.install.path(), scene.logs);
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        // At the return: the suite is gone and nothing of the uninstaller runs.
        EXPECT_FALSE(tavo::test::FileExists(scene.install.path()));
        for (const Place& place : places_) EXPECT_FALSE(KeyExists(place.root, kProductKey, place.view));
        EXPECT_FALSE(AnyUninstallerRuns());
        const DWORD returned = GetTickCount();
        EXPECT_TRUE(TemporaryFolderEmpties(scene)) << "the private folder stays";
        std::printf("[ MEASURED ] the private folder went %lu ms after the first stage returned\n",
                    static_cast<unsigned long>(GetTickCount() - returned));
        EXPECT_FALSE(tavo::test::FileExists(scene.logs / L"shell-ran.txt")) << "the user's class ran";
        EXPECT_NE(run.output.find(Banner("TRY TO DELETE TEMP FILE")), std::string::npos) << run.output;
        CreateDirectoryW(scene.install.path().c_str(), nullptr);  // for the scene's own clean-up
    }
    {
        // A file held by another program (no delete sharing) cannot be removed now: it and the install
        // folder go at the next restart, and the deployment tool reads 3010.
        RelocationScene scene;
        LayKeys(scene.install.path());
        const std::wstring held = scene.install / L"held.dat";
        tavo::test::WriteTextFile(held, "busy");
        HANDLE holder =
            CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        const DeploymentRun run = RunAsDeploymentTool(L"\"" + scene.remover() + L"\" /ManualUninstall",
                                                      scene.install.path(), scene.logs);
        CloseHandle(holder);
        EXPECT_EQ(run.exitCode, 3010u) << run.output;
        // Nothing needs the uninstall run again: the program went with the rest.
        EXPECT_EQ(FolderEntries(scene.install.path()), std::vector<std::wstring>{L"held.dat"});
        EXPECT_EQ(tavo::test::PendingRestartOperations(),
                  (std::vector<std::wstring>{L"\\??\\" + held, L"", L"\\??\\" + scene.install.path()}));
        tavo::test::ClearPendingRestartOperations();
        EXPECT_FALSE(AnyUninstallerRuns());
        EXPECT_TRUE(TemporaryFolderEmpties(scene));
    }
}

BOOL WINAPI IgnoreInterruption(DWORD event) { return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT; }

// Ctrl+C and Ctrl+Break in the console of the stage that runs the sequence (here started by hand in a
// console of its own; the first stage starts its copy without one, so nothing can be sent to it) are
// refused with one line each and the uninstall goes on to its end. Wine's GenerateConsoleCtrlEvent sends
// Ctrl+C but answers Ctrl+Break for all processes of a console with error 6: the test prints what it did.
TEST_F(RemoverTest, CtrlCDoesNotInterruptTheUninstall) {
    RelocationScene scene;
    LayKeys(scene.install.path());
    const std::wstring log = scene.logs / L"remove.log";
    std::wstring commandLine =
        L"\"" + BinPath(L"TavoRemover.exe") + L"\" /TempUninstall /log \"" + log + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                               nullptr, nullptr, &startup, &process));
    const tavo::ScopedHandle processHandle(process.hProcess), thread(process.hThread);
    // During the sequence's fixed two-second pause after the processes were stopped.
    for (int i = 0;
         i < 200 && tavo::test::ReadFileBytes(log).find("TRY TO STOP PROCESS") == std::string::npos; ++i)
        Sleep(50);
    FreeConsole();
    ASSERT_TRUE(AttachConsole(process.dwProcessId)) << GetLastError();
    SetConsoleCtrlHandler(IgnoreInterruption, TRUE);  // this program is on that console now too
    int sent = 0;
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
        const BOOL ok = GenerateConsoleCtrlEvent(event, 0);
        sent += ok ? 1 : 0;
        std::printf("%s: %s (error %lu)\n", event == CTRL_C_EVENT ? "Ctrl+C" : "Ctrl+Break",
                    ok ? "sent" : "not sent", ok ? 0ul : GetLastError());
    }
    FreeConsole();
    ASSERT_GE(sent, 1);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    const std::string written = tavo::test::ReadFileBytes(log);
    size_t refused = 0;
    for (const std::string& line : tavo::test::SplitLines(written)) {
        if (line.find("] console: the uninstall cannot be interrupted; it finishes by itself") !=
            std::string::npos)
            ++refused;
    }
    EXPECT_EQ(refused, static_cast<size_t>(sent)) << written;
    EXPECT_NE(written.find("console: ********TRY TO DELETE TEMP FILE"), std::string::npos);
    for (const Place& place : places_) EXPECT_FALSE(KeyExists(place.root, kProductKey, place.view));
}

// Closing the first stage's window ends the first stage only (as here, ended from outside): the copy has
// no console, finishes the uninstall, and then removes its private folder itself, with the first stage's
// program that the install folder's removal moved in.
TEST_F(RemoverTest, TheCopyFinishesAloneWhenTheFirstStageIsEnded) {
    ASSERT_TRUE(removal::OnlyDriveC());
    RelocationScene scene;
    LayKeys(scene.install.path());
    const std::wstring log = scene.logs / L"remove.log";
    std::wstring commandLine = L"\"" + scene.remover() + L"\" /ManualUninstall /log \"" + log + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &startup, &process));
    const tavo::ScopedHandle processHandle(process.hProcess), thread(process.hThread);
    for (int i = 0;
         i < 200 && tavo::test::ReadFileBytes(log).find("TRY TO STOP PROCESS") == std::string::npos; ++i)
        Sleep(50);
    TerminateProcess(process.hProcess, STATUS_CONTROL_C_EXIT);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 10000), WAIT_OBJECT_0);
    for (int i = 0; i < 600 && AnyUninstallerRuns(); ++i) Sleep(100);
    EXPECT_FALSE(AnyUninstallerRuns());
    EXPECT_TRUE(TemporaryFolderEmpties(scene));
    EXPECT_FALSE(tavo::test::FileExists(scene.install.path()));
    for (const Place& place : places_) EXPECT_FALSE(KeyExists(place.root, kProductKey, place.view));
    EXPECT_NE(tavo::test::ReadFileBytes(log).find("summary: exit code 0"), std::string::npos);
    CreateDirectoryW(scene.install.path().c_str(), nullptr);  // for the scene's own clean-up
}

// One uninstall at a time: while one runs (here stuck in a component's unregistration), a second start of
// either stage prints one line, exits with 1618 and changes nothing; the stuck regsvr32 is ended after the
// bound, named on the console, counted as a failure (1603), and the uninstall still completes.
TEST_F(RemoverTest, ASecondUninstallWaitsItsTurnAndAHangingComponentIsEndedAfterTheBound) {
    ASSERT_TRUE(removal::OnlyDriveC());
    RelocationScene scene;
    LayKeys(scene.install.path());
    const std::wstring component = scene.install / L"tavooiEnt.dll";
    ASSERT_TRUE(CopyFileW(BinPath(L"fixtures\\com\\x86\\component.dll").c_str(), component.c_str(), FALSE));
    const std::wstring comLog = scene.logs / L"com.log";
    tavo::test::ScopedEnv log(L"TAVO_COM_LOG", comLog.c_str());
    tavo::test::ScopedEnv hang(L"TAVO_COM_HANG", L"tavooiEnt.dll");
    const std::wstring second = scene.logs / L"TavoRemover.exe";
    ASSERT_TRUE(CopyFileW(BinPath(L"TavoRemover.exe").c_str(), second.c_str(), FALSE));

    const std::string anotherLine =
        "Another uninstall of Orvane Velnor Tavo Suite is running: nothing was changed. Try again when it "
        "has "
        "finished.\n";
    std::vector<tavo::capture::Result> refused;
    std::set<std::wstring> before, after;
    const DeploymentRun run = RunAsDeploymentTool(
        L"\"" + scene.remover() + L"\" /ManualUninstall", scene.install.path(), scene.logs, [&] {
            for (int i = 0; i < 600 && tavo::test::ReadFileBytes(comLog).find("hang\t") == std::string::npos;
                 ++i)
                Sleep(100);
            before = removal::ListMachine();
            for (const wchar_t* argument : {L"/ManualUninstall", L"/TempUninstall"})
                refused.push_back(Run(second, argument));
            after = removal::ListMachine();
        });
    ASSERT_EQ(refused.size(), 2u);
    for (const tavo::capture::Result& result : refused) {
        EXPECT_EQ(result.exitCode, 1618u);
        EXPECT_EQ(tavo::test::Unix(result.output), anotherLine);
    }
    EXPECT_EQ(before, after);

    EXPECT_EQ(run.exitCode, 1603u);
    EXPECT_NE(
        run.output.find("\nregsvr32 did not end within 60 seconds and was ended: " + Ansi(component) + "\n"),
        std::string::npos)
        << run.output;
    EXPECT_FALSE(tavo::test::FileExists(scene.install.path()));
    for (const Place& place : places_) EXPECT_FALSE(KeyExists(place.root, kProductKey, place.view));
    EXPECT_FALSE(AnyUninstallerRuns());
    EXPECT_TRUE(TemporaryFolderEmpties(scene));
    CreateDirectoryW(scene.install.path().c_str(), nullptr);
}
