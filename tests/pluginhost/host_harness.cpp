#include "host_harness.h"

#include <tlhelp32.h>

#include <algorithm>

namespace tavo::test {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (condition()) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(50, timeoutMs - elapsed), QS_ALLINPUT);
    }
}

namespace {

constexpr wchar_t kTypeLibVersionKey[] = L"TypeLib\\{9F41C6D2-0E7B-4A35-B8C4-62D1E0F7A3B5}\\1.0";

}  // namespace

WineTypeLibAlias::WineTypeLibAlias(const std::wstring& hostExe) {
    const std::wstring key = std::wstring(kTypeLibVersionKey) + L"\\0\\win32";
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &created,
                        nullptr) != ERROR_SUCCESS)
        return;
    m_ok = RegSetValueExW(created, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(hostExe.c_str()),
                          static_cast<DWORD>((hostExe.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(created);
}

WineTypeLibAlias::~WineTypeLibAlias() {
    const std::wstring locale = std::wstring(kTypeLibVersionKey) + L"\\0";
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (locale + L"\\win32").c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, locale.c_str());
}

bool ManagerFiles::Command(const std::string& text) {
    const std::wstring staging = folder / L"commands.tmp";
    return WriteTextFile(staging, text) &&
           MoveFileExW(staging.c_str(), commands.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool ManagerFiles::CommandAndWait(const std::string& text, DWORD timeoutMs) {
    // The library takes the file on its next tick; wait until it took the previous one.
    if (!WaitFor([this] { return GetFileAttributesW(commands.c_str()) == INVALID_FILE_ATTRIBUTES; },
                 timeoutMs))
        return false;
    const std::string mark = "done" + std::to_string(++m_marks);
    if (!Command(text + "mark " + mark + "\n")) return false;
    return WaitFor([&] { return Contains(ManagerLog(), "mark " + mark + "\n"); }, timeoutMs);
}

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
