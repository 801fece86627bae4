#include "host_harness.h"

#include <tlhelp32.h>

namespace tavo::test {

HostInstall::HostInstall(const std::wstring& prefix) : m_folder(prefix) {
    Add(L"tavopluginhost.exe", L"tavopluginhost.exe");
}

bool HostInstall::Add(const std::wstring& builtRelative, const std::wstring& name) {
    return CopyFileW(BinPath(builtRelative).c_str(), (m_folder / name).c_str(), FALSE) != FALSE;
}

HostProcess::~HostProcess() {
    if (!m_process) return;
    if (Running()) {
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, 10000);
    }
    CloseHandle(m_process);
}

bool HostProcess::Start(const std::wstring& exe, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return false;
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_pid = info.dwProcessId;
    return true;
}

bool HostProcess::Adopt(const std::wstring& exe, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    std::wstring name = exe.substr(exe.find_last_of(L'\\') + 1);
    do {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (lstrcmpiW(entry.szExeFile, name.c_str()) != 0) continue;
            HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                                         FALSE, entry.th32ProcessID);
            if (!process) continue;
            wchar_t path[MAX_PATH] = {};
            DWORD size = MAX_PATH;
            if (QueryFullProcessImageNameW(process, 0, path, &size) && lstrcmpiW(path, exe.c_str()) == 0) {
                m_process = process;
                m_pid = entry.th32ProcessID;
                CloseHandle(snapshot);
                return true;
            }
            CloseHandle(process);
        }
        CloseHandle(snapshot);
        Sleep(100);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

bool HostProcess::WaitExit(DWORD timeoutMs) {
    if (!m_process || WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(m_process, &m_exitCode);
    return true;
}

bool HostProcess::Running() const { return m_process && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }

DWORD RunHostToEnd(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs) {
    HostProcess host;
    if (!host.Start(exe, arguments) || !host.WaitExit(timeoutMs)) return 0xDEADBEEF;
    return host.exitCode();
}

namespace {

struct WindowSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK MatchHelpWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    wchar_t name[128] = {};
    GetClassNameW(window, name, 128);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && lstrcmpW(name, kHelpWndClass) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND WaitForHelpWindow(DWORD pid, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    do {
        WindowSearch search = {pid, nullptr};
        EnumWindows(&MatchHelpWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        Sleep(100);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

}  // namespace tavo::test
