// Sessions, tokens, accounts, system libraries and the console user's profile hive, against the real
// system of the Wine machine. Wine lists no session in WTSEnumerateSessionsW, reports console session 1,
// runs every process (its services included) under the one interactive, elevated user, and shows
// explorer.exe once a desktop window is asked for. Decisions that need another system state are checked
// through their small decision functions.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

#include "debug_capture.h"
#include "probe_runner.h"
#include "process/process.h"
#include "registry/registry.h"
#include "session/session.h"
#include "session/session_detail.h"
#include "support/proc_address.h"
#include "support/scoped.h"
#include "system/system_facts.h"
#include "test_support.h"

using namespace tavo::session;
using tavo::ScopedHandle;
using tavo::test::BinPath;
using tavo::test::OwnSid;
using tavo::test::SameLines;
using tavo::test::SidOfToken;
using tavo::test::TempFolder;

namespace {

// Helpers that read the machine without the code under test.

std::wstring OwnUserName() {
    wchar_t name[MAX_PATH] = {};
    DWORD chars = MAX_PATH;
    GetUserNameW(name, &chars);
    return name;
}

DWORD OwnSession() {
    DWORD session = kNoSession;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

TOKEN_TYPE TypeOfToken(HANDLE token) {
    TOKEN_TYPE type = TokenImpersonation;
    DWORD size = 0;
    GetTokenInformation(token, TokenType, &type, sizeof(type), &size);
    return type;
}

DWORD FindPidByName(const wchar_t* name) {
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!snapshot || !Process32FirstW(snapshot.get(), &entry)) return 0;
    do {
        if (_wcsicmp(entry.szExeFile, name) == 0) return entry.th32ProcessID;
    } while (Process32NextW(snapshot.get(), &entry));
    return 0;
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

std::wstring Lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}

// Where the 32-bit system libraries lie: the WoW64 system folder on 64-bit Windows, the system folder on
// 32-bit Windows (which has no WoW64 folder).
std::wstring ThirtyTwoBitSystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (tavo::test::SixtyFourBitWindows()) {
        EXPECT_NE(GetSystemWow64DirectoryW(folder, MAX_PATH), 0u);
    } else {
        EXPECT_EQ(GetSystemWow64DirectoryW(folder, MAX_PATH), 0u);
        EXPECT_NE(GetSystemDirectoryW(folder, MAX_PATH), 0u);
    }
    return folder;
}

bool HandleIsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

