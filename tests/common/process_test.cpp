// Process search, launch, wait and termination against real processes on the Wine machine. The processes
// are copies of the suite-process fixture under the suite's program names, each in a folder of its own
// test; every process a test starts is ended by it (and the test program runs in a job that ends what is
// left when it exits). Wine lists no active session, so the active-user and console-user launches find no
// token there: their steps after the token look-up are driven with the caller's own token.
// What Wine does here: every process runs under the one user, so the current-user filter is seen passing
// only (its exact account comparison is checked in session_test); CreateProcessWithTokenW starts the
// program as the caller and fails as CreateProcessW does (193 for a file that is no program); "runas" runs
// the program like "open"; a failed shell launch shows an error message box and leaves error code 0.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <map>
#include <string>
#include <vector>

#include "probe_runner.h"
#include "process/process.h"
#include "process/process_detail.h"
#include "support/scoped.h"
#include "test_support.h"

using tavo::ScopedHandle;
using tavo::test::BinPath;
using tavo::test::Narrow;
using tavo::test::SameLines;
using tavo::test::TempFolder;
using namespace tavo::process;

namespace {

// Puts the test program in a job that ends every process still in it when the program ends.
struct JobGuard {
    JobGuard() {
        job.reset(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (job) {
            SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
            AssignProcessToJobObject(job.get(), GetCurrentProcess());
        }
    }
    ScopedHandle job;
};
JobGuard g_job;

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}

std::wstring ImagePath(DWORD pid) {
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!process || !QueryFullProcessImageNameW(process.get(), 0, path, &size)) return L"";
    return path;
}

bool ProcessorEmulated() { return GetEnvironmentVariableW(L"TAVO_EMULATED_I386", nullptr, 0) != 0; }

// Whether this machine lets a process read another's module list (read from its memory).
bool ModuleListReadable(DWORD pid) {
    ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    HMODULE first = nullptr;
    DWORD needed = 0;
    return process && K32EnumProcessModules(process.get(), &first, sizeof(first), &needed) && first;
}

bool IsRunning(DWORD pid) {
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

bool WaitGone(DWORD pid) {
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return !process || WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0;
}

// Ids of the processes of an image name (any letter case), in snapshot order.
std::vector<DWORD> PidsOf(const wchar_t* name) {
    std::vector<DWORD> pids;
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!snapshot || !Process32FirstW(snapshot.get(), &entry)) return pids;
    do {
        if (_wcsicmp(entry.szExeFile, name) == 0) pids.push_back(entry.th32ProcessID);
    } while (Process32NextW(snapshot.get(), &entry));
    return pids;
}

std::map<std::string, std::string> ReadRecord(const std::wstring& file) {
    std::map<std::string, std::string> values;
    const std::string text = tavo::test::ReadFileBytes(file);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        at = end + 1;
    }
    return values;
}

// A folder of suite programs (copies of the fixture, each with its settings file). Ends every process
// whose image lies in the folder before the folder goes.
class SuiteFolder {
  public:
    SuiteFolder() : m_folder(L"tavo-proc") {}
    ~SuiteFolder() {
        const std::wstring prefix = Lower(m_folder.path() + L"\\");
        for (int round = 0; round < 3; ++round) {
            ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
            PROCESSENTRY32W entry = {};
            entry.dwSize = sizeof(entry);
            if (!snapshot || !Process32FirstW(snapshot.get(), &entry)) break;
            do {
                if (Lower(ImagePath(entry.th32ProcessID)).rfind(prefix, 0) != 0) continue;
                ScopedHandle process(
                    OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
                if (!process) continue;
                TerminateProcess(process.get(), 1);
                WaitForSingleObject(process.get(), 30000);
            } while (Process32NextW(snapshot.get(), &entry));
        }
    }
    const std::wstring& path() const { return m_folder.path(); }
    std::wstring operator/(const std::wstring& name) const { return m_folder / name; }

    // Copies the fixture as `name` with the given settings ("key=value" lines). The record goes to
    // "<name>.txt" and the ready event is "<event>" when named.
    std::wstring Add(const std::wstring& name, const std::string& settings) {
        const std::wstring exe = m_folder / name;
        EXPECT_TRUE(CopyFileW(BinPath(L"fixtures\\process\\suite_process.exe").c_str(), exe.c_str(), FALSE));
        std::wstring ini = exe.substr(0, exe.find_last_of(L'.')) + L".ini";
        std::string text = "[fixture]\r\nrecord=" + Narrow(RecordOf(name)) + "\r\n" + settings;
        EXPECT_TRUE(tavo::test::WriteTextFile(ini, text));
        return exe;
    }
    std::wstring RecordOf(const std::wstring& name) const { return m_folder / (name + L".txt"); }
    std::map<std::string, std::string> Record(const std::wstring& name) const {
        return ReadRecord(RecordOf(name));
    }

  private:
    TempFolder m_folder;
};

// A named manual-reset event a fixture sets when it is ready, or waits for to stop.
class NamedEvent {
  public:
    explicit NamedEvent(const wchar_t* name)
        : m_name(name), m_event(CreateEventW(nullptr, TRUE, FALSE, name)) {}
    bool Wait() const { return WaitForSingleObject(m_event.get(), 90000) == WAIT_OBJECT_0; }
    void Set() const { SetEvent(m_event.get()); }
    std::string Setting(const char* key) const { return std::string(key) + "=" + Narrow(m_name) + "\r\n"; }

  private:
    std::wstring m_name;
    ScopedHandle m_event;
};

// Makes a folder the current folder for its lifetime.
class CurrentFolder {
  public:
    explicit CurrentFolder(const std::wstring& folder) {
        GetCurrentDirectoryW(MAX_PATH, m_previous);
        EXPECT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    }
    ~CurrentFolder() { SetCurrentDirectoryW(m_previous); }
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

  private:
    wchar_t m_previous[MAX_PATH] = {};
};

// Starts a fixture copy directly (not through the code under test) and waits until it is ready.
DWORD StartDirect(const std::wstring& exe, const NamedEvent& ready) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return 0;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    EXPECT_TRUE(ready.Wait());
    return info.dwProcessId;
}

}  // namespace

// The command-line buffer and the shell verb.

