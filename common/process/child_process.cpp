// Children of an elevated program: started by their full application path with CreateProcessW (never
// through the shell, whose class registrations merge the user's own), from the system folder as their
// current folder, with the machine's own "Path" instead of the inherited one (which holds the user's
// entries), and, when a bound is given, ended with everything they started once it has passed.
#include <windows.h>

#include <cwchar>
#include <utility>

#include "process/process.h"
#include "support/proc_address.h"
#include "support/scoped.h"

namespace tavo {
namespace {

using PfnCreateEnvironmentBlock = BOOL(WINAPI*)(LPVOID*, HANDLE, BOOL);
using PfnDestroyEnvironmentBlock = BOOL(WINAPI*)(LPVOID);

constexpr DWORD kEndWaitMs = 10000;  // how long an ended child may take to go

bool IsPathEntry(const wchar_t* entry) { return _wcsnicmp(entry, L"Path=", 5) == 0; }

// "Path" of the system's own environment block (made without a user token: the machine's variables only,
// expanded by the system). Empty when the block cannot be made.
std::wstring SystemBlockPath() {
    ScopedLibrary userenv(LoadSystemLibraryEx(L"userenv.dll"));
    if (!userenv) return {};
    const auto create = ProcAddress<PfnCreateEnvironmentBlock>(userenv.get(), "CreateEnvironmentBlock");
    const auto destroy = ProcAddress<PfnDestroyEnvironmentBlock>(userenv.get(), "DestroyEnvironmentBlock");
    void* block = nullptr;
    if (!create || !destroy || !create(&block, nullptr, FALSE) || !block) return {};
    std::wstring path;
    for (const wchar_t* entry = static_cast<const wchar_t*>(block); *entry; entry += wcslen(entry) + 1) {
        if (IsPathEntry(entry)) path = entry + 5;
    }
    destroy(block);
    return path;
}

// The raw value under the system environment's key, with %SystemRoot% and %windir% (the only references a
// machine Path holds by default) made the Windows folder; other references stay as written.
std::wstring RegistryMachinePath() {
    wchar_t value[4096] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                     L"Path", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value,
                     &size) != ERROR_SUCCESS) {
        return {};
    }
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return value;
    std::wstring path = value;
    for (const wchar_t* name : {L"%SystemRoot%", L"%windir%"}) {
        const size_t nameLength = wcslen(name);
        for (size_t at = 0; at + nameLength <= path.size();) {
            if (_wcsnicmp(path.c_str() + at, name, nameLength) == 0) {
                path.replace(at, nameLength, windows);
                at += length;
            } else {
                ++at;
            }
        }
    }
    return path;
}

bool InheritOnly(const std::vector<HANDLE>& handles, bool on) {
    for (HANDLE handle : handles) {
        if (!handle || handle == INVALID_HANDLE_VALUE) continue;
        if (!SetHandleInformation(handle, HANDLE_FLAG_INHERIT, on ? HANDLE_FLAG_INHERIT : 0)) return false;
    }
    return true;
}

}  // namespace

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(folder) : std::wstring();
}

std::wstring MachinePath() {
    try {
        std::wstring path = SystemBlockPath();
        return path.empty() ? RegistryMachinePath() : path;
    } catch (...) {
        return {};
    }
}

std::vector<wchar_t> ChildEnvironment(const wchar_t* pathAddition) {
    try {
        std::wstring path = MachinePath();
        if (pathAddition && *pathAddition) path += std::wstring(path.empty() ? L"" : L";") + pathAddition;
        std::vector<wchar_t> block;
        wchar_t* strings = GetEnvironmentStringsW();
        if (strings) {
            for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1) {
                if (IsPathEntry(entry)) continue;
                block.insert(block.end(), entry, entry + wcslen(entry) + 1);
            }
            FreeEnvironmentStringsW(strings);
        }
        const std::wstring entry = L"Path=" + path;
        block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
        block.push_back(L'\0');
        return block;
    } catch (...) {
        return {};
    }
}

namespace {

struct Created {
    ScopedHandle process;
    ScopedHandle thread;
    DWORD processId = 0;
};

// CreateProcessW with `application`, from the system folder, with the child's environment; only the
// handles named in `start` are inherited, and only by this child.
bool Create(const std::wstring& application, const std::wstring& commandLine, const ChildStart& start,
            DWORD extraFlags, Created& created, DWORD& error) {
    const std::wstring folder = SystemFolder();
    std::vector<wchar_t> environment = ChildEnvironment(start.pathAddition.c_str());
    if (folder.empty() || environment.empty()) {
        error = ERROR_ENVVAR_NOT_FOUND;
        return false;
    }
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    std::vector<HANDLE> inherited = start.inherit;
    if (start.useStandardHandles) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = start.standardInput;
        startup.hStdOutput = start.standardOutput;
        startup.hStdError = start.standardError;
        for (HANDLE handle : {start.standardInput, start.standardOutput, start.standardError}) {
            if (handle && handle != INVALID_HANDLE_VALUE) inherited.push_back(handle);
        }
    }
    if (!InheritOnly(inherited, true)) {
        error = GetLastError();
        InheritOnly(inherited, false);
        return false;
    }
    PROCESS_INFORMATION process = {};
    const BOOL ok =
        CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, inherited.empty() ? FALSE : TRUE,
                       start.creationFlags | extraFlags | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                       folder.c_str(), &startup, &process);
    error = ok ? ERROR_SUCCESS : GetLastError();
    InheritOnly(inherited, false);
    if (!ok) return false;
    created.process.reset(process.hProcess);
    created.thread.reset(process.hThread);
    created.processId = process.dwProcessId;
    return true;
}

}  // namespace

ScopedHandle StartChild(const std::wstring& application, const std::wstring& commandLine,
                        const ChildStart& start, DWORD& error) {
    error = ERROR_SUCCESS;
    try {
        Created created;
        if (!Create(application, commandLine, start, 0, created, error)) return {};
        return std::move(created.process);
    } catch (...) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return {};
    }
}

ChildOutcome RunChild(const std::wstring& application, const std::wstring& commandLine,
                      const ChildStart& start, DWORD timeoutMs) {
    ChildOutcome outcome;
    try {
        // Suspended until it is in a job of its own: ending the job also ends what the child started (the
        // 32-bit regsvr32 starts the 64-bit one for a 64-bit library). Where the job cannot be had (an
        // older system that does not nest jobs), the child alone is ended.
        ScopedHandle job(CreateJobObjectW(nullptr, nullptr));
        Created created;
        if (!Create(application, commandLine, start, CREATE_SUSPENDED, created, outcome.error))
            return outcome;
        const bool inJob = job && AssignProcessToJobObject(job.get(), created.process.get());
        outcome.started = true;
        outcome.processId = created.processId;
        ResumeThread(created.thread.get());
        if (WaitForSingleObject(created.process.get(), timeoutMs) == WAIT_TIMEOUT) {
            outcome.timedOut = true;
            if (!inJob || !TerminateJobObject(job.get(), ERROR_TIMEOUT))
                TerminateProcess(created.process.get(), ERROR_TIMEOUT);
            WaitForSingleObject(created.process.get(), kEndWaitMs);
        }
        if (!GetExitCodeProcess(created.process.get(), &outcome.exitCode)) outcome.exitCode = STILL_ACTIVE;
        return outcome;
    } catch (...) {
        outcome.error = ERROR_NOT_ENOUGH_MEMORY;
        return outcome;
    }
}

}  // namespace tavo