// A copy of the probe program under another name, waiting until it is ended by its handle. It runs in a
// job that ends it also when this test program ends early.
class Child {
  public:
    explicit Child(const std::wstring& exeName) : m_folder(L"tavo-session") {
        const std::wstring exe = m_folder / exeName;
        EXPECT_TRUE(CopyFileW(BinPath(L"session_probe.exe").c_str(), exe.c_str(), FALSE));
        m_job.reset(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (m_job)
            SetInformationJobObject(m_job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        std::wstring commandLine = L"\"" + exe + L"\" sleep";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        EXPECT_TRUE(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                   CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, m_folder.path().c_str(),
                                   &startup, &info));
        m_process.reset(info.hProcess);
        m_pid = info.dwProcessId;
        if (m_job && m_process) AssignProcessToJobObject(m_job.get(), m_process.get());
        if (info.hThread) {
            ResumeThread(info.hThread);
            CloseHandle(info.hThread);
        }
    }
    ~Child() {
        if (m_process) {
            TerminateProcess(m_process.get(), 0);
            WaitForSingleObject(m_process.get(), 10000);
        }
        m_process.reset();
        m_job.reset();
    }
    HANDLE handle() const { return m_process.get(); }
    DWORD pid() const { return m_pid; }

  private:
    TempFolder m_folder;
    ScopedHandle m_job;
    ScopedHandle m_process;
    DWORD m_pid = 0;
};

ProbeRun RunSessionProbe(const wchar_t* scenario) { return RunProbeProgram(L"session_probe.exe", scenario); }

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

// Decisions.

TEST(SessionDecisions, FirstActiveSessionOfTheListing) {
    WTS_SESSION_INFOW sessions[3] = {};
    sessions[0].SessionId = 0;
    sessions[0].State = WTSDisconnected;
    sessions[1].SessionId = 3;
    sessions[1].State = WTSActive;
    sessions[2].SessionId = 5;
    sessions[2].State = WTSActive;
    EXPECT_EQ(FirstActiveSessionId(sessions, 3), 3u);
    EXPECT_EQ(FirstActiveSessionId(sessions, 1), kNoSession);  // none active
    EXPECT_EQ(FirstActiveSessionId(sessions, 0), kNoSession);
    EXPECT_EQ(FirstActiveSessionId(nullptr, 2), kNoSession);
}

TEST(SessionDecisions, ConsoleSessionFromWindowsXpOn) {
    for (int code : {0, 1, 2, 3, 4, 5}) EXPECT_FALSE(UsesConsoleSession(code)) << code;
    EXPECT_TRUE(UsesConsoleSession(6));
    EXPECT_TRUE(UsesConsoleSession(8));
}

TEST(SessionDecisions, ExplorerImageByNameAndExtension) {
    EXPECT_TRUE(IsExplorerImagePath(L"C:\\Windows\\explorer.exe"));
    EXPECT_TRUE(IsExplorerImagePath(L"C:\\WINDOWS\\EXPLORER.EXE"));
    EXPECT_TRUE(IsExplorerImagePath(L"explorer.Exe"));
    EXPECT_FALSE(IsExplorerImagePath(L"C:\\Windows\\iexplorer.exe"));
    EXPECT_FALSE(IsExplorerImagePath(L"C:\\explorer.exe\\other.exe"));
    EXPECT_FALSE(IsExplorerImagePath(L"C:\\Windows\\explorer.exe.bak"));
    EXPECT_FALSE(IsExplorerImagePath(L"C:\\Windows\\explorer"));
    EXPECT_FALSE(IsExplorerImagePath(L""));
    EXPECT_FALSE(IsExplorerImagePath(nullptr));
}

TEST(SessionDecisions, ConsoleUserCandidate) {
    // Known console session: the session decides, whatever the program.
    EXPECT_TRUE(IsConsoleUserCandidate(true, 1, true, 1, L"C:\\x\\services.exe"));
    EXPECT_FALSE(IsConsoleUserCandidate(true, 1, true, 0, L"C:\\Windows\\explorer.exe"));
    EXPECT_FALSE(IsConsoleUserCandidate(true, 1, false, 1, L"C:\\Windows\\explorer.exe"));
    // Unknown session (before Windows XP): only explorer.exe.
    EXPECT_TRUE(IsConsoleUserCandidate(false, kNoSession, false, 0, L"C:\\WINNT\\Explorer.EXE"));
    EXPECT_FALSE(IsConsoleUserCandidate(false, kNoSession, true, 1, L"C:\\WINNT\\cmd.exe"));
    EXPECT_FALSE(IsConsoleUserCandidate(false, kNoSession, false, 0, L""));
}

TEST(SessionDecisions, SystemAccountInAnyLetterCase) {
    EXPECT_TRUE(IsSystemAccountName(L"SYSTEM"));
    EXPECT_TRUE(IsSystemAccountName(L"system"));
    EXPECT_TRUE(IsSystemAccountName(L"SyStEm"));
    EXPECT_FALSE(IsSystemAccountName(L"SYSTEMS"));
    EXPECT_FALSE(IsSystemAccountName(L"LOCAL SERVICE"));
    EXPECT_FALSE(IsSystemAccountName(L""));
    EXPECT_FALSE(IsSystemAccountName(nullptr));
}

TEST(SessionDecisions, SameAccountIsExactAndKnown) {
    EXPECT_TRUE(IsSameAccountName(L"root", L"root"));
    EXPECT_FALSE(IsSameAccountName(L"Root", L"root"));  // other letter case: another name
    EXPECT_FALSE(IsSameAccountName(L"", L""));          // two failed lookups are no match
    EXPECT_FALSE(IsSameAccountName(L"root", L""));
    EXPECT_FALSE(IsSameAccountName(nullptr, L"root"));
}

TEST(SessionDecisions, InteractiveGroupInTheList) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID interactive = nullptr, users = nullptr, network = nullptr;
    ASSERT_TRUE(
        AllocateAndInitializeSid(&nt, 1, SECURITY_INTERACTIVE_RID, 0, 0, 0, 0, 0, 0, 0, &interactive));
    ASSERT_TRUE(
        AllocateAndInitializeSid(&nt, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0, 0, 0, 0, 0, 0, &users));
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_NETWORK_RID, 0, 0, 0, 0, 0, 0, 0, &network));
    BYTE buffer[sizeof(TOKEN_GROUPS) + 2 * sizeof(SID_AND_ATTRIBUTES)] = {};
    auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer);
    groups->GroupCount = 2;
    groups->Groups[0].Sid = users;
    groups->Groups[1].Sid = network;
    EXPECT_FALSE(GroupsHoldInteractive(groups));  // a service or batch logon
    groups->Groups[1].Sid = interactive;
    EXPECT_TRUE(GroupsHoldInteractive(groups));
    groups->GroupCount = 0;
    EXPECT_FALSE(GroupsHoldInteractive(groups));
    EXPECT_FALSE(GroupsHoldInteractive(nullptr));
    FreeSid(interactive);
    FreeSid(users);
    FreeSid(network);
}