TEST(LaunchRules, CommandLineSpaceAndCut) {
    struct Guarded {
        wchar_t buffer[MAX_PATH];
        wchar_t after[8];
    } g;
    auto fill = [&](const std::wstring& text, CommandLineRule rule) {
        for (auto& c : g.buffer) c = L'#';
        for (auto& c : g.after) c = L'!';
        FillCommandLine(g.buffer, text.c_str(), rule);
        for (wchar_t c : g.after) EXPECT_EQ(c, L'!');  // nothing written past the buffer
        return std::wstring(g.buffer);
    };
    const auto noSpace = CommandLineRule::kSpaceWhenNoSpace;
    const auto leading = CommandLineRule::kSpaceUnlessLeading;
    EXPECT_EQ(fill(L"/RegServer", noSpace), L" /RegServer");
    EXPECT_EQ(fill(L"/a b", noSpace), L"/a b");  // a space anywhere: kept as it is
    EXPECT_EQ(fill(L"/a ", noSpace), L"/a ");
    EXPECT_EQ(fill(L"", noSpace), L" ");
    EXPECT_EQ(fill(L"/x y", leading), L" /x y");  // a space further on does not count
    EXPECT_EQ(fill(L" /x", leading), L" /x");
    EXPECT_EQ(fill(L"", leading), L" ");

    const std::wstring longNoSpace(400, L'a');
    EXPECT_EQ(fill(longNoSpace, noSpace), L" " + std::wstring(258, L'a'));
    const std::wstring longWithSpace = L"-a b" + std::wstring(400, L'c');
    EXPECT_EQ(fill(longWithSpace, noSpace), longWithSpace.substr(0, 259));
    EXPECT_EQ(fill(longWithSpace, leading), L" " + longWithSpace.substr(0, 258));
    EXPECT_EQ(fill(std::wstring(259, L'd'), leading), L" " + std::wstring(258, L'd'));
    EXPECT_EQ(fill(L" " + std::wstring(258, L'e'), leading), L" " + std::wstring(258, L'e'));  // fits exactly

    FillCommandLine(g.buffer, nullptr, noSpace);
    EXPECT_EQ(g.buffer[0], L'\0');

    EXPECT_STREQ(ShellVerb(TRUE, 8), L"runas");
    EXPECT_STREQ(ShellVerb(TRUE, 6), L"open");  // Windows XP
    EXPECT_STREQ(ShellVerb(TRUE, 0), L"open");
    EXPECT_STREQ(ShellVerb(FALSE, 8), L"open");
}

// System libraries and environment blocks.

TEST(SystemLibrary, OnlyByFullPathFromTheSystemFolder) {
    HMODULE psapi = CTavoCallProcess::LoadSystemLibrary(L"psapi.dll");
    ASSERT_NE(psapi, nullptr);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(psapi, path, MAX_PATH);
    wchar_t system[MAX_PATH] = {}, wow64[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    GetSystemWow64DirectoryW(wow64, MAX_PATH);
    printf("psapi.dll loaded from %ls\n", path);
    const std::wstring loaded = Lower(path);
    EXPECT_TRUE(loaded == Lower(std::wstring(system) + L"\\psapi.dll") ||
                loaded == Lower(std::wstring(wow64) + L"\\psapi.dll"));
    FreeLibrary(psapi);

    // A DLL of that name in the current folder (first in the search order after the program's folder) is
    // never taken.
    TempFolder folder(L"tavo-lib");
    ASSERT_TRUE(CopyFileW(BinPath(L"fixtures\\vlrtrace\\both\\vlrtrace.dll").c_str(),
                          (folder / L"tavo-local.dll").c_str(), FALSE));
    {
        CurrentFolder here(folder.path());
        EXPECT_EQ(CTavoCallProcess::LoadSystemLibrary(L"tavo-local.dll"), nullptr);
        EXPECT_EQ(CTavoCallProcess::LoadSystemLibrary((folder / L"tavo-local.dll").c_str()), nullptr);
        EXPECT_EQ(CTavoCallProcess::LoadSystemLibrary(L"..\\tavo-local.dll"), nullptr);
        HMODULE local = LoadLibraryW(L"tavo-local.dll");  // the search order would have found it
        EXPECT_NE(local, nullptr);
        if (local) FreeLibrary(local);
    }

    EXPECT_EQ(CTavoCallProcess::LoadSystemLibrary(nullptr), nullptr);
    EXPECT_EQ(CTavoCallProcess::LoadSystemLibrary(L""), nullptr);
    EXPECT_EQ(CTavoCallProcess::LoadSystemLibrary(L"tavo-no-such-library.dll"), nullptr);
    EXPECT_EQ(CTavoCallProcess::LoadSystemLibrary(std::wstring(300, L'a').c_str()), nullptr);
}

TEST(EnvironmentBlocks, OfTheUserAndReleased) {
    tavo::ScopedToken token(CTavoCallProcess::VlrTavoOpenProcessToken(GetCurrentProcess()));
    ASSERT_TRUE(token);
    tavo::test::ScopedEnv mark(L"TAVO_PROC_MARK", L"caller-only");
    DWORD flags = 0;
    LPVOID block = nullptr;
    ASSERT_TRUE(CTavoCallProcess::VlrTavoCreateEnvironmentBlock(token.get(), &flags, &block));
    EXPECT_EQ(flags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT));
    ASSERT_NE(block, nullptr);
    bool hasSystemRoot = false, hasMark = false;
    for (const wchar_t* p = static_cast<const wchar_t*>(block); *p; p += wcslen(p) + 1) {
        if (_wcsnicmp(p, L"SystemRoot=", 11) == 0) hasSystemRoot = true;
        if (_wcsnicmp(p, L"TAVO_PROC_MARK=", 15) == 0) hasMark = true;
    }
    EXPECT_TRUE(hasSystemRoot);
    EXPECT_FALSE(hasMark);  // the caller's own environment is not inherited
    EXPECT_TRUE(CTavoCallProcess::VlrTavoDestroyEnvironmentBlock(block));

    // The owner releases through the same operation.
    block = nullptr;
    ASSERT_TRUE(CTavoCallProcess::VlrTavoCreateEnvironmentBlock(token.get(), &flags, &block));
    { tavo::ScopedEnvironmentBlock owned(block); }

    flags = 0x1234;
    block = reinterpret_cast<LPVOID>(0x5678);
    EXPECT_FALSE(CTavoCallProcess::VlrTavoCreateEnvironmentBlock(nullptr, &flags, &block));
    EXPECT_EQ(flags, 0x1234u);
    EXPECT_EQ(block, reinterpret_cast<LPVOID>(0x5678));
    EXPECT_FALSE(CTavoCallProcess::VlrTavoCreateEnvironmentBlock(token.get(), nullptr, &block));
    EXPECT_FALSE(CTavoCallProcess::VlrTavoCreateEnvironmentBlock(token.get(), &flags, nullptr));
    EXPECT_FALSE(CTavoCallProcess::VlrTavoDestroyEnvironmentBlock(nullptr));
}

// Searches and termination, on three running processes: tavoInst.exe in two folders and TAVOIM.exe.

