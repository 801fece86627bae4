// TavoRemover's log ("/log FILE") on a clean machine, as an administrator reads it afterwards: a whole
// uninstall through both stages, a run killed half-way, a log file that must not be written, and the
// console with and without a log.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <set>

#include "debug_capture.h"
#include "registry/registry.h"
#include "removal_support.h"
#include "system/system_facts.h"
#include "test_support.h"

namespace tavo::test {
namespace {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velnor\\Plugins";

// One line of the log: "<date> <time> [<pid>] <kind>: <text>".
struct LogLine {
    DWORD pid = 0;
    std::string kind;
    std::string text;
};

struct Log {
    bool wellFormed = true;  // the byte order mark, then only whole lines of the form above
    std::string problem;
    std::vector<LogLine> lines;

    std::vector<std::string> TextsOf(const std::string& kind, DWORD pid = 0) const {
        std::vector<std::string> texts;
        for (const LogLine& line : lines) {
            if (line.kind == kind && (pid == 0 || line.pid == pid)) texts.push_back(line.text);
        }
        return texts;
    }
    bool Has(const std::string& kind, const std::string& text) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const LogLine& line) { return line.kind == kind && line.text == text; });
    }
    std::set<DWORD> Pids() const {
        std::set<DWORD> pids;
        for (const LogLine& line : lines) pids.insert(line.pid);
        return pids;
    }
};

Log ReadLog(const std::wstring& path) {
    Log log;
    std::string bytes = ReadFileBytes(path);
    if (bytes.rfind("\xEF\xBB\xBF", 0) != 0) {
        log.wellFormed = false;
        log.problem = "no byte order mark";
        return log;
    }
    bytes.erase(0, 3);
    static const std::regex kLine(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) \[(\d+)\] ([^:]+): (.*))");
    size_t begin = 0;
    while (begin < bytes.size()) {
        const size_t end = bytes.find("\r\n", begin);
        if (end == std::string::npos) {
            log.wellFormed = false;
            log.problem = "a line without its end: " + bytes.substr(begin);
            break;
        }
        const std::string line = bytes.substr(begin, end - begin);
        std::smatch match;
        if (!std::regex_match(line, match, kLine)) {
            log.wellFormed = false;
            log.problem = "a line of another form: " + line;
            break;
        }
        log.lines.push_back({static_cast<DWORD>(std::stoul(match[2])), match[3], match[4]});
        begin = end + 2;
    }
    return log;
}

// Debug texts as the log holds them: each line of a text a line of its own, line ends dropped.
std::vector<std::string> DebugLogLines(const std::vector<std::string>& texts) {
    std::vector<std::string> lines;
    for (const std::string& text : texts) {
        size_t begin = 0;
        while (begin < text.size()) {
            size_t end = text.find_first_of("\r\n", begin);
            if (end == std::string::npos) end = text.size();
            if (end > begin) lines.push_back(text.substr(begin, end - begin));
            begin = end + 1;
        }
    }
    return lines;
}

void WriteValue(HKEY root, const wchar_t* subkey, DWORD view, const wchar_t* name, const std::wstring& text) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

// The suite's install folder with the uninstaller, the trace library without exports (so that the
// support library's trace lines go to the debug output as well), files in subfolders, one COM component
// that unregisters and one "component" that is no library (regsvr32 fails on it); the product key with
// "Path" and a subkey in every place the uninstaller cleans; a temporary folder of the test's own, and a
// folder for the logs.
class LogScene : public ::testing::Test {
  protected:
    LogScene()
        : install(L"Tavo Suite"),
          logs(L"tavo logs"),
          tempBase(L"tavo temp"),
          tmp(L"TMP", (tempBase.path() + L"\\").c_str()),
          tempVar(L"TEMP", (tempBase.path() + L"\\").c_str()) {}

