// Waits for the service's states and the service program's exit, starting the service with an update
// command, and the completion signal between the starting process and the service.
#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>
#include <tlhelp32.h>

#include "service/service_control.h"
#include "support/scoped.h"

using tavo::ScopedHandle;
using tavo::ScopedServiceHandle;
namespace svc = tavo::service;

namespace {

DWORD OpenManagerCode(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return svc::kOpenManagerAccessDenied;
        case ERROR_DATABASE_DOES_NOT_EXIST:
            return svc::kOpenManagerDatabaseDoesNotExist;
        default:
            return svc::kOpenManagerOtherError;
    }
}

DWORD OpenServiceCode(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return svc::kOpenServiceAccessDenied;
        case ERROR_INVALID_HANDLE:
            return svc::kOpenServiceInvalidHandle;
        case ERROR_INVALID_NAME:
            return svc::kOpenServiceInvalidName;
        case ERROR_SERVICE_DOES_NOT_EXIST:
            return svc::kOpenServiceDoesNotExist;
        default:
            return svc::kOpenServiceOtherError;
    }
}

DWORD QueryCode(DWORD error) {
    switch (error) {
        case ERROR_INVALID_HANDLE:
            return svc::kQueryInvalidHandle;
        case ERROR_ACCESS_DENIED:
            return svc::kQueryAccessDenied;
        case ERROR_INSUFFICIENT_BUFFER:
            return svc::kQueryInsufficientBuffer;
        case ERROR_INVALID_PARAMETER:
            return svc::kQueryInvalidParameter;
        case ERROR_INVALID_LEVEL:
            return svc::kQueryInvalidLevel;
        case ERROR_SHUTDOWN_IN_PROGRESS:
            return svc::kQueryShutdownInProgress;
        default:
            return svc::kQueryOtherError;
    }
}

// A process of `imageName` that has not ended, opened for waiting on its end; `known` false when the
// process list could not be read (the process then counts as still there, with nothing to wait on). A
// listed process that has already ended, or that no longer exists when it is opened, is not one.
ScopedHandle FindRunningProcess(const wchar_t* imageName, bool& known) {
    known = false;
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return {};
    known = true;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, imageName) != 0) continue;
        ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (!process) {
            if (GetLastError() == ERROR_INVALID_PARAMETER) continue;  // gone since the snapshot
            known = false;                                            // there, but it cannot be waited on
            return {};
        }
        if (WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) return process;
    }
    return {};
}

// The completion event, opened or (when no one holds it yet) created: auto-reset, not signalled.
ScopedHandle OpenOrCreateCompletionEvent() {
    ScopedHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, svc::kCompletionEventName));
    if (!event) event.reset(CreateEventW(nullptr, FALSE, FALSE, svc::kCompletionEventName));
    return event;
}

DWORD WaitOnEvent(const ScopedHandle& event, DWORD milliseconds) {
    if (!event) return WAIT_FAILED;
    return WaitForSingleObject(event.get(), milliseconds);
}

}  // namespace

DWORD WaitForServiceStopped(const wchar_t* serviceName, DWORD seconds) {
    ScopedServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return OpenManagerCode(GetLastError());
    ScopedServiceHandle service(OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        manager.reset();
        return OpenServiceCode(error);
    }

    const unsigned long long limit = static_cast<unsigned long long>(seconds) * 1000;
    unsigned long long elapsed = 0;
    DWORD result = svc::kWaitNoState;
    if (limit == 0) return result;
    for (;;) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof(status), &needed)) {
            result = status.dwCurrentState;
            if (result == SERVICE_STOPPED) return svc::kWaitStopped;
        } else {
            const DWORD error = GetLastError();
            if (error != ERROR_INVALID_SERVICE_CONTROL && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
                error != ERROR_SERVICE_NOT_ACTIVE) {
                return QueryCode(error);
            }
        }
        Sleep(50);
        elapsed += 50;
        if (elapsed >= limit) return result;
    }
}