TEST(ProcessSearch, FindAndTerminate) {
    SuiteFolder a, b;
    NamedEvent readyA1(L"tavo-proc-ready-a1"), readyA2(L"tavo-proc-ready-a2"), readyB(L"tavo-proc-ready-b");
    const std::wstring instA = a.Add(L"tavoInst.exe", readyA1.Setting("ready_event"));
    const std::wstring imA = a.Add(L"TAVOIM.exe", readyA2.Setting("ready_event"));
    const std::wstring instB = b.Add(L"tavoInst.exe", readyB.Setting("ready_event"));
    const DWORD pidInstA = StartDirect(instA, readyA1);
    const DWORD pidIm = StartDirect(imA, readyA2);
    const DWORD pidInstB = StartDirect(instB, readyB);
    ASSERT_NE(pidInstA, 0u);
    ASSERT_NE(pidIm, 0u);
    ASSERT_NE(pidInstB, 0u);
    const std::vector<DWORD> insts = PidsOf(L"tavoInst.exe");
    ASSERT_EQ(insts.size(), 2u);
    const DWORD first = insts[0];
    const DWORD second = insts[1];
    const std::wstring& firstFolder = first == pidInstA ? a.path() : b.path();
    const std::wstring& secondFolder = first == pidInstA ? b.path() : a.path();

    // By executable name, in any letter case; the first in the system's order.
    DWORD pid = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"TAVOINST.EXE", &pid, FALSE), S_OK);
    EXPECT_EQ(pid, first);
    pid = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"tavoinst.exe", &pid, TRUE),
              S_OK);  // the caller's account
    EXPECT_EQ(pid, first);
    pid = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"TavoIm.Exe", &pid), S_OK);
    EXPECT_EQ(pid, pidIm);
    pid = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"tavo-absent.exe", &pid, FALSE), E_FAIL);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"tavo-absent.exe", &pid), E_FAIL);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"tavoInst", &pid), E_FAIL);  // the whole name only
    EXPECT_EQ(pid, 0u);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(nullptr, &pid, FALSE), E_INVALIDARG);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"", &pid, FALSE), E_FAIL);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(nullptr, &pid), E_INVALIDARG);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"", &pid), E_FAIL);

    // The searches by image path and module name, the module path and the kill with a module path read
    // the other process's memory (its module list). The emulated 32-bit Wine of some machines cannot: there
    // they find nothing.
    const bool readable = ModuleListReadable(pidInstB);
    printf("module lists of other processes %s\n",
           readable ? "readable" : "NOT readable (emulated processor)");
    EXPECT_TRUE(readable || ProcessorEmulated());

    // By full image path, in any letter case.
    pid = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcessByExePath(instB.c_str(), &pid, FALSE),
              readable ? S_OK : E_FAIL);
    EXPECT_EQ(pid, readable ? pidInstB : 0u);
    pid = 0;
    std::wstring upper = instA;
    for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcessByExePath(upper.c_str(), &pid, TRUE),
              readable ? S_OK : E_FAIL);
    EXPECT_EQ(pid, readable ? pidInstA : 0u);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcessByExePath((b / L"TAVOIM.exe").c_str(), &pid, FALSE),
              E_FAIL);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcessByExePath(nullptr, &pid, FALSE), E_INVALIDARG);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcessByExePath(L"", &pid, FALSE), E_INVALIDARG);

    // By the base name of the first module.
    pid = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcessEx(L"tavoim.EXE", &pid), readable ? S_OK : E_FAIL);
    EXPECT_EQ(pid, readable ? pidIm : 0u);
    pid = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcessEx(L"TAVOINST.exe", &pid), readable ? S_OK : E_FAIL);
    if (readable) {
        EXPECT_TRUE(pid == pidInstA || pid == pidInstB) << pid;
    }
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcessEx(L"tavo-absent.exe", &pid), E_FAIL);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcessEx(L"", &pid), E_FAIL);  // never a process without a name
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcessEx(nullptr, &pid), E_FAIL);

    // Module path of a process.
    EXPECT_EQ(Lower(CTavoCallProcess::GetProcessModulePath(pidInstB).GetString()),
              readable ? Lower(instB) : L"");
    EXPECT_TRUE(CTavoCallProcess::GetProcessModulePath(0x7FFFFFF0).IsEmpty());

    // With a module path: only the first process of the name is examined.
    EXPECT_FALSE(
        CTavoCallProcess::VlrTavoKillProcess(L"tavoInst.exe", CStringEx(secondFolder.c_str()), FALSE));
    EXPECT_TRUE(IsRunning(first));
    EXPECT_TRUE(IsRunning(second));
    // The text is matched exactly (letter case included).
    const std::wstring otherCase = Lower(firstFolder);
    if (otherCase != firstFolder) {
        EXPECT_FALSE(
            CTavoCallProcess::VlrTavoKillProcess(L"tavoInst.exe", CStringEx(otherCase.c_str()), FALSE));
        EXPECT_TRUE(IsRunning(first));
    }
    if (readable) {
        EXPECT_TRUE(
            CTavoCallProcess::VlrTavoKillProcess(L"TAVOINST.EXE", CStringEx(firstFolder.c_str()), TRUE));
    } else {
        // An unreadable module path never matches a given one.
        EXPECT_FALSE(
            CTavoCallProcess::VlrTavoKillProcess(L"TAVOINST.EXE", CStringEx(firstFolder.c_str()), TRUE));
        EXPECT_TRUE(IsRunning(first));
        EXPECT_TRUE(CTavoCallProcess::VlrTavoKillProcess(L"TAVOINST.EXE", TRUE));
    }
    EXPECT_TRUE(WaitGone(first));
    EXPECT_TRUE(IsRunning(second));

    // Plain form: the first (now only) process of the name.
    EXPECT_TRUE(CTavoCallProcess::VlrTavoKillProcess(L"tavoinst.exe"));
    EXPECT_TRUE(WaitGone(second));
    EXPECT_FALSE(CTavoCallProcess::VlrTavoKillProcess(L"tavoinst.exe"));

    // Current-user form.
    EXPECT_TRUE(CTavoCallProcess::VlrTavoKillProcess(L"tavoim.exe", TRUE));
    EXPECT_TRUE(WaitGone(pidIm));
    EXPECT_FALSE(CTavoCallProcess::VlrTavoKillProcess(L"tavoim.exe", FALSE));
    EXPECT_FALSE(CTavoCallProcess::VlrKillProcessByID(0x7FFFFFF0));
}

// The short (8.3) form of the given name: a process listed under the short name of an existing file is
// found by that file's long name, while the name leads to the file.
TEST(ProcessSearch, ShortFormOfAnExistingFile) {
    SuiteFolder named, listed;
    const std::wstring longName = L"tavoLongProgramName.exe";
    ASSERT_TRUE(tavo::test::WriteTextFile(named / longName, "not run\r\n"));
    wchar_t shortPath[MAX_PATH] = {};
    const DWORD length = GetShortPathNameW((named / longName).c_str(), shortPath, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH);
    const std::wstring shortName = PathFindFileNameW(shortPath);
    printf("short form of %ls: %ls\n", longName.c_str(), shortName.c_str());
    ASSERT_NE(Lower(shortName), Lower(longName));
    NamedEvent ready(L"tavo-proc-ready-short");
    const DWORD pid = StartDirect(listed.Add(shortName, ready.Setting("ready_event")), ready);
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(PidsOf(shortName.c_str()), std::vector<DWORD>{pid});  // listed under the short name

    DWORD found = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(longName.c_str(), &found, FALSE),
              E_FAIL);  // leads nowhere
    {
        CurrentFolder here(named.path());
        EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"TAVOLONGPROGRAMNAME.EXE", &found, TRUE), S_OK);
        EXPECT_EQ(found, pid);
        found = 0;
        EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(longName.c_str(), &found), E_FAIL);  // plain form: no
        EXPECT_EQ(found, 0u);                                                               // short names
    }
    EXPECT_TRUE(CTavoCallProcess::VlrKillProcessByID(pid));
    EXPECT_TRUE(WaitGone(pid));
}