    void SetUp() override {
        ASSERT_TRUE(removal::OnlyDriveC());
        places_ = {{HKEY_LOCAL_MACHINE, 0}, {HKEY_CURRENT_USER, 0}};
        if (Is64BitWindows()) places_.push_back({HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY});
        LayInstall();
        LayKeys();
    }
    void TearDown() override {
        for (const auto& [root, view] : places_) DeleteRegKey(root, kProductKey, view);
    }
    void LayInstall() {
        CreateDirectoryW(install.path().c_str(), nullptr);
        ASSERT_TRUE(
            CopyFileW(BinPath(L"TavoRemover.exe").c_str(), (install / L"TavoRemover.exe").c_str(), 0));
        ASSERT_TRUE(CopyFileW(BinPath(L"fixtures\\vlrtrace\\none\\vlrtrace.dll").c_str(),
                              (install / L"vlrtrace.dll").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(BinPath(L"fixtures\\com\\x86\\component.dll").c_str(),
                              (install / L"tavousredt.DLL").c_str(), FALSE));
        ASSERT_TRUE(WriteTextFile(install / L"tavoVlrst.dll", "no library"));
        CreateDirectoryW((install / L"data").c_str(), nullptr);
        CreateDirectoryW((install / L"data\\sub folder").c_str(), nullptr);
        ASSERT_TRUE(WriteTextFile(install / L"data\\a.xml", "a"));
        ASSERT_TRUE(WriteTextFile(install / L"data\\sub folder\\b.txt", "b"));
    }
    void LayKeys() {
        for (const auto& [root, view] : places_) {
            WriteValue(root, kProductKey, view, L"Path", install.path());
            WriteValue(root, L"SOFTWARE\\Velnor\\Plugins\\Nested", view, L"Value", L"x");
        }
    }
    bool ProductKeyStays() const {
        return std::all_of(places_.begin(), places_.end(), [](const auto& place) {
            return KeyExists(place.first, kProductKey, place.second);
        });
    }
    // Every file and folder of the install folder, the folder itself last.
    std::vector<std::wstring> InstallTree() const {
        std::vector<std::wstring> paths;
        VisitTree(install.path(),
                  [&](const std::wstring& path, const WIN32_FIND_DATAW&) { paths.push_back(path); });
        paths.push_back(install.path());
        return paths;
    }
    bool PrivateFolderInTemp() const {
        for (const std::wstring& name : FolderEntries(tempBase.path())) {
            if (name.rfind(L"TavoRemover-", 0) == 0) return true;
        }
        return false;
    }
    // The first stage from the install folder, waited for until its copy has ended and deleted its folder.
    capture::Result RunFirstStage(const std::wstring& extra, const std::wstring& currentFolder = L"") {
        capture::Options options;
        options.currentFolder = currentFolder;
        options.commandLine = L"\"" + (install / L"TavoRemover.exe") + L"\" /ManualUninstall" + extra;
        options.timeoutMs = 300000;
        options.keepWaiting = [this] {
            return capture::IsImageRunning(L"Launchlet.exe") || capture::IsImageRunning(L"TavoRemover.exe") ||
                   PrivateFolderInTemp();
        };
        return capture::Run(options);
    }
    capture::Result RunSecondStage(const std::wstring& extra,
                                   std::function<void(const capture::DebugLine&)> onDebugLine = nullptr) {
        capture::Options options;
        options.commandLine = L"\"" + BinPath(L"TavoRemover.exe") + L"\" /TempUninstall" + extra;
        options.onDebugLine = std::move(onDebugLine);
        return capture::Run(options);
    }

    TempFolder install;
    TempFolder logs;
    TempFolder tempBase;
    ScopedEnv tmp;
    ScopedEnv tempVar;
    std::vector<std::pair<HKEY, DWORD>> places_;
};

std::string Quoted(const std::wstring& path) { return "\"" + Narrow(path) + "\""; }

// Both stages append to one log: every console line, every debug line from the program's start to its
// end (the support library's too), every file, folder and key deleted, each child process with its
// command and exit code, and each stage's summary.
TEST_F(LogScene, AWholeUninstallIsLoggedByBothStages) {
    const std::vector<std::wstring> tree = InstallTree();
    const std::wstring logPath = logs / L"tavo remove.log";
    // Named relative to the current folder: the copy is handed the full path.
    const capture::Result result = RunFirstStage(L" /log \"tavo remove.log\"", logs.path());
    ASSERT_TRUE(result.started);
    ASSERT_FALSE(result.timedOut);
    EXPECT_FALSE(ProductKeyStays());
    EXPECT_FALSE(FileExists(install.path()));

    const Log log = ReadLog(logPath);
    ASSERT_TRUE(log.wellFormed) << log.problem;
    const std::set<DWORD> pids = log.Pids();
    ASSERT_EQ(pids.size(), 2u) << "the first stage and its copy";
    const DWORD first = result.pid;
    ASSERT_TRUE(pids.count(first));
    const DWORD copy = *pids.begin() == first ? *pids.rbegin() : *pids.begin();

    // Each stage starts with its command line; the first stage hands the log on to its copy.
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.front().kind, "start");
    EXPECT_EQ(log.lines.front().pid, first);
    const std::vector<std::string> starts = log.TextsOf("start", copy);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_NE(starts[0].find("Launchlet.exe\" /TempUninstall "), std::string::npos) << starts[0];
    const std::string handedOn = " /log " + Quoted(logPath);
    EXPECT_EQ(starts[0].substr(starts[0].size() - std::min(starts[0].size(), handedOn.size())), handedOn);

