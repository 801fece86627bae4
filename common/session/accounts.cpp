// Accounts and SIDs behind processes and tokens, and the name of the current session's user.
#include <windows.h>
#include <wtsapi32.h>

#include <cwchar>

#include "process/process.h"
#include "support/proc_address.h"
#include "session/session_detail.h"
#include "support/scoped.h"
#include "trace/trace.h"

namespace tavo::session {

namespace {

constexpr DWORD kNameChars = MAX_PATH;

// The failure line of one step of the SID look-ups: what failed, its error, its result and the token.
void TraceTokenStepFailure(const char* what, DWORD error, BOOL bRet, HANDLE hToken) {
    TraceLevel2(TracePair(nullptr, what).get(), TracePair("dwError", error).get(),
                TracePair("bRet", bRet).get(), TracePair("hToken", hToken).get());
}

// Where reading the token user stopped.
enum class TokenUserStep { kOk, kSize, kAlloc, kRead };

struct TokenUserBuffer {
    ScopedGlobalMemory buffer;
    DWORD size = 0;
    BOOL bRet = FALSE;
    DWORD error = 0;
    PSID Sid() const { return buffer ? static_cast<TOKEN_USER*>(buffer.get())->User.Sid : nullptr; }
};

// GetTokenInformation(TokenUser) into a zeroed GlobalAlloc block of the size the system asks for.
TokenUserStep ReadTokenUser(HANDLE token, TokenUserBuffer& user) {
    user.bRet = GetTokenInformation(token, TokenUser, nullptr, 0, &user.size);
    user.error = GetLastError();
    if (user.size == 0) return TokenUserStep::kSize;
    user.buffer.reset(GlobalAlloc(GMEM_ZEROINIT, user.size));
    if (!user.buffer) {
        user.error = GetLastError();
        return TokenUserStep::kAlloc;
    }
    user.bRet = GetTokenInformation(token, TokenUser, user.buffer.get(), user.size, &user.size);
    if (!user.bRet) {
        user.error = GetLastError();
        return TokenUserStep::kRead;
    }
    return TokenUserStep::kOk;
}

// The account name behind a process's token. `lookupError` is set when the account lookup failed.
enum class AccountResult { kOk, kNoToken, kLookupFailed };

AccountResult ProcessAccountName(HANDLE process, wchar_t (&name)[kNameChars], DWORD& lookupError) {
    name[0] = L'\0';
    if (!process) return AccountResult::kNoToken;
    ScopedToken token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) return AccountResult::kNoToken;
    TokenUserBuffer user;
    if (ReadTokenUser(token.get(), user) != TokenUserStep::kOk) return AccountResult::kNoToken;
    wchar_t domain[kNameChars] = {};
    DWORD nameChars = kNameChars, domainChars = kNameChars;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, user.Sid(), name, &nameChars, domain, &domainChars, &use)) {
        lookupError = GetLastError();
        name[0] = L'\0';
        return AccountResult::kLookupFailed;
    }
    name[kNameChars - 1] = L'\0';
    return AccountResult::kOk;
}

}  // namespace

bool IsSystemAccountName(const wchar_t* accountName) {
    return accountName && *accountName && tavo::session::EqualFoldingAsciiLetters(accountName, L"SYSTEM");
}

bool IsSameAccountName(const wchar_t* processAccount, const wchar_t* callerAccount) {
    return processAccount && callerAccount && *processAccount && *callerAccount &&
           wcscmp(processAccount, callerAccount) == 0;
}

}  // namespace tavo::session

using namespace tavo::session;
using tavo::ProcAddress;