// The fixture's window, for the stopping of the updater: a hidden top-level window of the class asked for,
// closed by the message asked for, which ends the program with its exit code.
TEST(SuiteProcessFixture, WindowClosesOnItsMessage) {
    SuiteFolder folder;
    NamedEvent ready(L"tavo-proc-ready-window");
    const DWORD pid = StartDirect(folder.Add(L"tavoUpdate.exe", ready.Setting("ready_event") +
                                                                    "window_class=TavoProcTestUpdater\r\n"
                                                                    "close_message=0x467\r\nexit_code=4\r\n"),
                                  ready);
    ASSERT_NE(pid, 0u);
    ScopedHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
    ASSERT_TRUE(process);
    const HWND window = FindWindowW(L"TavoProcTestUpdater", L"TavoProcTestUpdater");
    ASSERT_NE(window, nullptr);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    EXPECT_EQ(owner, pid);
    EXPECT_EQ(GetAncestor(window, GA_PARENT), GetDesktopWindow());
    EXPECT_FALSE(IsWindowVisible(window));
    ASSERT_TRUE(PostMessageW(window, 0x467, 0, 0));
    ASSERT_EQ(WaitForSingleObject(process.get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process.get(), &code));
    EXPECT_EQ(code, 4u);
}

// Launches. The fixture records the command line it received and its current folder.

TEST(Launches, NoWaitReturnsAtOnceWithTheChildRunning) {
    SuiteFolder folder;
    NamedEvent ready(L"tavo-proc-ready-nowait");
    folder.Add(L"tavopluginhost.exe", ready.Setting("ready_event"));
    // A command line longer than the buffer holding a space: cut to 259 characters, no space added.
    const std::wstring command = L"-a b" + std::wstring(400, L'c');
    DWORD code = 0;
    ASSERT_TRUE(CTavoCallProcess::VlrTavoCreateProcess(nullptr, folder.path().c_str(), L"tavopluginhost.exe",
                                                       command.c_str(), 0, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    ASSERT_TRUE(ready.Wait());
    auto record = folder.Record(L"tavopluginhost.exe");
    EXPECT_EQ(record["command-line"], Narrow(command.substr(0, 259)));
    EXPECT_EQ(Lower(std::wstring(record["folder"].begin(), record["folder"].end())), Lower(folder.path()));
    const DWORD pid = strtoul(record["pid"].c_str(), nullptr, 10);
    ASSERT_NE(pid, 0u);

    // Started by its short (8.3) path, it is still listed, and found, by its long name.
    DWORD found = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"TAVOPLUGINHOST.EXE", &found, FALSE), S_OK);
    EXPECT_EQ(found, pid);
    EXPECT_TRUE(IsRunning(pid));

    EXPECT_TRUE(CTavoCallProcess::VlrKillProcessByID(pid));
    EXPECT_TRUE(WaitGone(pid));
}

namespace {

// A message-only window of the test thread: counts WM_APP and runs an action for it.
struct PumpWindow {
    static inline int dispatched = 0;
    static inline void (*action)() = nullptr;
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_APP) {
            ++dispatched;
            if (action) action();
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
    PumpWindow() {
        dispatched = 0;
        WNDCLASSW type = {};
        type.lpfnWndProc = Proc;
        type.hInstance = GetModuleHandleW(nullptr);
        type.lpszClassName = L"TavoProcTestPump";
        RegisterClassW(&type);
        window = CreateWindowExW(0, type.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 type.hInstance, nullptr);
    }
    ~PumpWindow() {
        DestroyWindow(window);
        UnregisterClassW(L"TavoProcTestPump", GetModuleHandleW(nullptr));
        action = nullptr;
    }
    HWND window = nullptr;
};

HANDLE g_stopEvent = nullptr;

}  // namespace

TEST(Launches, MessageWaitEndsAtOnceOnQuit) {
    SuiteFolder folder;
    NamedEvent ready(L"tavo-proc-ready-quit");
    folder.Add(L"tavoUpdate.exe", ready.Setting("ready_event"));
    PumpWindow pump;
    ASSERT_NE(pump.window, nullptr);
    PumpWindow::action = [] { PostQuitMessage(3); };  // a window procedure ends the thread's loop
    ASSERT_TRUE(PostMessageW(pump.window, WM_APP, 0, 0));
    DWORD code = 0;
    ASSERT_TRUE(CTavoCallProcess::VlrTavoCreateProcess(nullptr, folder.path().c_str(), L"tavoUpdate.exe", L"",
                                                       2, &code));
    EXPECT_EQ(PumpWindow::dispatched, 1);
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));  // the child still runs
    MSG message = {};
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(static_cast<int>(message.wParam), -1);  // posted anew with -1
    ASSERT_TRUE(ready.Wait());
    EXPECT_EQ(folder.Record(L"tavoUpdate.exe")["command-line"], " ");

    DWORD pid = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"tavoupdate.exe", &pid), S_OK);
    EXPECT_TRUE(CTavoCallProcess::VlrTavoKillProcess(L"TAVOUPDATE.EXE"));
    EXPECT_TRUE(WaitGone(pid));
}

TEST(Launches, MessageWaitDispatchesUntilTheChildEnds) {
    SuiteFolder folder;
    NamedEvent stop(L"tavo-proc-stop-pump");
    folder.Add(L"tavoVlrONI.exe", stop.Setting("stop_event") + "exit_code=42\r\n");
    PumpWindow pump;
    ASSERT_NE(pump.window, nullptr);
    g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, L"tavo-proc-stop-pump");  // the same event
    PumpWindow::action = [] { SetEvent(g_stopEvent); };  // the child ends once our message is dispatched
    ASSERT_TRUE(PostMessageW(pump.window, WM_APP, 0, 0));
    DWORD code = 0;
    ASSERT_TRUE(CTavoCallProcess::VlrTavoCreateProcess(nullptr, folder.path().c_str(), L"tavoVlrONI.exe",
                                                       L"-x", 2, &code));
    CloseHandle(g_stopEvent);
    EXPECT_EQ(PumpWindow::dispatched, 1);
    EXPECT_EQ(code, 42u);
    MSG message = {};
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));  // no quit was posted
    EXPECT_EQ(folder.Record(L"tavoVlrONI.exe")["command-line"], " -x");
}

