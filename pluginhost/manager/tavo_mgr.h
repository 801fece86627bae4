// The binary contract between the plug-in host and the suite's manager library tavoMgr.dll.
//
// The library is loaded at run time from the host's own folder. Its exports use the C calling
// convention; the object operations are C++ virtual functions in the Microsoft x86 ABI (thiscall: `this`
// in ECX, arguments on the stack, cleaned by the callee). Their slot order is the contract: never insert,
// remove or reorder an operation.
//
// Strings are NUL-terminated UTF-16.
// - A request document is `const wchar_t*`; null when the plug-in passed a null string.
// - A cookie is an `unsigned long*` that the manager writes; it identifies the events of that request.
// - Yes/no answers are one-byte booleans.
// - An output string comes back through `wchar_t**` as a buffer the manager allocated with `malloc` of the
//   system C runtime msvcrt.dll; the host copies it and releases it with `free` of that same runtime
//   (the host's own C runtime is msvcrt.dll too). A manager built against another runtime must allocate
//   these buffers with msvcrt.dll's `malloc`, or the host's `free` corrupts a foreign heap. The host reads
//   the buffer only when the operation returned 0 (for GetAccountInfo it neither reads nor frees it
//   otherwise).
// - Text the manager passes to a sink stays the manager's; the host copies what it keeps.
//
// Every call in either direction happens on the host's main thread.
#pragma once

#include <windows.h>

#define TAVO_MGR_CALL __thiscall

// Liveness check of one host object's connected plug-ins: the number of plug-in sinks that answered.
// Verify may end the instance it belongs to: when every event sink of the instance turned out to belong
// to a client that is gone, the instance is cut off from its clients and, if nothing else holds it,
// destroyed, unregistering this verifier (operation 14) before Verify returns. A manager iterating its
// verifiers must allow for that.
struct ITavoObjVerify {
    virtual int TAVO_MGR_CALL Verify() = 0;  // 0
};

// Host sinks: the manager reports asynchronous outcomes through them.
struct ITavoSink_Meeting {
    virtual void TAVO_MGR_CALL OnMeetingChanged(const wchar_t* text) = 0;                             // 0
    virtual void TAVO_MGR_CALL OnMeetingSearched(const wchar_t* text, unsigned long cookie) = 0;      // 1
    virtual void TAVO_MGR_CALL OnInviteToMeet(const wchar_t* text, unsigned long cookie) = 0;         // 2
    virtual void TAVO_MGR_CALL OnGetScheduledMeeting(const wchar_t* text, unsigned long cookie) = 0;  // 3
    virtual void TAVO_MGR_CALL OnJoinMeetRejected(const wchar_t* text) = 0;                           // 4
    virtual void TAVO_MGR_CALL OnGetMeetingData(const wchar_t* text, unsigned long cookie) = 0;       // 5
    virtual void TAVO_MGR_CALL OnGeneralCall(const wchar_t* text) = 0;                                // 6
    virtual void TAVO_MGR_CALL OnError(const wchar_t* text, unsigned long cookie) = 0;                // 7
};

struct ITavoSink_Setting {
    virtual void TAVO_MGR_CALL OnGetSetting(const wchar_t* text, unsigned long cookie) = 0;  // 0
    virtual void TAVO_MGR_CALL OnSetClose(unsigned long cookie) = 0;                         // 1
    virtual void TAVO_MGR_CALL OnError(const wchar_t* text, unsigned long cookie) = 0;       // 2
    virtual void TAVO_MGR_CALL OnSetModify(const wchar_t* text, unsigned long cookie) = 0;   // 3
    virtual void TAVO_MGR_CALL OnGeneralCall(const wchar_t* text) = 0;                       // 4
    virtual void TAVO_MGR_CALL OnSetOpen(const wchar_t* text, unsigned long cookie) = 0;     // 5
};

struct ITavoSink_Update {
    virtual void TAVO_MGR_CALL OnUpdateComplete(unsigned long cookie) = 0;              // 0
    virtual void TAVO_MGR_CALL OnGeneralCall(const wchar_t* text) = 0;                  // 1
    virtual void TAVO_MGR_CALL OnError(const wchar_t* text, unsigned long cookie) = 0;  // 2
};

// The manager's primary interface: the settings operations, then the binding operations.
struct ITavoMgr {
    virtual long TAVO_MGR_CALL OpenSettingDlg(const wchar_t* request, unsigned long* cookie) = 0;  // 0
    virtual long TAVO_MGR_CALL CloseSettingDlg(unsigned long* cookie) = 0;                         // 1
    virtual long TAVO_MGR_CALL GetSetting(const wchar_t* request, unsigned long* cookie) = 0;      // 2
    virtual bool TAVO_MGR_CALL HasValidAccount() = 0;                                              // 3
    virtual long TAVO_MGR_CALL GetAccountInfo(wchar_t** result) = 0;                               // 4
    virtual bool TAVO_MGR_CALL IsSettingDlgOpened() = 0;                                           // 5
    virtual long TAVO_MGR_CALL GetLastError() = 0;                                                 // 6
    virtual long TAVO_MGR_CALL GeneralCall(const wchar_t* request, wchar_t** result) = 0;          // 7
    virtual long TAVO_MGR_CALL Logout() = 0;                                                       // 8
    virtual long TAVO_MGR_CALL ClearAccout() = 0;                                                  // 9
    virtual bool TAVO_MGR_CALL KillTavoProcess() = 0;                                              // 10
    virtual long TAVO_MGR_CALL StartOCProcess() = 0;                                               // 11
    virtual bool TAVO_MGR_CALL CheckUpdateProcess() = 0;                                           // 12
    virtual void TAVO_MGR_CALL RegisterObjVerify(ITavoObjVerify* verify) = 0;                      // 13
    virtual void TAVO_MGR_CALL UnregisterObjVerify(ITavoObjVerify* verify) = 0;                    // 14
    virtual void TAVO_MGR_CALL SetSettingSink(ITavoSink_Setting* sink) = 0;                        // 15
    virtual void TAVO_MGR_CALL SetMeetingSink(ITavoSink_Meeting* sink) = 0;                        // 16
    virtual void TAVO_MGR_CALL SetUpdateSink(ITavoSink_Update* sink) = 0;                          // 17
    virtual long TAVO_MGR_CALL IsBusy() = 0;   // 18: non-zero refuses unloading
    virtual void TAVO_MGR_CALL Destroy() = 0;  // 19: the object is unusable afterwards
};