TEST(SessionDecisions, ProfileKeyDecidedOnce) {
    EXPECT_EQ(NextProfileKeyStep(nullptr, true), ProfileKeyStep::kUseCurrentUser);
    EXPECT_EQ(NextProfileKeyStep(nullptr, false), ProfileKeyStep::kLoadHive);
    // Once set, a fallback or a loaded hive stays, whatever the process is.
    EXPECT_EQ(NextProfileKeyStep(HKEY_CURRENT_USER, false), ProfileKeyStep::kReturnKey);
    EXPECT_EQ(NextProfileKeyStep(reinterpret_cast<HKEY>(0x1234), true), ProfileKeyStep::kReturnKey);
}

// Sessions and tokens on the machine.

TEST(Sessions, ActiveSessionIsTheFirstActiveOfTheListing) {
    HMODULE wtsapi = LoadLibraryW(L"wtsapi32.dll");
    ASSERT_NE(wtsapi, nullptr);
    auto enumerate = tavo::ProcAddress<decltype(&WTSEnumerateSessionsW)>(wtsapi, "WTSEnumerateSessionsW");
    auto freeMemory = tavo::ProcAddress<decltype(&WTSFreeMemory)>(wtsapi, "WTSFreeMemory");
    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    DWORD expected = kNoSession;
    if (enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        expected = FirstActiveSessionId(sessions, count);
        freeMemory(sessions);
    }
    FreeLibrary(wtsapi);
    const DWORD active = CTavoCallProcess::VlrTavoGetActiveSessionId();
    EXPECT_EQ(active, expected);
    printf("active session: %lu (%lu listed)\n", active, count);
    // Without an active session there is no active user's token.
    HANDLE token = CTavoCallProcess::VlrTavoGetActiveUserToken();
    EXPECT_EQ(token != nullptr, active != kNoSession);
    if (token) CloseHandle(token);
}

TEST(Sessions, SessionUserTokenIsANewPrimaryToken) {
    HANDLE token = QuerySessionUserToken(OwnSession());
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(TypeOfToken(token), TokenPrimary);
    EXPECT_EQ(SidOfToken(token), OwnSid());
    CloseHandle(token);
    EXPECT_EQ(QuerySessionUserToken(kNoSession), nullptr);
}

TEST(Sessions, OpenProcessTokenDuplicatesAPrimaryToken) {
    HANDLE token = CTavoCallProcess::VlrTavoOpenProcessToken(GetCurrentProcess());
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(TypeOfToken(token), TokenPrimary);
    EXPECT_EQ(SidOfToken(token), OwnSid());
    CloseHandle(token);
    EXPECT_EQ(CTavoCallProcess::VlrTavoOpenProcessToken(nullptr), nullptr);
}