TEST(Launches, GivenTokenPutsOneSpaceInFront) {
    SuiteFolder folder;
    folder.Add(L"TAVOIM.exe", "exit_after=0\r\nexit_code=9\r\nenv_probe=TAVO_PROC_MARK\r\n");
    tavo::test::ScopedEnv mark(L"TAVO_PROC_MARK", L"inherited");
    tavo::ScopedToken token(CTavoCallProcess::VlrTavoOpenProcessToken(GetCurrentProcess()));
    ASSERT_TRUE(token);
    // Already starting with a space: copied as it is, cut to the buffer. Without a user environment the
    // child inherits the caller's.
    const std::wstring command = L" lead" + std::wstring(400, L'y');
    DWORD code = 0;
    ASSERT_TRUE(CTavoCallProcess::VlrTavoCreateProcessAsUser(
        token.get(), nullptr, folder.path().c_str(), L"TAVOIM.exe", command.c_str(), 1, &code, FALSE));
    EXPECT_EQ(code, 9u);
    auto record = folder.Record(L"TAVOIM.exe");
    EXPECT_EQ(record["command-line"], Narrow(command.substr(0, 259)));
    EXPECT_EQ(record["env"], "inherited");
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(token.get(), &flags));  // the token stays the caller's
}

TEST(Launches, ThroughTheShell) {
    SuiteFolder folder;
    NamedEvent ready(L"tavo-proc-ready-shell");
    folder.Add(L"tavoVlrONI.exe", "exit_after=300\r\nexit_code=5\r\n");
    const std::wstring helper = folder.Add(L"tavoHelper.exe", ready.Setting("ready_event"));
    // Elevated (Wine's user always is: "runas" just runs it), waiting until the child ends by itself.
    DWORD code = 0;
    ASSERT_TRUE(CTavoCallProcess::VlrTavoShellExecuteEx(folder.path().c_str(), L"tavoVlrONI.exe", L"-p q", 1,
                                                        TRUE, &code));
    EXPECT_EQ(code, 5u);
    auto record = folder.Record(L"tavoVlrONI.exe");
    const std::string& line = record["command-line"];
    printf("shell command line: %s\n", line.c_str());
    EXPECT_EQ(line.substr(line.size() - 5), " -p q");  // the parameters unchanged
    EXPECT_EQ(Lower(std::wstring(record["folder"].begin(), record["folder"].end())), Lower(folder.path()));

    // Not elevated, not waiting: the folder of the full path is the current folder.
    code = 0;
    ASSERT_TRUE(CCallProcEx::VlrShellEx(helper.c_str(), L"-r", 0, FALSE, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    ASSERT_TRUE(ready.Wait());
    record = folder.Record(L"tavoHelper.exe");
    EXPECT_EQ(record["command-line"].substr(record["command-line"].size() - 3), " -r");
    EXPECT_EQ(Lower(std::wstring(record["folder"].begin(), record["folder"].end())), Lower(folder.path()));
    const DWORD pid = strtoul(record["pid"].c_str(), nullptr, 10);
    EXPECT_TRUE(CTavoCallProcess::VlrKillProcessByID(pid));
    EXPECT_TRUE(WaitGone(pid));
}

// Trace lines and debug messages, recorded from a probe process.

namespace {

ProbeRun RunProcessProbe(const std::wstring& scenario, const std::wstring& folder) {
    return RunProbeProgram(L"process_probe.exe", scenario + L" \"" + folder + L"\"");
}

std::string Value(const std::string& output, const std::string& key) {
    const size_t at = output.find(key + "=");
    if (at == std::string::npos) return "";
    const size_t start = at + key.size() + 1;
    return output.substr(start, output.find('\n', start) - start);
}

}  // namespace

TEST(ProcessMessages, FailurePaths) {
    SuiteFolder folder;
    ASSERT_TRUE(tavo::test::WriteTextFile(folder / L"notexe.exe", "no program\r\n"));
    const std::string f = Narrow(folder.path());
    const ProbeRun run = RunProcessProbe(L"failures", folder.path());
    EXPECT_EQ(run.exitCode, 0u);
    const std::string token = Value(run.output, "token-handle");
    EXPECT_EQ(run.output,
              "wait-null=0\nwait-invalid=0\nex-null=0\nex-invalid=0\nwait-code=1\nex-code=1\n"
              "create-null=0\ncreate-absent=0\ncreate-notexe=0\n"
              "user-null=0\nuser-absent=0\nuser-notoken=0\nuser-notexe=0\n"
              "token-handle=" +
                  token +
                  "\ntoken-null=0\ntoken-absent=0\ntoken-notexe=0\n"
                  "launch-null=0\nlaunch-absent=0\nlaunch-notoken=0\nlaunch-notexe=0\n"
                  "shell-null=0\nshell-absent=0\nshellex-null=0\nshellex-absent=0\n"
                  "findfull-null=0x80070057\nfindfull-empty=0x80004005\nfind-null=0x80070057\n"
                  "find-empty=0x80004005\nfindex-null=0x80004005\nfindpath-null=0x80070057\n"
                  "findpath-empty=0x80070057\nkill-plain=0\nkill-user=0\nkill-id=0\nenv-null=0\n"
                  "env-destroy-null=0\n");
    EXPECT_TRUE(SameLines(
        run.lines,
        Join(
            {Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType),\n"),
             Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit: hProcess is NULL!\n,\n"),
             Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType),\n"),
             Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit: hProcess is INVALID_HANDLE_VALUE!\n,\n"),
             Traced("--> CCallProcEx::VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD "
                    "lpdwExitCode) \n"),
             Traced(" CCallProcEx::VlrWaitForObjExit: hProcess is NULL!\n,\n"),
             Traced("<-- CCallProcEx::VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD "
                    "lpdwExitCode) \n"),
             Traced("--> CCallProcEx::VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD "
                    "lpdwExitCode) \n"),
             Traced(" CCallProcEx::VlrWaitForObjExit: hProcess is INVALID_HANDLE_VALUE!\n,\n"),
             Traced("<-- CCallProcEx::VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD "
                    "lpdwExitCode) \n"),
             Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType),\n"),
             Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit: GetExitCodeProcess FAILED,,dwError=6,\n"),
             Traced("--> CCallProcEx::VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD "
                    "lpdwExitCode) \n"),
             Traced(" CCallProcEx::VlrWaitForObjExit: GetExitCodeProcess FAILED, Error=6,\n"),
             Traced("<-- CCallProcEx::VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD "
                    "lpdwExitCode) \n"),
             Traced(" CTavoCallProcess::VlrTavoCreateProcess:,lpszExePath=,lpszProcessName=x.exe,lpszCommand="
                    ",dwWaitObjectExitType=0,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcess: input para is NULL!\n"},
             Traced(" CTavoCallProcess::VlrTavoCreateProcess:,lpszExePath=" + f +
                    ",lpszProcessName=tavo-absent.exe,lpszCommand=/RegServer,dwWaitObjectExitType=0,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcess: Launching spec process ad user to start at spec "
              "directory.\n"},
             {f + "\\tavo-absent.exe"},
             Traced(" CTavoCallProcess::VlrTavoCreateProcess: can not find the file!\n,\n"),
             Traced(" CTavoCallProcess::VlrTavoCreateProcess:,lpszExePath=" + f +
                    ",lpszProcessName=notexe.exe,lpszCommand=/a,dwWaitObjectExitType=0,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcess: Launching spec process ad user to start at spec "
              "directory.\n"},
             {f + "\\notexe.exe"},
             Traced(" CTavoCallProcess::VlrTavoCreateProcess: CreateProcess FAILED,,dwError=193,\n"),
             Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser:,lpszExePath=" + f +
                    ",lpszProcessName=,lpszCommandLine=,dwWaitObjectExitType=0,bSetEnvironment=0,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcessAsUser: input para is NULL!\n"},
             Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser:,lpszExePath=" + f +
                    ",lpszProcessName=tavo-absent.exe,lpszCommandLine=/"
                    "a,dwWaitObjectExitType=0,bSetEnvironment=0,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcessAsUser: Launching spec process ad user to start at spec "
              "directory.\n"},
             {f + "\\tavo-absent.exe"},
             {"/a"},
             Traced(
                 " CTavoCallProcess::VlrTavoCreateProcessAsUser: can not find the file!,hFind=0xFFFFFFFF,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcessAsUser: can not find the file!"},
             Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser:,lpszExePath=" + f +
                    ",lpszProcessName=notexe.exe,lpszCommandLine=/"
                    "a,dwWaitObjectExitType=0,bSetEnvironment=0,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcessAsUser: Launching spec process ad user to start at spec "
              "directory.\n"},
             {f + "\\notexe.exe"},
             {"/a"},
             Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser: can not get active user's token!\n,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcessAsUser: can not get active user's token!\n"},
             {"CTavoCallProcess::VlrTavoCreateEnvironmentBlock: CreateEnvironmentBlock SUCCESS.\n"},
             {"CTavoCallProcess::VlrTavoDestroyEnvironmentBlock: DestroyEnvironmentBlock SUCCESS.\n"},
             Traced(
                 " CTavoCallProcess::VlrTavoCreateProcessAsUser: CreateProcessAsUser FAILED,dwError=193,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcessAsUser: CreateProcessAsUser FAILED\n"},
             Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser:,hToken=0x00000000,lpszExePath=" + f +
                    ",lpszProcessName=x.exe,lpszCommandLine=/a,dwWaitObjectExitType=0,bSetEnvironment=0,\n"),
             Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser: input para is nullptr,\n"),
             Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser:,hToken=" + token + ",lpszExePath=" + f +
                    ",lpszProcessName=tavo-absent.exe,lpszCommandLine=/"
                    "a,dwWaitObjectExitType=0,bSetEnvironment=0,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcessAsUser: Launching spec process ad user to start at spec "
              "directory"},
             {f + "\\tavo-absent.exe"},
             Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser: can not find the file,szExeName=" + f +
                    "\\tavo-absent.exe,\n"),
             Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser:,hToken=" + token + ",lpszExePath=" + f +
                    ",lpszProcessName=notexe.exe,lpszCommandLine=/"
                    "a,dwWaitObjectExitType=0,bSetEnvironment=0,\n"),
             {"CTavoCallProcess::VlrTavoCreateProcessAsUser: Launching spec process ad user to start at spec "
              "directory"},
             {f + "\\notexe.exe"},
             Traced(
                 " CTavoCallProcess::VlrTavoCreateProcessAsUser: CreateProcessAsUser failed,dwError=193,\n"),
             Traced(" CTavoCallProcess::LaunchExe:,lpszExePath=" + f +
                    ",lpszProcessName=x.exe,lpszCommandLine=,dwWaitObjectExitType=0,\n"),
             {"CTavoCallProcess::LaunchExe: input para is NULL!\n"},
             Traced(" CTavoCallProcess::LaunchExe:,lpszExePath=" + f +
                    ",lpszProcessName=tavo-absent.exe,lpszCommandLine=/a,dwWaitObjectExitType=0,\n"),
             {"CTavoCallProcess::LaunchExe: Launching spec process ad user to start at spec directory.\n"},
             {f + "\\tavo-absent.exe"},
             {"/a"},
             Traced(" CTavoCallProcess::LaunchExe: can not find the file!,hFind=0xFFFFFFFF,\n"),
             {"CTavoCallProcess::LaunchExe: can not find the file!"},
             Traced(" CTavoCallProcess::LaunchExe:,lpszExePath=" + f +
                    ",lpszProcessName=notexe.exe,lpszCommandLine=/a,dwWaitObjectExitType=0,\n"),
             {"CTavoCallProcess::LaunchExe: Launching spec process ad user to start at spec directory.\n"},
             {f + "\\notexe.exe"},
             {"/a"},
             Traced(" CTavoCallProcess::GetCurrentLogonUserToken2(HANDLE &hHandle),\n"),
             Traced(" CTavoCallProcess::LaunchExe: can not get active user's token!\n,\n"),
             {"CTavoCallProcess::LaunchExe: can not get active user's token!\n"},
             {"CTavoCallProcess::VlrTavoCreateEnvironmentBlock: CreateEnvironmentBlock SUCCESS.\n"},
             {"CTavoCallProcess::LaunchExe: CreateProcessAsUser FAILED\n"},
             {"CTavoCallProcess::VlrTavoDestroyEnvironmentBlock: DestroyEnvironmentBlock SUCCESS.\n"},
             Traced(" CTavoCallProcess::LaunchExe: CreateProcessWithTokenW FAILED,dwError=193,\n"),
             {"CTavoCallProcess::LaunchExe: CreateProcessWithTokenW FAILED\n"},
             Traced(" CTavoCallProcess::VlrTavoShellExecuteEx:,lpszFilePath=" + f +
                    ",lpszExeFileName=,lpszCommandLine=,dwWaitObjectExitType=0,bNeedUpgradePrivilege=0,"
                    "lpdwExitCode=0x00000000,\n"),
             {"CTavoCallProcess::VlrTavoShellExecuteEx: input para is NULL!\n"},
             Traced(" CTavoCallProcess::VlrTavoShellExecuteEx:,lpszFilePath=" + f +
                    ",lpszExeFileName=tavo-absent.exe,lpszCommandLine=/"
                    "RegServer,dwWaitObjectExitType=0,bNeedUpgradePrivilege=0,lpdwExitCode=0x00000000,\n"),
             {"\nLaunching spec process to start at spec directory.\n"},
             {"/RegServer"},
             Traced(" CTavoCallProcess::VlrTavoShellExecuteEx,hFind=0xFFFFFFFF,\n"),
             {"CTavoCallProcess::VlrTavoShellExecuteEx: can not find the file!\n"},
             Traced("--> CCallProcEx::VlrShellEx(LPCTSTR lpszFileFullPath, LPCTSTR lpszCmdLine, BOOL "
                    "bRunAsAdmin) \n"),
             Traced(" CCallProcEx::VlrShellEx: input para is NULL!\n,\n"),
             Traced("<-- CCallProcEx::VlrShellEx(LPCTSTR lpszFileFullPath, LPCTSTR lpszCmdLine, BOOL "
                    "bRunAsAdmin) \n"),
             Traced("--> CCallProcEx::VlrShellEx(LPCTSTR lpszFileFullPath, LPCTSTR lpszCmdLine, BOOL "
                    "bRunAsAdmin) \n"),
             Traced(" CCallProcEx::VlrShellEx: Launching spec process to start at spec directory.\n,\n"),
             Traced(" /RegServer,\n"),
             Traced(" CCallProcEx::VlrShellEx: can not find the file!\n,\n"),
             Traced("<-- CCallProcEx::VlrShellEx(LPCTSTR lpszFileFullPath, LPCTSTR lpszCmdLine, BOOL "
                    "bRunAsAdmin) \n"),
             Traced(" CTavoCallProcess::VlrTavoFindProcess,lpszProcessName=,\n"),
             {"CTavoCallProcess::VlrTavoFindProcess: input para is NULL!\n"},
             Traced(" CTavoCallProcess::VlrTavoFindProcess,lpszProcessName=,\n"),
             {"CTavoCallProcess::VlrTavoFindProcess: process name is empty!\n"},
             {"CTavoCallProcess::VlrTavoFindProcess: input para is NULL!\n"},
             {"CTavoCallProcess::VlrTavoFindProcess: process name is empty!\n"},
             {"CTavoCallProcess::VlrTavoFindProcessEx: Input lpszProcessName is NULL!\n"},
             Traced(" CTavoCallProcess::VlrTavoFindProcessByExePath,lpszProcessExePath=,\n"),
             Traced(" CTavoCallProcess::VlrTavoFindProcessByExePath,lpszProcessExePath=,\n"),
             {"CTavoCallProcess::VlrTavoKillProcess(LPCTSTR lpszProcessName)"},
             {"CTavoCallProcess::VlrTavoKillProcess: VlrTavoFindProcess FAILED!\n"},
             Traced("--> CTavoCallProcess::VlrTavoKillProcess(LPCTSTR lpszProcessName) \n"),
             Traced(" CTavoCallProcess::VlrTavoFindProcess,lpszProcessName=tavo-absent.exe,\n"),
             {"CTavoCallProcess::VlrTavoKillProcess: VlrTavoFindProcess FAILED!\n"},
             Traced("<-- CTavoCallProcess::VlrTavoKillProcess(LPCTSTR lpszProcessName) \n"),
             Traced("--> CTavoCallProcess::VlrKillProcessByID dwProcessId=2147483632,\n"),
             {"CTavoCallProcess::VlrTavoKillProcess: OpenProcess FAILED!\n"},
             Traced("<-- CTavoCallProcess::VlrKillProcessByID \n"),
             {"CTavoCallProcess::VlrTavoCreateEnvironmentBlock: input hToken is NULL!\n"},
             {"CTavoCallProcess::VlrTavoDestroyEnvironmentBlock: input hToken is NULL!\n"}})));
}