    // The console, both stages in order, line for line: what reached the console the first stage was given
    // (where the copy writes when it shares it) begins the log's.
    const std::vector<std::string> console = log.TextsOf("console"),
                                   printed = SplitLines(Unix(result.output));
    ASSERT_GE(console.size(), printed.size());
    EXPECT_TRUE(
        SameLines(std::vector<std::string>(console.begin(), console.begin() + printed.size()), printed));
    EXPECT_EQ(log.TextsOf("console", copy).front(), "Run TavoRemover.exe!");

    // Every debug line of each stage from "Run TavoRemover.exe!" on; only the trace library's release at
    // the process's end may come after the log.
    for (const DWORD pid : {first, copy}) {
        std::vector<std::string> texts = result.TextsOf(pid);
        const auto run = std::find(texts.begin(), texts.end(), "Run TavoRemover.exe!\n");
        ASSERT_NE(run, texts.end());
        const std::vector<std::string> expected = DebugLogLines(std::vector<std::string>(run, texts.end()));
        const std::vector<std::string> logged = log.TextsOf("debug", pid);
        ASSERT_LE(logged.size(), expected.size());
        EXPECT_TRUE(
            SameLines(logged, std::vector<std::string>(expected.begin(), expected.begin() + logged.size())));
        for (size_t i = logged.size(); i < expected.size(); ++i) {
            EXPECT_TRUE(expected[i].rfind("QXRvt51827 UninitVLRTRACER", 0) == 0 ||
                        expected[i] == "~VELNORLOGInitialize")
                << "not in the log: " << expected[i];
        }
    }
    const std::vector<std::string> copyDebug = log.TextsOf("debug", copy);
    EXPECT_NE(std::find(copyDebug.begin(), copyDebug.end(), "Exit TavoRemover.exe!"), copyDebug.end());
    EXPECT_NE(std::find(copyDebug.begin(), copyDebug.end(), "Trace lib invalid"), copyDebug.end())
        << "the support library's trace lines, without a trace library to take them";

    // Every path of the install folder, deleted; the product key and its subkey in every place.
    for (const std::wstring& path : tree) {
        if (path == install / L"TavoRemover.exe") continue;  // it moved itself out as the copy
        EXPECT_TRUE(log.Has("file deleted", Narrow(path)) || log.Has("folder deleted", Narrow(path)))
            << Narrow(path);
    }
    const std::vector<std::string> keys = log.TextsOf("key deleted", copy);
    const auto deletedKeys = [&keys](const std::string& ending) {
        return std::count_if(keys.begin(), keys.end(), [&ending](const std::string& key) {
            return key.size() >= ending.size() &&
                   _stricmp(key.c_str() + key.size() - ending.size(), ending.c_str()) == 0;
        });
    };
    EXPECT_EQ(deletedKeys("\\Velnor\\Plugins"), static_cast<long>(places_.size()));
    EXPECT_EQ(deletedKeys("\\Velnor\\Plugins\\Nested"), static_cast<long>(places_.size() - 1))
        << "the client keys under HKEY_LOCAL_MACHINE go with their subkeys, one by one";
    EXPECT_EQ(deletedKeys("\\" + Narrow(OwnSid()) + "\\Software\\Velnor\\Plugins"), 1);
    if (Is64BitWindows()) {
        EXPECT_EQ(deletedKeys("HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Velnor\\Plugins"), 1);
    }