BOOL CTavoCallProcess::GetTokenSID(HANDLE hToken, CStringEx& strSid) {
    CAutoFunTrace scope("CTavoCallProcess::GetTokenSID");
    TokenUserBuffer user;
    switch (ReadTokenUser(hToken, user)) {
        case TokenUserStep::kSize:
            TraceLevel2(
                TracePair(nullptr, "CTavoCallProcess::GetTokenSID GetTokenInformation with TokenUser fail 1")
                    .get(),
                TracePair("dwError", user.error).get(), TracePair("bRet", user.bRet).get(),
                TracePair("dwTokenUser", user.size).get());
            return FALSE;
        case TokenUserStep::kAlloc:
            TraceLevel2(
                TracePair(nullptr, "CTavoCallProcess::GetTokenSID GlobalAlloc with pToken_User fail").get(),
                TracePair("dwError", user.error).get(), TracePair("dwTokenUser", user.size).get());
            return FALSE;
        case TokenUserStep::kRead:
            TraceLevel2(
                TracePair(nullptr, "CTavoCallProcess::GetTokenSID GetTokenInformation with TokenUser fail 2")
                    .get(),
                TracePair("dwError", user.error).get(), TracePair("bRet", user.bRet).get(),
                TracePair("dwTokenUser", user.size).get());
            return FALSE;
        case TokenUserStep::kOk:
            break;
    }
    const PSID sid = user.Sid();
    wchar_t name[MAX_PATH] = {};
    wchar_t domain[MAX_PATH] = {};
    DWORD nameChars = MAX_PATH, domainChars = MAX_PATH;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, sid, name, &nameChars, domain, &domainChars, &use)) {
        const DWORD error = GetLastError();
        TraceLevel2(TracePair(nullptr, "CTavoCallProcess::GetTokenSID LookupAccountSid with pSid fail").get(),
                    TracePair("dwError", error).get(), TracePair("bRet", 0).get(),
                    TracePair("pSid", static_cast<const void*>(sid)).get());
        return FALSE;
    }
    const HMODULE advapi = GetModuleHandleW(L"Advapi32.dll");
    if (!advapi) {
        OutputDebugStringW(L"CTavoCallProcess::GetTokenSID: LoadSystemLibrary Advapi32.dll FAILED!\n");
        return FALSE;
    }
    using PfnConvertSidToStringSidA = BOOL(WINAPI*)(PSID, LPSTR*);
    const auto convert = ProcAddress<PfnConvertSidToStringSidA>(advapi, "ConvertSidToStringSidA");
    if (!convert) {
        OutputDebugStringW(L"CTavoCallProcess::GetTokenSID: GetProcAddress ConvertSidToStringSidA FAILED!\n");
        return FALSE;
    }
    LPSTR text = nullptr;
    const BOOL converted = convert(sid, &text);
    const tavo::ScopedLocalMemory textOwner(text);
    if (!converted || !text) {
        const DWORD error = GetLastError();
        TraceLevel2(
            TracePair(nullptr, "CTavoCallProcess::GetTokenSID ConvertSidToStringSid with pSid fail").get(),
            TracePair("dwError", error).get(), TracePair("pSid", static_cast<const void*>(sid)).get());
        return FALSE;
    }
    strSid.Assign(text);
    return TRUE;
}

BOOL CTavoCallProcess::GetProcessSID(HANDLE hProcess, CStringEx& strSid) {
    CAutoFunTrace scope("CTavoCallProcess::GetProcessSID");
    tavo::ScopedToken token;
    BOOL bRet = OpenProcessToken(hProcess, TOKEN_QUERY | TOKEN_QUERY_SOURCE, token.put());
    HANDLE hToken = token.get();
    if (!bRet) {
        TraceTokenStepFailure("CTavoCallProcess::GetProcessSID OpenProcessToken fail", GetLastError(), bRet,
                              hToken);
        return FALSE;
    }
    bRet = GetTokenSID(hToken, strSid);
    if (!bRet) {
        TraceTokenStepFailure("CTavoCallProcess::GetProcessSID GetTokenSID fail", GetLastError(), bRet,
                              hToken);
    }
    return bRet;
}

BOOL CTavoCallProcess::GetLogonSID(CStringEx& strSid) {
    CAutoFunTrace scope("CTavoCallProcess::GetLogonSID");
    HANDLE hToken = nullptr;
    BOOL bRet = GetCurrentLogonUserToken(hToken);
    tavo::ScopedToken token(hToken);
    if (!bRet || !hToken) {
        TraceTokenStepFailure("CTavoCallProcess::GetLogonSID GetCurrentLogonUserToken fail", GetLastError(),
                              bRet, hToken);
        return FALSE;
    }
    bRet = GetTokenSID(hToken, strSid);
    if (!bRet) {
        TraceTokenStepFailure("CTavoCallProcess::GetLogonSID GetTokenSID fail", GetLastError(), bRet, hToken);
    }
    return bRet;
}

