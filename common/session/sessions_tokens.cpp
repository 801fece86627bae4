// Sessions and tokens: the active session and its user's token, the console user's token, and process
// tokens duplicated as primary tokens.
#include <windows.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cwchar>

#include "process/process.h"
#include "session/session_detail.h"
#include "support/proc_address.h"
#include "support/scoped.h"
#include "system/system_facts.h"
#include "trace/trace.h"

namespace tavo::session {

namespace {

using PfnWTSEnumerateSessionsW = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*);
using PfnWTSFreeMemory = VOID(WINAPI*)(PVOID);
using PfnWTSQueryUserToken = BOOL(WINAPI*)(ULONG, PHANDLE);
using PfnWTSGetActiveConsoleSessionId = DWORD(WINAPI*)();
using PfnEnumProcesses = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);
using PfnGetModuleFileNameExW = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);

constexpr DWORD kMaxProcessIds = 1024;  // a 4096-byte list
constexpr DWORD kSearchProcessAccess = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ;  // 0x1010
constexpr DWORD kLegacySearchProcessAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;    // 0x410

void DebugMessageWithError(const wchar_t* format, DWORD error) {
    wchar_t text[256] = {};
    _snwprintf(text, 255, format, static_cast<int>(error));
    OutputDebugStringW(text);
}

}  // namespace

DWORD FirstActiveSessionId(const WTS_SESSION_INFOW* sessions, DWORD count) {
    if (!sessions) return kNoSession;
    for (DWORD i = 0; i < count; ++i) {
        if (sessions[i].State == WTSActive) return sessions[i].SessionId;
    }
    return kNoSession;
}

bool UsesConsoleSession(int osVersionType) { return osVersionType > kOSWindows2000; }

bool IsExplorerImagePath(const wchar_t* imagePath) {
    if (!imagePath) return false;
    const wchar_t* fileName = imagePath;
    for (const wchar_t* p = imagePath; *p; ++p) {
        if (*p == L'\\' || *p == L'/' || *p == L':') fileName = p + 1;
    }
    const wchar_t* extension = wcsrchr(fileName, L'.');
    if (!extension) return false;
    const size_t nameLength = static_cast<size_t>(extension - fileName);
    constexpr wchar_t kName[] = L"explorer";
    if (nameLength != wcslen(kName)) return false;
    wchar_t name[16] = {};
    wcsncpy(name, fileName, nameLength);
    return tavo::session::EqualFoldingAsciiLetters(name, kName) &&
           tavo::session::EqualFoldingAsciiLetters(extension, L".exe");
}

bool IsConsoleUserCandidate(bool sessionKnown, DWORD consoleSessionId, bool processSessionRead,
                            DWORD processSessionId, const wchar_t* imagePath) {
    if (sessionKnown) return processSessionRead && processSessionId == consoleSessionId;
    return IsExplorerImagePath(imagePath);
}

BOOL OpenConsoleUserTokenFromProcessList(SearchReport report, bool sessionKnown, DWORD consoleSessionId,
                                         HANDLE& token, DWORD* selectedPid) {
    const HMODULE psapi = GetPsapiModule();
    const auto enumProcesses = ProcAddress<PfnEnumProcesses>(psapi, "EnumProcesses");
    DWORD ids[kMaxProcessIds] = {};
    DWORD bytes = 0;
    if (!enumProcesses || !enumProcesses(ids, sizeof(ids), &bytes)) {
        const DWORD error = GetLastError();
        if (report == SearchReport::kTrace) {
            TraceLevel4(
                TracePair(nullptr, "CTavoCallProcess::GetCurrentLogonUserToken: pfnEnumProcesses FAILED!\n")
                    .get(),
                TracePair("GetLastError()", error).get());
        } else {
            OutputDebugStringW(L"CTavoCallProcess::GetCurrentLogonUserToken: pfnEnumProcesses FAILED!\n");
        }
        return FALSE;
    }
    if (bytes < sizeof(DWORD)) return FALSE;
    const auto moduleFileName = ProcAddress<PfnGetModuleFileNameExW>(psapi, "GetModuleFileNameExW");
    const DWORD count = bytes / sizeof(DWORD);
    for (DWORD i = 0; i < count && i < kMaxProcessIds; ++i) {
        // Systems before Windows XP know neither the limited query right nor a session: there the process
        // is opened with the rights its image path needs on them.
        ScopedHandle process(
            OpenProcess(sessionKnown ? kSearchProcessAccess : kLegacySearchProcessAccess, FALSE, ids[i]));
        if (!process) continue;
        DWORD processSession = 0;
        bool sessionRead = false;
        wchar_t image[MAX_PATH] = {};
        if (sessionKnown) {
            sessionRead = ProcessIdToSessionId(ids[i], &processSession) != FALSE;
        } else if (moduleFileName) {
            moduleFileName(process.get(), nullptr, image, MAX_PATH);
            image[MAX_PATH - 1] = L'\0';
        }
        if (!IsConsoleUserCandidate(sessionKnown, consoleSessionId, sessionRead, processSession, image))
            continue;
        HANDLE opened = nullptr;
        if (OpenProcessToken(process.get(), TOKEN_ALL_ACCESS, &opened) && opened) {
            token = opened;
            if (selectedPid) *selectedPid = ids[i];
            return TRUE;
        }
    }
    return FALSE;
}