DWORD WaitForProcessExit(const wchar_t* imageName, DWORD seconds) {
    if (!imageName || seconds == 0) return WAIT_TIMEOUT;
    // Each look waits on a process it found, at most a second, so that another process of the name is
    // looked for at least as often as once a second.
    const DWORD limit = seconds > MAXDWORD / 1000 ? MAXDWORD : seconds * 1000;
    const DWORD start = GetTickCount();
    for (;;) {
        bool known = false;
        const ScopedHandle process = FindRunningProcess(imageName, known);
        if (known && !process) return 0;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= limit) return WAIT_TIMEOUT;
        const DWORD wait = limit - elapsed < 1000 ? limit - elapsed : 1000;
        if (!process || WaitForSingleObject(process.get(), wait) == WAIT_FAILED) Sleep(wait);
    }
}

DWORD StartUpdateService(DWORD argc, const wchar_t** argv) {
    const DWORD waited = WaitForServiceStopped(svc::kServiceName, 5);
    if (waited != svc::kWaitStopped) return svc::kStartNotStoppedBase + waited;

    ScopedServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return svc::kStartOpenManagerFailed;
    ScopedServiceHandle service(OpenServiceW(manager.get(), svc::kServiceName, SERVICE_START));
    if (!service) {
        manager.reset();
        return svc::kStartOpenServiceFailed;
    }
    DWORD result = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (StartServiceW(service.get(), argc, argv)) return ERROR_SUCCESS;
        result = GetLastError();
        Sleep(100);
    }
    return result;
}

DWORD RunUpdateCommandV(int count, const wchar_t* const* arguments) {
    if (count < 0 || (count > 0 && !arguments)) return ERROR_INVALID_PARAMETER;
    std::vector<const wchar_t*> vector;
    try {
        vector.reserve(static_cast<size_t>(count) + 1);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    vector.push_back(svc::kServiceName);
    for (int i = 0; i < count; ++i) vector.push_back(arguments[i]);

    // The event is held before the service starts: a service that finishes its command at once finds it
    // and its signal is not lost.
    ScopedHandle event = OpenOrCreateCompletionEvent();
    const DWORD started = StartUpdateService(static_cast<DWORD>(vector.size()), vector.data());
    if (started != ERROR_SUCCESS) return started;
    return WaitOnEvent(event, 30000);
}

DWORD RunUpdateCommand(int count, ...) {
    if (count < 0) return ERROR_INVALID_PARAMETER;
    std::vector<const wchar_t*> arguments;
    try {
        arguments.reserve(static_cast<size_t>(count));
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    va_list list;
    va_start(list, count);
    for (int i = 0; i < count; ++i) arguments.push_back(va_arg(list, const wchar_t*));
    va_end(list);
    return RunUpdateCommandV(count, arguments.data());
}

DWORD WaitForUpdateCommandDone(DWORD milliseconds) {
    ScopedHandle event = OpenOrCreateCompletionEvent();
    return WaitOnEvent(event, milliseconds);
}

DWORD SignalUpdateCommandDone() {
    ScopedHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, svc::kCompletionEventName));
    if (event) SetEvent(event.get());
    return 0;
}

wchar_t* BuildServiceCommandLine(int argc, const wchar_t* const* argv) {
    if (argc < 1 || !argv) return nullptr;
    std::wstring line;
    try {
        for (int i = 0; i < argc; ++i) {
            if (!argv[i]) return nullptr;
            if (i > 0) line.push_back(L' ');
            // Quoted when it holds a blank and is not quoted already.
            const size_t length = wcslen(argv[i]);
            const bool quoted = length >= 2 && argv[i][0] == L'"' && argv[i][length - 1] == L'"';
            const bool blank = !quoted && wcschr(argv[i], L' ') != nullptr;
            if (blank) line.push_back(L'"');
            line.append(argv[i]);
            if (blank) line.push_back(L'"');
        }
    } catch (...) {
        return nullptr;
    }
    auto* copy = static_cast<wchar_t*>(malloc((line.size() + 1) * sizeof(wchar_t)));
    if (!copy) return nullptr;
    wmemcpy(copy, line.c_str(), line.size() + 1);
    return copy;
}