namespace {

// Closes, from a thread of its own, the message boxes that processes of one image name show (the shell's
// error reports), and keeps their texts.
class MessageBoxCloser {
  public:
    explicit MessageBoxCloser(const wchar_t* imageName)
        : m_imageName(Lower(imageName)), m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        m_thread.reset(CreateThread(nullptr, 0, &MessageBoxCloser::Main, this, 0, nullptr));
    }
    ~MessageBoxCloser() { Stop(); }
    MessageBoxCloser(const MessageBoxCloser&) = delete;
    MessageBoxCloser& operator=(const MessageBoxCloser&) = delete;

    // Stops closing boxes; the texts of those closed.
    std::vector<std::wstring> Finish() {
        Stop();
        return m_texts;
    }

  private:
    void Stop() {
        if (!m_thread) return;
        SetEvent(m_stop.get());
        WaitForSingleObject(m_thread.get(), INFINITE);
        m_thread.reset();
    }
    static DWORD WINAPI Main(void* self) {
        auto* closer = static_cast<MessageBoxCloser*>(self);
        while (WaitForSingleObject(closer->m_stop.get(), 100) == WAIT_TIMEOUT)
            EnumWindows(&MessageBoxCloser::Visit, reinterpret_cast<LPARAM>(closer));
        return 0;
    }
    static BOOL CALLBACK Visit(HWND window, LPARAM self) {
        auto* closer = reinterpret_cast<MessageBoxCloser*>(self);
        wchar_t className[64] = {};
        GetClassNameW(window, className, 64);
        if (wcscmp(className, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;  // shown: text set
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        const std::wstring image = Lower(ImagePath(pid));
        if (image.size() < closer->m_imageName.size() + 1 ||
            image.compare(image.size() - closer->m_imageName.size() - 1, std::wstring::npos,
                          L"\\" + closer->m_imageName) != 0)
            return TRUE;
        for (HWND seen : closer->m_closed)
            if (seen == window) return TRUE;
        wchar_t text[512] = {};
        GetDlgItemTextW(window, 0xFFFF, text, 512);  // the message box's text control
        closer->m_closed.push_back(window);
        closer->m_texts.push_back(text);
        PostMessageW(window, WM_COMMAND, IDOK, 0);
        return TRUE;
    }

    std::wstring m_imageName;
    ScopedHandle m_stop;
    ScopedHandle m_thread;
    std::vector<HWND> m_closed;
    std::vector<std::wstring> m_texts;
};

}  // namespace

// The shell launches of a file that is no program: the shell shows its error (the launches do not ask it
// to stay silent) and gives no process.
TEST(ProcessMessages, ShellLaunchFailures) {
    SuiteFolder folder;
    ASSERT_TRUE(tavo::test::WriteTextFile(folder / L"notexe.exe", "no program\r\n"));
    ProbeRun run;
    std::vector<std::wstring> boxes;
    {
        MessageBoxCloser closer(L"process_probe.exe");
        run = RunProcessProbe(L"shell-failures", folder.path());
        boxes = closer.Finish();
    }
    for (const std::wstring& text : boxes) printf("message box: %ls\n", text.c_str());
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, "shell-notexe=0\nshellex-notexe=0\n");
    const std::string f = Narrow(folder.path());
    // Wine leaves no error code behind its message box: dwError is 0.
    EXPECT_TRUE(SameLines(
        run.lines,
        Join({
            Traced(" CTavoCallProcess::VlrTavoShellExecuteEx:,lpszFilePath=" + f +
                   ",lpszExeFileName=notexe.exe,lpszCommandLine=/a,dwWaitObjectExitType=1,"
                   "bNeedUpgradePrivilege=1,lpdwExitCode=0x00000000,\n"),
            {"\nLaunching spec process to start at spec directory.\n"},
            {"/a"},
            Traced(
                " CTavoCallProcess::VlrTavoShellExecuteEx: Launching process FAILED!,bResult=0,dwError=0,\n"),
            Traced("--> CCallProcEx::VlrShellEx(LPCTSTR lpszFileFullPath, LPCTSTR lpszCmdLine, BOOL "
                   "bRunAsAdmin) \n"),
            Traced(" CCallProcEx::VlrShellEx: Launching spec process to start at spec directory.\n,\n"),
            Traced(" /b,\n"),
            Traced(" CCallProcEx::VlrShellEx: Launching process FAILED!\n,\n"),
            Traced("<-- CCallProcEx::VlrShellEx(LPCTSTR lpszFileFullPath, LPCTSTR lpszCmdLine, BOOL "
                   "bRunAsAdmin) \n"),
        })));
}