BOOL SearchConsoleUserToken(SearchReport report, HANDLE& token) {
    bool sessionKnown = false;
    DWORD consoleSessionId = kNoSession;
    if (UsesConsoleSession(GetOSVersionType())) {
        const HMODULE kernel = GetModuleHandleW(L"Kernel32.dll");
        if (!kernel) {
            const DWORD error = GetLastError();
            if (report == SearchReport::kTrace) {
                TraceLevel4(
                    TracePair(
                        nullptr,
                        "CTavoCallProcess::GetCurrentLogonUserToken: LoadSystemLibrary Kernel32.dll FAILED!")
                        .get(),
                    TracePair("GetLastError()", error).get());
            } else {
                OutputDebugStringW(
                    L"CTavoCallProcess::GetCurrentLogonUserToken: LoadSystemLibrary Kernel32.dll FAILED!\n");
            }
            return FALSE;
        }
        const auto getConsoleSession =
            ProcAddress<PfnWTSGetActiveConsoleSessionId>(kernel, "WTSGetActiveConsoleSessionId");
        if (!getConsoleSession) {
            if (report == SearchReport::kTrace) {
                TraceLevel4(
                    TracePair(
                        nullptr,
                        "CTavoCallProcess::GetCurrentLogonUserToken: WTSGetActiveConsoleSessionId FAILED!\n")
                        .get());
            }
            return FALSE;
        }
        consoleSessionId = getConsoleSession();
        if (consoleSessionId == kNoSession) {
            const DWORD error = GetLastError();
            if (report == SearchReport::kTrace) {
                TraceLevel4(
                    TracePair(
                        nullptr,
                        "CTavoCallProcess::GetCurrentLogonUserToken: dwConsoleSessionId is 0xffffffff!\n")
                        .get(),
                    TracePair("GetLastError()", error).get());
            } else {
                OutputDebugStringW(
                    L"CTavoCallProcess::GetCurrentLogonUserToken: dwConsoleSessionId is 0xffffffff!\n");
            }
            return FALSE;
        }
        sessionKnown = true;
    }
    return OpenConsoleUserTokenFromProcessList(report, sessionKnown, consoleSessionId, token, nullptr);
}

HANDLE QuerySessionUserToken(DWORD sessionId) {
    // Windows refuses the query for the no-session id anyway; it is not asked.
    if (sessionId == kNoSession) return nullptr;
    ScopedLibrary wtsapi(LoadSystemLibraryEx(L"wtsapi32.dll"));
    const auto query = ProcAddress<PfnWTSQueryUserToken>(wtsapi.get(), "WTSQueryUserToken");
    if (!query) return nullptr;
    ScopedToken queried;
    if (!query(sessionId, queried.put()) || !queried) return nullptr;
    HANDLE duplicate = nullptr;
    if (!DuplicateTokenEx(queried.get(), MAXIMUM_ALLOWED | TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                          TokenPrimary, &duplicate)) {
        return nullptr;
    }
    return duplicate;
}