TEST(Sessions, ConsoleUserTokenFromTheConsoleSession) {
    ASSERT_EQ(GetOSVersionType(), kOSWindowsVistaOrLater);  // the session-aware path
    HANDLE token = nullptr;
    ASSERT_TRUE(CTavoCallProcess::GetCurrentLogonUserToken(token));
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(SidOfToken(token), OwnSid());
    CloseHandle(token);

    // The walk itself: the first process of the session whose token opens.
    DWORD pid = 0;
    token = nullptr;
    ASSERT_TRUE(OpenConsoleUserTokenFromProcessList(SearchReport::kDebug, true, OwnSession(), token, &pid));
    DWORD session = kNoSession;
    EXPECT_TRUE(ProcessIdToSessionId(pid, &session));
    EXPECT_EQ(session, OwnSession());
    CloseHandle(token);
    token = nullptr;
    EXPECT_FALSE(OpenConsoleUserTokenFromProcessList(SearchReport::kDebug, true, 0x7FFF, token, nullptr));
    EXPECT_EQ(token, nullptr);
}

TEST(Sessions, ExplorerWalkOfTheActiveSession) {
    GetDesktopWindow();  // Wine starts explorer.exe for the desktop
    for (int i = 0; i < 100 && FindPidByName(L"explorer.exe") == 0; ++i) Sleep(100);
    ASSERT_NE(FindPidByName(L"explorer.exe"), 0u);
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenExplorerTokenInSession(OwnSession(), token));
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(SidOfToken(token), OwnSid());
    CloseHandle(token);

    // No explorer.exe in the session: TRUE without a token.
    token = nullptr;
    EXPECT_TRUE(OpenExplorerTokenInSession(kNoSession, token));
    EXPECT_EQ(token, nullptr);

    // Wine lists no active session: the query is not made and the walk finds nothing.
    token = nullptr;
    EXPECT_TRUE(CTavoCallProcess::GetCurrentLogonUserToken2(token));
    EXPECT_EQ(token != nullptr, CTavoCallProcess::VlrTavoGetActiveSessionId() != kNoSession);
    if (token) CloseHandle(token);
}

// Accounts and SIDs.

TEST(Accounts, SidAndAccountOfTheOwnProcess) {
    const std::wstring sid = OwnSid();
    ASSERT_EQ(sid.rfind(L"S-1-5-", 0), 0u) << sid.c_str();
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    CStringEx fromToken;
    EXPECT_TRUE(CTavoCallProcess::GetTokenSID(token, fromToken));
    CloseHandle(token);
    EXPECT_EQ(std::wstring(fromToken.GetString()), sid);
    CStringEx fromProcess;
    EXPECT_TRUE(CTavoCallProcess::GetProcessSID(GetCurrentProcess(), fromProcess));
    EXPECT_EQ(std::wstring(fromProcess.GetString()), sid);
    CStringEx logon;
    EXPECT_TRUE(CTavoCallProcess::GetLogonSID(logon));
    EXPECT_EQ(std::wstring(logon.GetString()), sid);  // one user on the machine

    CStringEx name;
    EXPECT_TRUE(CTavoCallProcess::GetProcessUserName(GetCurrentProcess(), name));
    EXPECT_EQ(std::wstring(name.GetString()), OwnUserName());
    std::wstring byId;
    EXPECT_TRUE(CTavoCallProcess::GetProcessUserName(GetCurrentProcessId(), byId));
    EXPECT_EQ(byId, OwnUserName());
    EXPECT_FALSE(CTavoCallProcess::IsSysProcess(GetCurrentProcess()));
    EXPECT_TRUE(CTavoCallProcess::IsCurrentLogonUserProcess(GetCurrentProcessId()));
}