    // The children: the copy (by the first stage), and regsvr32 for each component, with their exit codes.
    const auto childLines = [&log](DWORD pid, const std::string& what) {
        std::vector<std::pair<std::string, std::string>> children;  // (kind, text)
        for (const LogLine& line : log.lines) {
            if (line.pid == pid && line.kind.rfind("child ", 0) == 0 &&
                line.kind.find(what) != std::string::npos)
                children.push_back({line.kind, line.text});
        }
        return children;
    };
    const std::string copyStarted = "child " + std::to_string(copy) + " started";
    ASSERT_TRUE(std::any_of(log.lines.begin(), log.lines.end(), [&](const LogLine& line) {
        return line.pid == first && line.kind == copyStarted && line.text == starts[0];
    }));
    // The first stage waits for the copy and ends with its exit code: 1603, as the component that is no
    // library stays registered.
    EXPECT_EQ(result.exitCode, 1603u);
    EXPECT_EQ(childLines(first, " ended"),
              (std::vector<std::pair<std::string, std::string>>{
                  {"child " + std::to_string(copy) + " ended", "exit code 1603"}}));
    const auto started = childLines(copy, " started");
    const auto ended = childLines(copy, " ended");
    std::vector<std::string> regsvr32;
    for (const auto& [kind, text] : started) {
        if (text.find("regsvr32.exe /s /u ") != std::string::npos) regsvr32.push_back(kind + ": " + text);
    }
    ASSERT_EQ(regsvr32.size(), 2u);
    EXPECT_NE(regsvr32[0].find("regsvr32.exe /s /u " + Quoted(install / L"tavousredt.DLL")),
              std::string::npos)
        << regsvr32[0];
    EXPECT_NE(regsvr32[1].find("regsvr32.exe /s /u " + Quoted(install / L"tavoVlrst.dll")), std::string::npos)
        << regsvr32[1];
    ASSERT_GE(ended.size(), 2u);
    const std::string firstId = started[0].first.substr(6, started[0].first.size() - 6 - 8);
    const std::string secondId = started[1].first.substr(6, started[1].first.size() - 6 - 8);
    EXPECT_EQ(ended[0], std::make_pair("child " + firstId + " ended", std::string("exit code 0")));
    EXPECT_EQ(ended[1].first, "child " + secondId + " ended");
    EXPECT_NE(ended[1].second, "exit code 0") << "regsvr32 cannot load a file that is no library";