BOOL OpenExplorerTokenInSession(DWORD sessionId, HANDLE& hHandle) {
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        OutputDebugStringW(
            L"CTavoCallProcess::GetCurrentLogonUserToken2: CreateToolhelp32Snapshot FAILED!\n");
        return FALSE;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.get(), &entry)) return FALSE;
    do {
        if (_wcsicmp(entry.szExeFile, L"explorer.exe") != 0) continue;
        DWORD processSession = 0;
        if (!ProcessIdToSessionId(entry.th32ProcessID, &processSession) || processSession != sessionId)
            continue;
        ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process) {
            DebugMessageWithError(
                L"!!CTavoCallProcess::GetCurrentLogonUserToken2: OpenProcess FAILED. ERROR is %d!\n",
                GetLastError());
            break;  // a token cannot be opened without the process
        }
        HANDLE token = nullptr;
        if (OpenProcessToken(process.get(), TOKEN_ALL_ACCESS, &token) && token) {
            hHandle = token;
        } else {
            DebugMessageWithError(
                L"!!CTavoCallProcess::GetCurrentLogonUserToken2: OpenProcessToken FAILED. ERROR is %d!\n",
                GetLastError());
        }
        break;
    } while (Process32NextW(snapshot.get(), &entry));
    return TRUE;
}

BOOL GetCurrentLogonUserToken2InSession(DWORD activeSessionId, HANDLE& hHandle) {
    if (activeSessionId != kNoSession) {
        ScopedLibrary wtsapi(LoadSystemLibraryEx(L"wtsapi32.dll"));
        const auto query = ProcAddress<PfnWTSQueryUserToken>(wtsapi.get(), "WTSQueryUserToken");
        HANDLE token = nullptr;
        if (query && query(activeSessionId, &token) && token) {
            hHandle = token;
            OutputDebugStringW(L"CTavoCallProcess::GetCurrentLogonUserToken2: WTSQueryUserToken SUCC!\n");
            return TRUE;
        }
    }
    return OpenExplorerTokenInSession(activeSessionId, hHandle);
}

}  // namespace tavo::session

using namespace tavo::session;
using tavo::ProcAddress;

DWORD CTavoCallProcess::VlrTavoGetActiveSessionId() {
    tavo::ScopedLibrary wtsapi(LoadSystemLibraryEx(L"wtsapi32.dll"));
    const auto enumerate = ProcAddress<PfnWTSEnumerateSessionsW>(wtsapi.get(), "WTSEnumerateSessionsW");
    const auto freeMemory = ProcAddress<PfnWTSFreeMemory>(wtsapi.get(), "WTSFreeMemory");
    if (!enumerate || !freeMemory) return kNoSession;
    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    if (!enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) return kNoSession;
    const DWORD id = FirstActiveSessionId(sessions, count);
    if (sessions) freeMemory(sessions);
    return id;
}

HANDLE CTavoCallProcess::VlrTavoGetActiveUserToken() {
    return QuerySessionUserToken(VlrTavoGetActiveSessionId());
}

BOOL CTavoCallProcess::GetCurrentLogonUserToken(HANDLE& hHandle) {
    TraceLevel4(TracePair(nullptr, "CTavoCallProcess::GetCurrentLogonUserToken(HANDLE &hHandle)").get());
    HANDLE token = nullptr;
    if (!SearchConsoleUserToken(SearchReport::kTrace, token)) return FALSE;
    hHandle = token;
    return TRUE;
}

BOOL CTavoCallProcess::GetCurrentLogonUserToken2(HANDLE& hHandle) {
    TraceLevel2(TracePair(nullptr, "CTavoCallProcess::GetCurrentLogonUserToken2(HANDLE &hHandle)").get());
    return GetCurrentLogonUserToken2InSession(VlrTavoGetActiveSessionId(), hHandle);
}

HANDLE CTavoCallProcess::VlrTavoOpenProcessToken(HANDLE hProcess) {
    tavo::ScopedToken token;
    if (!OpenProcessToken(hProcess, TOKEN_DUPLICATE, token.put())) {
        const DWORD error = GetLastError();
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::VlrTavoOpenProcessToken: OpenProcessToken failed").get(),
            TracePair("hProcess", hProcess).get(), TracePair("::GetLastError()", error).get());
        return nullptr;
    }
    HANDLE duplicate = nullptr;
    const BOOL duplicated = DuplicateTokenEx(token.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification,
                                             TokenPrimary, &duplicate);
    const DWORD error = GetLastError();
    token.reset();
    if (!duplicated) {
        TraceLevel4(
            TracePair(nullptr, "CTavoCallProcess::VlrTavoOpenProcessToken: DuplicateTokenEx failed").get(),
            TracePair("::GetLastError()", error).get());
        return nullptr;
    }
    return duplicate;
}