TEST(Accounts, SidAndAccountOfAChildProcess) {
    Child child(L"tavo-session-child.exe");
    ASSERT_NE(child.handle(), nullptr);
    CStringEx sid;
    EXPECT_TRUE(CTavoCallProcess::GetProcessSID(child.handle(), sid));
    EXPECT_EQ(std::wstring(sid.GetString()), OwnSid());
    CStringEx name;
    EXPECT_TRUE(CTavoCallProcess::GetProcessUserName(child.handle(), name));
    EXPECT_EQ(std::wstring(name.GetString()), OwnUserName());
    std::wstring byId;
    EXPECT_TRUE(CTavoCallProcess::GetProcessUserName(child.pid(), byId));
    EXPECT_EQ(byId, OwnUserName());
    CStringEx byName;
    EXPECT_TRUE(CTavoCallProcess::GetProcessUserName(L"TAVO-SESSION-CHILD.EXE", byName));
    EXPECT_EQ(std::wstring(byName.GetString()), OwnUserName());
    DWORD found = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"Tavo-Session-Child.exe", &found, TRUE), S_OK);
    EXPECT_EQ(found, child.pid());
    EXPECT_TRUE(CTavoCallProcess::IsCurrentLogonUserProcess(child.pid()));
    EXPECT_FALSE(CTavoCallProcess::IsSysProcess(child.handle()));
}

TEST(Accounts, FailuresGiveFalse) {
    std::wstring byId = L"old";
    EXPECT_FALSE(CTavoCallProcess::GetProcessUserName(static_cast<DWORD>(0x7FFFFFF0), byId));
    EXPECT_FALSE(CTavoCallProcess::IsCurrentLogonUserProcess(0x7FFFFFF0));
    CStringEx name;
    EXPECT_FALSE(CTavoCallProcess::GetProcessUserName(static_cast<HANDLE>(nullptr), name));
    EXPECT_FALSE(CTavoCallProcess::IsSysProcess(nullptr));
    DWORD pid = 0;
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(nullptr, &pid, FALSE), E_INVALIDARG);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"", &pid, FALSE), E_FAIL);
    EXPECT_EQ(CTavoCallProcess::VlrTavoFindProcess(L"x.exe", nullptr, FALSE), E_INVALIDARG);
}

TEST(Accounts, ServiceProcessAccount) {
    // Wine runs services.exe, and the services it starts, under the logged-on user, not SYSTEM.
    const DWORD pid = FindPidByName(L"services.exe");
    ASSERT_NE(pid, 0u);
    ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    ASSERT_TRUE(process);
    CStringEx account;
    ASSERT_TRUE(CTavoCallProcess::GetProcessUserName(process.get(), account));
    printf("services.exe runs as \"%ls\"\n", account.GetString());
    EXPECT_EQ(CTavoCallProcess::IsSysProcess(process.get()) != FALSE,
              IsSystemAccountName(account.GetString()));
    EXPECT_EQ(std::wstring(account.GetString()), OwnUserName());
    EXPECT_FALSE(CTavoCallProcess::IsSysProcess(process.get()));
}

TEST(Accounts, CurrentUserNameIsCached) {
    const CStringEx first = GetCurrentUserName();
    EXPECT_EQ(std::wstring(first.GetString()), OwnUserName());
    const CStringEx second = GetCurrentUserName();
    EXPECT_EQ(std::wstring(second.GetString()), std::wstring(first.GetString()));
    CStringEx direct;
    EXPECT_TRUE(QuerySessionUserName(WTS_CURRENT_SESSION, direct));
    EXPECT_EQ(std::wstring(direct.GetString()), std::wstring(first.GetString()));
}

// System libraries.

