// Control of the suite's update service "VelnorPluginsService" through the Service Control Manager:
// install (with the Users group's access and the description), stop, uninstall, waits for its states,
// starting it with an update command and the completion signal between the starting process and the
// service. Failures go to the Windows event log under the source "VelnorService", never to the trace
// facility. No operation throws.
#pragma once

#include <windows.h>
#include <winsvc.h>
#include <aclapi.h>

#include <cstdarg>

namespace tavo::service {

inline constexpr const wchar_t* kServiceName = L"VelnorPluginsService";
inline constexpr const wchar_t* kDisplayName = L"Orvane Velnor Tavo Suite Update Service";
inline constexpr const wchar_t* kServiceImageName = L"velnorservice.exe";
inline constexpr const wchar_t* kEventSource = L"VelnorService";
inline constexpr const wchar_t* kCompletionEventName = L"Global\\WaitForUpdateCommandExcuted";
extern const wchar_t* const kServiceDescription;

// Characters of an event-log line's buffer (511 and the terminator).
inline constexpr int kServiceEventChars = 512;

// Right granted to the local Users group: GENERIC_READ | SERVICE_START | SERVICE_STOP.
inline constexpr DWORD kUsersServiceAccess = GENERIC_READ | SERVICE_START | SERVICE_STOP;

// Results of WaitForServiceStopped (2 to 7 are the last state read when the wait ran out).
enum : DWORD {
    kWaitStopped = 1,
    kWaitNoState = 207,
    kQueryInvalidHandle = 217,
    kQueryAccessDenied = 218,
    kQueryInsufficientBuffer = 219,
    kQueryInvalidParameter = 220,
    kQueryInvalidLevel = 221,
    kQueryShutdownInProgress = 222,
    kQueryOtherError = 223,
    kOpenServiceAccessDenied = 235,
    kOpenServiceInvalidHandle = 236,
    kOpenServiceInvalidName = 237,
    kOpenServiceDoesNotExist = 238,
    kOpenServiceOtherError = 239,
    kOpenManagerAccessDenied = 253,
    kOpenManagerDatabaseDoesNotExist = 254,
    kOpenManagerOtherError = 255,
};

// Results of StartUpdateService besides 0 and the start attempts' last error.
enum : DWORD {
    kStartNotStoppedBase = 20000,  // plus the WaitForServiceStopped result
    kStartOpenManagerFailed = 17001,
    kStartOpenServiceFailed = 17002,
};

}  // namespace tavo::service

// Installs the service with `binaryPath` (at most MAX_PATH characters; null: the calling program's own
// path). An existing service keeps its configuration and only gets the Users group's access renewed.
BOOL SvcInstall(const wchar_t* binaryPath);
// Requests a stop and waits up to 30 s for the stopped state (and up to 30 s for the service program to
// exit). TRUE when the service reached the stopped state.
BOOL SvcStop();
// Stops the service (waiting at most about 60 s, looking at its state every 50 ms) and deletes it. TRUE
// when deleted or already marked for deletion.
BOOL SvcUninstall();

// Grants the local Users group kUsersServiceAccess on `service` (merged into its DACL).
BOOL SetUserAccessServiceDACL(SC_HANDLE service);
// The step behind SetUserAccessServiceDACL: a Win32 error code (0 on success). `newDacl` receives the
// merged list when it was built (also when applying it failed); the caller frees it with LocalFree.
DWORD BuildAndApplyUsersServiceDACL(SC_HANDLE service, PACL* newDacl);
BOOL UpdateServiceDescription(SC_HANDLE service);

// Polls the state of `serviceName` every 50 ms for up to `seconds`; see the result codes above.
DWORD WaitForServiceStopped(const wchar_t* serviceName, DWORD seconds);
// 0 when no process of `imageName` is left, else WAIT_TIMEOUT after `seconds`. Waits on a process of the
// name that it finds (looking again at least once a second), so it returns as soon as the last one ended;
// while the process list cannot be read, or a process of the name cannot be waited on, it looks once a
// second.
DWORD WaitForProcessExit(const wchar_t* imageName, DWORD seconds);

// Starts the stopped service with the argument vector as given (its first element is the service name).
// 0, 20000 + the WaitForServiceStopped result, 17001, 17002 or the start attempts' last error.
DWORD StartUpdateService(DWORD argc, const wchar_t** argv);
// Starts the service with `count` further wide-string arguments and waits up to 30 s for its completion
// signal: the start result when not 0, else WAIT_OBJECT_0 or WAIT_TIMEOUT.
DWORD RunUpdateCommand(int count, ...);
DWORD RunUpdateCommandV(int count, const wchar_t* const* arguments);
// Waits on the completion event (created when the service has not done so) for `milliseconds`.
DWORD WaitForUpdateCommandDone(DWORD milliseconds);
// For the service: sets the completion event when a waiter holds it. Always 0.
DWORD SignalUpdateCommandDone();

// The arguments joined by single blanks, each quoted when it holds a blank. A heap string the caller
// releases with free(); null for a count below 1, a null vector or element, or exhausted memory.
wchar_t* BuildServiceCommandLine(int argc, const wchar_t* const* argv);

// One event-log line under "VelnorService", printf-style (wide %s), cut at 511 characters.
void ReportServiceEvent(WORD type, const wchar_t* format, ...);
// The formatting step of ReportServiceEvent: fills `buffer` (tavo::service::kServiceEventChars characters)
// with at most 511 characters and a terminator.
void FormatServiceEventV(wchar_t* buffer, const wchar_t* format, va_list args);