BOOL CTavoCallProcess::GetProcessUserName(HANDLE hProcess, CStringEx& strUserName) {
    wchar_t name[MAX_PATH];
    DWORD lookupError = 0;
    if (ProcessAccountName(hProcess, name, lookupError) != AccountResult::kOk) return FALSE;
    strUserName.Assign(name);
    return TRUE;
}

BOOL CTavoCallProcess::GetProcessUserName(DWORD dwProcessId, std::wstring& strUserName) {
    tavo::ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, dwProcessId));
    if (!process) return FALSE;
    wchar_t name[MAX_PATH];
    DWORD lookupError = 0;
    switch (ProcessAccountName(process.get(), name, lookupError)) {
        case AccountResult::kOk:
            break;
        case AccountResult::kLookupFailed: {
            wchar_t text[256] = {};
            _snwprintf(text, 255,
                       L"!!CTavoCallProcess::IsSysProcess: LookupAccountSid FAILED. ERROR is %d!\n",
                       static_cast<int>(lookupError));
            OutputDebugStringW(text);
            return FALSE;
        }
        case AccountResult::kNoToken:
            return FALSE;
    }
    try {
        strUserName.assign(name);
    } catch (...) {
        return FALSE;
    }
    return TRUE;
}

BOOL CTavoCallProcess::GetProcessUserName(LPCWSTR lpszProcessName, CStringEx& strUserName) {
    DWORD processId = 0;
    if (VlrTavoFindProcess(lpszProcessName, &processId, FALSE) != S_OK) {
        TraceLevel2(TracePair(nullptr, "CTavoCallProcess::GetProcessUserName fail at find process").get(),
                    TracePair("lpszProcessName", lpszProcessName).get());
        return FALSE;
    }
    tavo::ScopedHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) {
        TraceLevel2(
            TracePair(nullptr, "CTavoCallProcess::GetProcessUserName fail at OpenProcess process").get(),
            TracePair("lpszProcessName", lpszProcessName).get());
        return FALSE;
    }
    return GetProcessUserName(process.get(), strUserName);
}

BOOL CTavoCallProcess::IsSysProcess(HANDLE hProcess) {
    CAutoFunTrace scope("CTavoCallProcess::IsSysProcess(HANDLE hProcess).");
    CStringEx name;
    GetProcessUserName(hProcess, name);
    return IsSystemAccountName(name.GetString()) ? TRUE : FALSE;
}

BOOL CTavoCallProcess::IsCurrentLogonUserProcess(DWORD dwProcessId) {
    CAutoFunTrace scope("CTavoCallProcess::IsCurrentLogonUserProcess(HANDLE hProcess).");
    std::wstring processAccount;
    if (!GetProcessUserName(dwProcessId, processAccount)) processAccount.clear();
    wchar_t callerAccount[MAX_PATH] = {};
    DWORD chars = MAX_PATH;
    if (!GetUserNameW(callerAccount, &chars)) callerAccount[0] = L'\0';
    callerAccount[MAX_PATH - 1] = L'\0';
    return IsSameAccountName(processAccount.c_str(), callerAccount) ? TRUE : FALSE;
}

BOOL tavo::session::QuerySessionUserName(DWORD sessionId, CStringEx& name) {
    using PfnWTSQuerySessionInformationW = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
    using PfnWTSFreeMemory = VOID(WINAPI*)(PVOID);
    tavo::ScopedLibrary wtsapi(LoadSystemLibraryEx(L"wtsapi32.dll"));
    const auto query =
        ProcAddress<PfnWTSQuerySessionInformationW>(wtsapi.get(), "WTSQuerySessionInformationW");
    const auto freeMemory = ProcAddress<PfnWTSFreeMemory>(wtsapi.get(), "WTSFreeMemory");
    LPWSTR text = nullptr;
    DWORD bytes = 0;
    if (!query || !freeMemory || !query(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSUserName, &text, &bytes)) {
        OutputDebugStringW(L"GetCurrentUserName: WTSQuerySessionInformation FAILED!\n");
        return FALSE;
    }
    if (text) {
        name.Assign(text);
        freeMemory(text);
    }
    return TRUE;
}

CStringEx GetCurrentUserName() {
    static CStringEx cache;
    if (cache.IsEmpty()) QuerySessionUserName(WTS_CURRENT_SESSION, cache);
    return cache;
}