TEST(SystemLibraries, LoadedFromThe32BitSystemFolder) {
    ASSERT_EQ(Is64BitWindows() != FALSE, tavo::test::SixtyFourBitWindows());
    ASSERT_EQ(GetModuleHandleW(L"wtsapi32.dll"), nullptr);  // nothing keeps it loaded
    HMODULE module = LoadSystemLibraryEx(L"wtsapi32.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Lower(ModulePath(module)), Lower(ThirtyTwoBitSystemFolder() + L"\\wtsapi32.dll"));
    {
        CDLLHandle borrowed(module, FALSE);  // not owning: stays loaded
    }
    EXPECT_EQ(GetModuleHandleW(L"wtsapi32.dll"), module);
    {
        CDLLHandle owner(module, TRUE);
        EXPECT_EQ(owner.Get(), module);
    }
    EXPECT_EQ(GetModuleHandleW(L"wtsapi32.dll"), nullptr);

    EXPECT_EQ(LoadSystemLibraryEx(nullptr), nullptr);
    EXPECT_EQ(LoadSystemLibraryEx(L""), nullptr);
    EXPECT_EQ(LoadSystemLibraryEx(L"tavo-no-such-library.dll"), nullptr);
    EXPECT_EQ(LoadSystemLibraryEx(std::wstring(300, L'a').c_str()), nullptr);
}

TEST(SystemLibraries, ProcessWideHoldersLoadOnce) {
    const HMODULE psapi = GetPsapiModule();
    ASSERT_NE(psapi, nullptr);
    EXPECT_EQ(GetPsapiModule(), psapi);
    EXPECT_EQ(Lower(ModulePath(psapi)), Lower(ThirtyTwoBitSystemFolder() + L"\\psapi.dll"));
    ASSERT_NE(GetUserenvModule(), nullptr);
    EXPECT_EQ(GetUserenvModule(), GetUserenvModule());
    EXPECT_EQ(Lower(ModulePath(GetUserenvModule())), Lower(ThirtyTwoBitSystemFolder() + L"\\userenv.dll"));
    ASSERT_NE(GetAdvapi32Module(), nullptr);
    EXPECT_EQ(GetAdvapi32Module(), GetModuleHandleW(L"advapi32.dll"));
}

// The console user's profile.

TEST(Profile, InteractiveProcessKeepsCurrentUser) {
    EXPECT_TRUE(IsInteractiveProcess());  // Wine's token holds S-1-5-4
    CUserProfile& profile = ProcessUserProfile();
    EXPECT_EQ(&ProcessUserProfile(), &profile);  // one object per process
    EXPECT_EQ(GetLogonUserProfileKey(), HKEY_CURRENT_USER);
    EXPECT_EQ(profile.CurrentProfileKey(), HKEY_CURRENT_USER);
    EXPECT_EQ(GetLogonUserProfileKey(), HKEY_CURRENT_USER);
}

TEST(Profile, ObjectDecidesOnceAndClosesItsToken) {
    {
        CUserProfile fresh;
        EXPECT_EQ(fresh.CurrentProfileKey(), nullptr);
        EXPECT_EQ(fresh.GetProfileKey(), HKEY_CURRENT_USER);
    }
    // A key already decided is kept, although this process would decide otherwise.
    CUserProfile decided(HKEY_USERS, nullptr);
    EXPECT_EQ(decided.GetProfileKey(), HKEY_USERS);
    EXPECT_EQ(decided.GetProfileKey(), HKEY_USERS);

    HANDLE token = nullptr;
    {
        CUserProfile profile;
        token = profile.GetLogonUserToken();
        ASSERT_NE(token, nullptr);
        EXPECT_EQ(profile.GetLogonUserToken(), token);  // kept by the object
        EXPECT_EQ(SidOfToken(token), OwnSid());
        EXPECT_TRUE(HandleIsOpen(token));
    }
    EXPECT_FALSE(HandleIsOpen(token));  // closed with the object
}

TEST(Profile, HiveOfTheConsoleUser) {
    HANDLE token = nullptr;
    ASSERT_TRUE(CTavoCallProcess::GetCurrentLogonUserToken(token));
    const HKEY hive = LoadLogonUserHive(token);
    ASSERT_NE(hive, nullptr);
    printf("LoadUserProfileW gave %s\n", hive == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "a hive");
    if (hive != HKEY_CURRENT_USER) {
        using Unload = BOOL(WINAPI*)(HANDLE, HANDLE);
        auto unload = tavo::ProcAddress<Unload>(GetUserenvModule(), "UnloadUserProfile");
        if (unload) unload(token, hive);
    }
    CloseHandle(token);
    EXPECT_EQ(LoadLogonUserHive(nullptr), nullptr);
}

// Trace lines and debug messages, recorded from a probe process.

TEST(SessionMessages, TokenSearches) {
    const ProbeRun run = RunSessionProbe(L"tokens");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(Contains(run.output, "token2=1\ntoken2-handle=null\n")) << run.output;
    EXPECT_TRUE(Contains(run.output, "token2-session=1\ntoken2-session-handle=set\n")) << run.output;
    EXPECT_TRUE(Contains(run.output, "logon=1\nlogon-handle=set\n")) << run.output;
    const std::vector<std::string> expected = Join({
        Traced(" CTavoCallProcess::GetCurrentLogonUserToken2(HANDLE &hHandle),\n"),
        {"CTavoCallProcess::GetCurrentLogonUserToken2: WTSQueryUserToken SUCC!\n"},
        Traced(" CTavoCallProcess::GetCurrentLogonUserToken(HANDLE &hHandle),\n"),
    });
    EXPECT_TRUE(SameLines(run.lines, expected));
}

TEST(SessionMessages, Failures) {
    const ProbeRun run = RunSessionProbe(L"failures");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(Contains(run.output, "token-sid=0\nprocess-sid=0\nsid=untouched\nopen-token=null\n"))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "by-name=0\nby-null-name=0\n")) << run.output;
    // Wine reports a size (8) for the user of a null token, so the second read is the one that fails.
    const std::vector<std::string> expected = Join({
        Traced("--> CTavoCallProcess::GetTokenSID \n"),
        Traced(" CTavoCallProcess::GetTokenSID GetTokenInformation with TokenUser fail 2,dwError=6,bRet=0,"
               "dwTokenUser=8,\n"),
        Traced("<-- CTavoCallProcess::GetTokenSID \n"),
        Traced("--> CTavoCallProcess::GetProcessSID \n"),
        Traced(
            " CTavoCallProcess::GetProcessSID OpenProcessToken fail,dwError=6,bRet=0,hToken=0x00000000,\n"),
        Traced("<-- CTavoCallProcess::GetProcessSID \n"),
        Traced(" CTavoCallProcess::VlrTavoOpenProcessToken: OpenProcessToken failed,hProcess=0x00000000,"
               "::GetLastError()=6,\n"),
        Traced(" CTavoCallProcess::VlrTavoFindProcess,lpszProcessName=tavo-no-such-process.exe,\n"),
        Traced(" CTavoCallProcess::GetProcessUserName fail at find "
               "process,lpszProcessName=tavo-no-such-process.exe,\n"),
        Traced(" CTavoCallProcess::VlrTavoFindProcess,lpszProcessName=,\n"),
        {"CTavoCallProcess::VlrTavoFindProcess: input para is NULL!\n"},
        Traced(" CTavoCallProcess::GetProcessUserName fail at find process,lpszProcessName=,\n"),
    });
    EXPECT_TRUE(SameLines(run.lines, expected));
}