struct ITavoMgr_Meeting {
    virtual long TAVO_MGR_CALL StartOCMeeting(const wchar_t* request, unsigned long* cookie) = 0;         // 0
    virtual long TAVO_MGR_CALL JoinOCMeeting(const wchar_t* request, unsigned long* cookie) = 0;          // 1
    virtual long TAVO_MGR_CALL InviteToMeeting(const wchar_t* request, unsigned long* cookie) = 0;        // 2
    virtual long TAVO_MGR_CALL GetStartedMeeting(wchar_t** result) = 0;                                   // 3
    virtual long TAVO_MGR_CALL GetInviteUrl(const wchar_t* request, wchar_t** result) = 0;                // 4
    virtual long TAVO_MGR_CALL StartScheduledMeeting(const wchar_t* request, unsigned long* cookie) = 0;  // 5
    virtual long TAVO_MGR_CALL GetLastError() = 0;                                                        // 6
    virtual long TAVO_MGR_CALL GeneralCall(const wchar_t* request, wchar_t** result) = 0;                 // 7
    virtual bool TAVO_MGR_CALL CheckIfDisclaimerInProgress() = 0;                                         // 8
    virtual long TAVO_MGR_CALL CheckDisclaimerAndCloseCommunicationDlg() = 0;                             // 9
    virtual bool TAVO_MGR_CALL CheckMeetingGoingStatus() = 0;  // 10
};

struct ITavoMgr_Update {
    virtual bool TAVO_MGR_CALL CheckUpdate(const wchar_t* request) = 0;                       // 0
    virtual long TAVO_MGR_CALL Update(const wchar_t* request, unsigned long* cookie) = 0;     // 1
    virtual long TAVO_MGR_CALL GetLastError() = 0;                                            // 2
    virtual long TAVO_MGR_CALL GetVersionInfo(const wchar_t* request, wchar_t** result) = 0;  // 3
    virtual long TAVO_MGR_CALL GeneralCall(const wchar_t* request, wchar_t** result) = 0;     // 4
};

// The object CreateTavoMgr returns: the three interfaces in this base order, nothing else. Its layout
// is three interface pointers: ITavoMgr at offset 0, ITavoMgr_Meeting at 4, ITavoMgr_Update at 8.
struct ITavoMgrObject : ITavoMgr, ITavoMgr_Meeting, ITavoMgr_Update {};

// Exports of tavoMgr.dll (C calling convention). CreateTavoMgr receives 1 when the host loads the manager
// for its own start-up, else 0, and returns the object or null. The telemetry exports are optional and
// their results are ignored.
extern "C" {
using PFN_CreateTavoMgr = ITavoMgrObject*(__cdecl*)(int);
using PFN_InitTelemetry = int(__cdecl*)(int);
using PFN_UnInitTelemetry = int(__cdecl*)();
using PFN_GetMetricsID = int(__cdecl*)(int* id, const wchar_t* name);
using PFN_AddMetricValueString = int(__cdecl*)(int id, const wchar_t* name, const wchar_t* value);
using PFN_AddMetricValueLong = int(__cdecl*)(int id, const wchar_t* name, long value);
using PFN_SendMetrics = int(__cdecl*)(int id, int metric);
}

inline constexpr wchar_t kTavoMgrFileName[] = L"tavoMgr.dll";

// Calls in progress across the library's boundary: the host's calls into the manager and the manager's
// calls into the host's sinks and verifiers. While one is in progress a frame of the library is on the
// main thread's stack, and it may wait (an outgoing COM call, a dialog) and serve messages meanwhile: the
// library must not be unloaded under it. Main thread only.
namespace tavo::host {

inline int& ManagerCallDepth() {
    static int depth = 0;
    return depth;
}

// Counts one call for its scope.
class ManagerCall {
  public:
    ManagerCall() { ++ManagerCallDepth(); }
    ~ManagerCall() { --ManagerCallDepth(); }
    ManagerCall(const ManagerCall&) = delete;
    ManagerCall& operator=(const ManagerCall&) = delete;
};

inline bool ManagerCallsInProgress() { return ManagerCallDepth() > 0; }

// A fault caught by the run's guard unwound the main thread's stack (without running destructors): no
// call is in progress any more.
inline void ForgetManagerCalls() { ManagerCallDepth() = 0; }

}  // namespace tavo::host