TEST(ProcessMessages, SuccessfulLaunches) {
    SuiteFolder folder;
    int code = 7;
    for (const wchar_t* name : {L"tavoInst.exe", L"TAVOIM.exe", L"tavoUpdate.exe", L"tavopluginhost.exe",
                                L"tavoVlrONI.exe", L"tavoHelper.exe"})
        folder.Add(
            name, "exit_after=0\r\nenv_probe=TAVO_PROC_MARK\r\nexit_code=" + std::to_string(code++) + "\r\n");
    tavo::test::ScopedEnv mark(L"TAVO_PROC_MARK", L"inherited");
    const ProbeRun run = RunProcessProbe(L"launches", folder.path());
    EXPECT_EQ(run.exitCode, 0u);
    printf("%s", run.output.c_str());
    EXPECT_EQ(Value(run.output, "create"), "1,7");
    EXPECT_EQ(Value(run.output, "token"), "1,8");
    EXPECT_EQ(Value(run.output, "active"), "1,9");
    EXPECT_EQ(Value(run.output, "launch"), "1,10");
    EXPECT_EQ(Value(run.output, "shell"), "1,11");
    EXPECT_EQ(Value(run.output, "shellex"), "1,12");
    // What the children received.
    EXPECT_EQ(folder.Record(L"tavoInst.exe")["command-line"], " /RegServer");
    EXPECT_EQ(folder.Record(L"tavoInst.exe")["env"], "inherited");
    EXPECT_EQ(folder.Record(L"TAVOIM.exe")["command-line"], " /x y");
    EXPECT_EQ(folder.Record(L"TAVOIM.exe")["env"], "(missing)");  // the user's environment
    EXPECT_EQ(folder.Record(L"tavoUpdate.exe")["command-line"], " /RegServer");
    EXPECT_EQ(folder.Record(L"tavoUpdate.exe")["env"], "(missing)");
    EXPECT_EQ(folder.Record(L"tavopluginhost.exe")["command-line"], " -Embedding");
    EXPECT_EQ(folder.Record(L"tavopluginhost.exe")["env"], "(missing)");
    // The environment blocks made for the user launches are released once the child was created.
    const std::string f = Narrow(folder.path());
    const std::string token = Value(run.output, "token-handle");
    const std::string slot = Value(run.output, "code-slot");
    EXPECT_TRUE(SameLines(
        run.lines,
        Join({
            Traced(" CTavoCallProcess::VlrTavoCreateProcess:,lpszExePath=" + f +
                   ",lpszProcessName=tavoInst.exe,lpszCommand=/RegServer,dwWaitObjectExitType=1,\n"),
            {"CTavoCallProcess::VlrTavoCreateProcess: Launching spec process ad user to start at spec "
             "directory.\n"},
            {f + "\\tavoInst.exe"},
            Traced(" CTavoCallProcess::VlrTavoCreateProcess: CreateProcess succeeded.,\n"),
            Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType),\n"),
            Traced(" CTavoCallProcess::VlrTavoCreateProcess: SUCCESS!\n,\n"),
            Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser:,hToken=" + token + ",lpszExePath=" + f +
                   ",lpszProcessName=TAVOIM.exe,lpszCommandLine=/x "
                   "y,dwWaitObjectExitType=1,bSetEnvironment=1,\n"),
            {"CTavoCallProcess::VlrTavoCreateProcessAsUser: Launching spec process ad user to start at spec "
             "directory"},
            {f + "\\TAVOIM.exe"},
            {"CTavoCallProcess::VlrTavoCreateEnvironmentBlock: CreateEnvironmentBlock SUCCESS.\n"},
            {"CTavoCallProcess::VlrTavoDestroyEnvironmentBlock: DestroyEnvironmentBlock SUCCESS.\n"},
            Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType),\n"),
            Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser: SUCCESS!\n,\n"),
            {"CTavoCallProcess::VlrTavoCreateEnvironmentBlock: CreateEnvironmentBlock SUCCESS.\n"},
            {"CTavoCallProcess::VlrTavoDestroyEnvironmentBlock: DestroyEnvironmentBlock SUCCESS.\n"},
            Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType),\n"),
            Traced(" CTavoCallProcess::VlrTavoCreateProcessAsUser: SUCCESS!\n,\n"),
            {"CTavoCallProcess::VlrTavoCreateProcessAsUser: SUCCESS!\n"},
            {"CTavoCallProcess::VlrTavoCreateEnvironmentBlock: CreateEnvironmentBlock SUCCESS.\n"},
            {"CTavoCallProcess::VlrTavoDestroyEnvironmentBlock: DestroyEnvironmentBlock SUCCESS.\n"},
            Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType),\n"),
            Traced(" CTavoCallProcess::LaunchExe: SUCCESS!\n,\n"),
            {"CTavoCallProcess::LaunchExe: SUCCESS!\n"},
            Traced(" CTavoCallProcess::VlrTavoShellExecuteEx:,lpszFilePath=" + f +
                   ",lpszExeFileName=tavoVlrONI.exe,lpszCommandLine=/"
                   "RegServer,dwWaitObjectExitType=1,bNeedUpgradePrivilege=0,lpdwExitCode=" +
                   slot + ",\n"),
            {"\nLaunching spec process to start at spec directory.\n"},
            {"/RegServer"},
            Traced(" CTavoCallProcess::VlrTavoShellExecuteEx: Launching process succeeded!,bResult=1,\n"),
            Traced(" CTavoCallProcess::VlrTavoWaitForObjectExit(HANDLE hProcess, DWORD dwWaitExitType),\n"),
            Traced("--> CCallProcEx::VlrShellEx(LPCTSTR lpszFileFullPath, LPCTSTR lpszCmdLine, BOOL "
                   "bRunAsAdmin) \n"),
            Traced(" CCallProcEx::VlrShellEx: Launching spec process to start at spec directory.\n,\n"),
            Traced(" /RegServer,\n"),
            Traced("--> CCallProcEx::VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD "
                   "lpdwExitCode) \n"),
            Traced("<-- CCallProcEx::VlrWaitForObjExit(HANDLE hProcess, DWORD dwWaitExitType, LPDWORD "
                   "lpdwExitCode) \n"),
            Traced("<-- CCallProcEx::VlrShellEx(LPCTSTR lpszFileFullPath, LPCTSTR lpszCmdLine, BOOL "
                   "bRunAsAdmin) \n"),
        })));
}