TEST(SessionMessages, ScopesAndProfile) {
    const ProbeRun run = RunSessionProbe(L"scopes");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(Contains(run.output, "sys=0\nown=1\nlogon-sid=1\nsame=1\nprofile=1,1\n")) << run.output;
    const std::vector<std::string> expected = Join({
        Traced("--> CTavoCallProcess::IsSysProcess(HANDLE hProcess). \n"),
        Traced("<-- CTavoCallProcess::IsSysProcess(HANDLE hProcess). \n"),
        Traced("--> CTavoCallProcess::IsCurrentLogonUserProcess(HANDLE hProcess). \n"),
        Traced("<-- CTavoCallProcess::IsCurrentLogonUserProcess(HANDLE hProcess). \n"),
        Traced("--> CTavoCallProcess::GetLogonSID \n"),
        Traced(" CTavoCallProcess::GetCurrentLogonUserToken(HANDLE &hHandle),\n"),
        Traced("--> CTavoCallProcess::GetTokenSID \n"), Traced("<-- CTavoCallProcess::GetTokenSID \n"),
        Traced("<-- CTavoCallProcess::GetLogonSID \n"), Traced("--> CTavoCallProcess::GetProcessSID \n"),
        Traced("--> CTavoCallProcess::GetTokenSID \n"), Traced("<-- CTavoCallProcess::GetTokenSID \n"),
        Traced("<-- CTavoCallProcess::GetProcessSID \n"),
        // The profile key writes nothing.
    });
    EXPECT_TRUE(SameLines(run.lines, expected));
}
