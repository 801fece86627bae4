// Runs the session, token and profile operations that write trace lines and debug messages, outside any
// test framework, so that a test can record those lines from outside (tavo::capture) and compare the
// results printed here. Also serves as a child process that waits to be ended.
//   session_probe sleep | facts | tokens | failures | scopes
#include <windows.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "process/process.h"
#include "session/session_detail.h"
#include "session/session.h"

namespace {

void PrintHandle(const char* label, HANDLE handle) { printf("%s=%s\n", label, handle ? "set" : "null"); }

// Facts about the machine, for the test's report.
int Facts() {
    if (GetEnvironmentVariableW(L"TAVO_DESKTOP", nullptr, 0)) GetDesktopWindow();
    printf("active=%lu\n", CTavoCallProcess::VlrTavoGetActiveSessionId());
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    printf("own-session=%lu\n", session);
    printf("interactive=%d\n", IsInteractiveProcess());
    printf("user=%ls\n", GetCurrentUserName().GetString());
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (Process32FirstW(snapshot, &entry)) {
        do {
            HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID);
            CStringEx account;
            const BOOL named = CTavoCallProcess::GetProcessUserName(process, account);
            DWORD processSession = 0;
            ProcessIdToSessionId(entry.th32ProcessID, &processSession);
            printf("process %lu %ls session=%lu account=%d:%ls sys=%d\n", entry.th32ProcessID,
                   entry.szExeFile, processSession, named, account.GetString(),
                   CTavoCallProcess::IsSysProcess(process));
            if (process) CloseHandle(process);
        } while (Process32NextW(snapshot, &entry));
    }
    CloseHandle(snapshot);
    HANDLE token = nullptr;
    DWORD pid = 0;
    const BOOL legacy = tavo::session::OpenConsoleUserTokenFromProcessList(
        tavo::session::SearchReport::kDebug, false, 0, token, &pid);
    printf("legacy=%d pid=%lu\n", legacy, pid);
    if (token) CloseHandle(token);
    return 0;
}

// GetCurrentLogonUserToken2 for the active session, then its steps for the probe's own session, then
// GetCurrentLogonUserToken.
int Tokens() {
    HANDLE token = nullptr;
    BOOL result = CTavoCallProcess::GetCurrentLogonUserToken2(token);
    printf("token2=%d\n", result);
    PrintHandle("token2-handle", token);
    if (token) CloseHandle(token);

    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    token = nullptr;
    result = tavo::session::GetCurrentLogonUserToken2InSession(session, token);
    printf("token2-session=%d\n", result);
    PrintHandle("token2-session-handle", token);
    if (token) CloseHandle(token);

    token = nullptr;
    result = CTavoCallProcess::GetCurrentLogonUserToken(token);
    printf("logon=%d\n", result);
    PrintHandle("logon-handle", token);
    if (token) CloseHandle(token);
    return 0;
}

// Each failing operation in turn; the test compares the lines they write.
int Failures() {
    CStringEx sid(L"untouched");
    printf("token-sid=%d\n", CTavoCallProcess::GetTokenSID(nullptr, sid));
    printf("process-sid=%d\n", CTavoCallProcess::GetProcessSID(nullptr, sid));
    printf("sid=%ls\n", sid.GetString());
    PrintHandle("open-token", CTavoCallProcess::VlrTavoOpenProcessToken(nullptr));
    CStringEx name;
    printf("by-name=%d\n", CTavoCallProcess::GetProcessUserName(L"tavo-no-such-process.exe", name));
    printf("by-null-name=%d\n", CTavoCallProcess::GetProcessUserName(static_cast<LPCWSTR>(nullptr), name));
    return 0;
}

int Scopes() {
    printf("sys=%d\n", CTavoCallProcess::IsSysProcess(GetCurrentProcess()));
    printf("own=%d\n", CTavoCallProcess::IsCurrentLogonUserProcess(GetCurrentProcessId()));
    CStringEx sid;
    printf("logon-sid=%d\n", CTavoCallProcess::GetLogonSID(sid));
    CStringEx own;
    CTavoCallProcess::GetProcessSID(GetCurrentProcess(), own);
    printf("same=%d\n", sid == own);
    // The profile key is decided once and writes nothing on the interactive path; the process then ends
    // with the profile object destroyed at exit.
    const HKEY first = GetLogonUserProfileKey();
    const HKEY second = GetLogonUserProfileKey();
    printf("profile=%d,%d\n", first == HKEY_CURRENT_USER, second == HKEY_CURRENT_USER);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return 2;
    const std::string scenario = argv[1];
    if (scenario == "sleep") {
        Sleep(INFINITE);
        return 0;
    }
    if (scenario == "facts") return Facts();
    if (scenario == "tokens") return Tokens();
    if (scenario == "failures") return Failures();
    if (scenario == "scopes") return Scopes();
    return 3;
}