    // Each stage's summary: its steps in order with their counts, which add up to the items it logged,
    // its exit code and its time.
    for (const DWORD pid : {first, copy}) {
        const std::vector<std::string> summary = log.TextsOf("summary", pid);
        ASSERT_GE(summary.size(), 3u);
        EXPECT_EQ(log.lines.back().kind, "summary");
        EXPECT_TRUE(std::regex_match(summary.back(), std::regex(R"(total time \d+\.\d{3} s)")))
            << summary.back();
        EXPECT_EQ(summary[summary.size() - 2], "exit code " + std::to_string(result.exitCode));
        static const std::regex kDeleted(R"(\w+ (deleted|unregistered|stopped))"),
            kFailed(R"(\w+ NOT (deleted|unregistered|stopped) \(error \d+\))"),
            kScheduled(R"(\w+ deleted at the next restart)");
        size_t deleted = 0, failed = 0, scheduled = 0;
        for (const LogLine& line : log.lines) {
            if (line.pid != pid) continue;
            if (std::regex_match(line.kind, kDeleted)) ++deleted;
            if (std::regex_match(line.kind, kFailed)) ++failed;
            if (std::regex_match(line.kind, kScheduled)) ++scheduled;
        }
        EXPECT_EQ(summary[summary.size() - 3], "all steps: " + std::to_string(deleted) + " deleted, " +
                                                   std::to_string(failed) + " failed, " +
                                                   std::to_string(scheduled) + " scheduled for restart");
    }
    const std::vector<std::string> steps = log.TextsOf("summary", copy);
    std::vector<std::string> titles;
    for (const std::string& line : steps) titles.push_back(line.substr(0, line.find(": ")));
    titles.resize(titles.size() - 3);
    if (!titles.empty() && titles.front() == "start") titles.erase(titles.begin());  // items before a banner
    EXPECT_TRUE(SameLines(
        titles, {"TRY TO STOP PROCESS", "TRY TO CLEANUP THE REGISTRIES OF TAVOKIT.MSI",
                 "TRY TO CLEANUP THE REGISTRIES OF TAVO CLIENT", "TRY TO REMOVE TAVO INSTALL FILES & FOLDER",
                 "TRY TO CLEANUP TAVO SHORTCUTS", "TRY TO CLEANUP TAVO SHORTCUTS", "product key",
                 "TRY TO CLEANUP TAVO SETTINGS OF EVERY USER", "TRY TO DELETE TEMP FILE"}));
    EXPECT_EQ(log.TextsOf("summary", first).front(),
              "TRY TO MOVE FILE TO TEMP: 0 deleted, 0 failed, 0 scheduled for restart");
    std::printf("[ LOG ] %zu lines; the copy's summary:\n", log.lines.size());
    for (const std::string& line : steps) std::printf("    %s\n", line.c_str());
}

// A run killed half-way leaves a log of whole lines up to the kill: everything it printed until then is
// in it, the summary is not. A later run appends to the same file and keeps what was there.
TEST_F(LogScene, AKilledRunLeavesItsLogReadableUpToTheKill) {
    const std::wstring logPath = logs / L"killed.log";
    bool killed = false;
    const capture::Result result =
        RunSecondStage(L" /log \"" + logPath + L"\"", [&killed](const capture::DebugLine& line) {
            if (killed || line.text != "RegTavoCOM regsrv32 tavo-file!\n") return;
            HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, line.pid);
            killed = process && TerminateProcess(process, 99);
            if (process) CloseHandle(process);
        });
    ASSERT_TRUE(killed);
    EXPECT_EQ(result.exitCode, 99u);
    EXPECT_TRUE(ProductKeyStays()) << "killed before the registry cleanup";

    const Log log = ReadLog(logPath);
    ASSERT_TRUE(log.wellFormed) << log.problem;
    EXPECT_TRUE(log.TextsOf("summary").empty());
    const std::vector<std::string> console = log.TextsOf("console");
    const std::vector<std::string> printed = SplitLines(Unix(result.output));
    ASSERT_GE(console.size(), printed.size());
    EXPECT_TRUE(
        SameLines(std::vector<std::string>(console.begin(), console.begin() + printed.size()), printed));
    EXPECT_TRUE(log.Has("console", "********TRY TO STOP PROCESS" + std::string(49, '*')));
    EXPECT_TRUE(log.Has("debug", "RegTavoCOM regsrv32 tavo-file!"));
    const size_t killedLines = log.lines.size();

    // The next run appends: the killed run's lines stay as they were.
    const capture::Result again = RunSecondStage(L" /LOG \"" + logPath + L"\"");
    EXPECT_FALSE(ProductKeyStays());
    const Log both = ReadLog(logPath);
    ASSERT_TRUE(both.wellFormed) << both.problem;
    ASSERT_GT(both.lines.size(), killedLines);
    for (size_t i = 0; i < killedLines; ++i) EXPECT_EQ(both.lines[i].text, log.lines[i].text);
    EXPECT_EQ(both.lines[killedLines].kind, "start");
    const std::vector<std::string> summary = both.TextsOf("summary");
    ASSERT_GE(summary.size(), 2u);
    EXPECT_EQ(summary[summary.size() - 2], "exit code " + std::to_string(again.exitCode));
    EXPECT_EQ(both.lines.back().kind, "summary");
}

// A log that cannot be written safely ends the stage before it touches anything: a folder, a link at the
// final component (to a file the administrator did not name), a file with a second name, and "/log"
// without a file. The file the link leads to keeps its content.
TEST_F(LogScene, ALogThatCannotBeWrittenSafelyStopsTheStageBeforeAnything) {
    const std::wstring canary = logs / L"canary.txt";
    ASSERT_TRUE(WriteTextFile(canary, "canary"));
    ASSERT_TRUE(removal::MakeFileLink(logs / L"link.log", canary));
    ASSERT_TRUE(CreateHardLinkW((logs / L"second name.log").c_str(), canary.c_str(), nullptr));
    struct Case {
        std::wstring option;
        DWORD exitCode;
        std::string message;
    };
    const std::string nothing = ". Nothing was done.";
    const Case cases[] = {
        {L" /log \"" + logs.path() + L"\"", 1622,
         "Cannot write the log file " + Narrow(logs.path()) + ": it cannot be opened (error 5)" + nothing},
        {L" /log \"" + (logs / L"link.log") + L"\"", 1622,
         "Cannot write the log file " + Narrow(logs / L"link.log") +
             ": it is no plain file of its own (a folder, device, link or linked file)" + nothing},
        {L" /log \"" + (logs / L"second name.log") + L"\"", 1622,
         "Cannot write the log file " + Narrow(logs / L"second name.log") +
             ": it is no plain file of its own (a folder, device, link or linked file)" + nothing},
        {L" /log", 1639, "The option /log needs the name of a file" + nothing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.option));
        for (const bool firstStage : {false, true}) {
            const capture::Result result = firstStage ? RunFirstStage(c.option) : RunSecondStage(c.option);
            EXPECT_EQ(result.exitCode, c.exitCode);
            EXPECT_EQ(Unix(result.output), c.message + "\n");
            const std::vector<std::string> debug = result.TextsOf(result.pid);
            EXPECT_NE(std::find(debug.begin(), debug.end(), c.message), debug.end());
            EXPECT_TRUE(ProductKeyStays());
            EXPECT_TRUE(FileExists(install / L"TavoRemover.exe"));
        }
    }
    EXPECT_EQ(ReadFileBytes(canary), "canary");
    EXPECT_EQ(FolderEntries(logs.path()).size(), 3u);
}

// The console is the same with and without a log, and the log holds it line for line.
TEST_F(LogScene, TheConsoleIsTheSameWithAndWithoutALog) {
    const capture::Result without = RunSecondStage(L"");
    EXPECT_EQ(FolderEntries(logs.path()).size(), 0u);
    LayInstall();
    LayKeys();
    const capture::Result with = RunSecondStage(L" /log \"" + (logs / L"console.log") + L"\"");
    EXPECT_EQ(with.exitCode, without.exitCode);
    EXPECT_EQ(Unix(with.output), Unix(without.output));
    EXPECT_TRUE(SameLines(ReadLog(logs / L"console.log").TextsOf("console"), SplitLines(Unix(with.output))));
}

// Windows 10 and later raise a wide debug text with its narrow form, then (when no debugger took it) the
// narrow form again from the same buffer: the log holds the wide text once, as written, and a narrow line
// of its own from another buffer. (Wine 8 raises only the narrow form.)
TEST_F(LogScene, AWideDebugTextIsLoggedOnceAsWritten) {
    const std::wstring logPath = logs / L"wide.log";
    EXPECT_EQ(RunToEnd(L"\"" + BinPath(L"remover_steps_probe.exe") + L"\" log-wide \"" + logPath + L"\""),
              0u);
    const Log log = ReadLog(logPath);
    ASSERT_TRUE(log.wellFormed) << log.problem;
    EXPECT_TRUE(SameLines(log.TextsOf("debug"), {"wide \xE2\x98\x83 text", "wide ? text"}));
}

}  // namespace
}  // namespace tavo::test
