#include "registry/registry.h"

namespace {
constexpr wchar_t kProductKey[] = L"SOFTWARE\\Velnor\\Plugins";

bool IsMsiType(DWORD type) { return type == 1 || type == 2; }
}  // namespace

BOOL GetMTAUploadInfo(CStringEx& out) {
    return ReadRegString(HKEY_CURRENT_USER, kProductKey, L"MTAUploadInfo", out, 0);
}
BOOL GetMTAUploadURL(CStringEx& out) {
    return ReadRegString(HKEY_CURRENT_USER, kProductKey, L"MTAUploadURL", out, 0);
}
BOOL GetTelemetryInfo(CStringEx& out) {
    return ReadRegString(HKEY_CURRENT_USER, kProductKey, L"TelemetryInfo", out, 0);
}
BOOL GetUserEmail(CStringEx& out) {
    return ReadRegString(HKEY_CURRENT_USER, kProductKey, L"UserEmail", out, 0);
}
BOOL GetUserID(DWORD* value) { return ReadRegDword(HKEY_CURRENT_USER, kProductKey, L"UserID", value, 0); }
BOOL GetVirtualEnv(DWORD* value) {
    return ReadRegDword(HKEY_CURRENT_USER, kProductKey, L"VirtualEnv", value, 0);
}

BOOL SetMTAUploadInfo(LPCWSTR text) {
    return WriteRegString(HKEY_CURRENT_USER, kProductKey, L"MTAUploadInfo", text, 0, REG_SZ);
}
BOOL SetMTAUploadURL(LPCWSTR text) {
    return WriteRegString(HKEY_CURRENT_USER, kProductKey, L"MTAUploadURL", text, 0, REG_SZ);
}
BOOL SetTelemetryInfo(LPCWSTR text) {
    return WriteRegString(HKEY_CURRENT_USER, kProductKey, L"TelemetryInfo", text, 0, REG_SZ);
}
BOOL SetUserEmail(LPCWSTR text) {
    return WriteRegString(HKEY_CURRENT_USER, kProductKey, L"UserEmail", text, 0, REG_SZ);
}
BOOL SetUserID(DWORD value) { return WriteRegDword(HKEY_CURRENT_USER, kProductKey, L"UserID", value, 0); }
BOOL SetVirtualEnv(DWORD value) {
    return WriteRegDword(HKEY_CURRENT_USER, kProductKey, L"VirtualEnv", value, 0);
}

BOOL IsMsiInstall() {
    DWORD machine = 0;
    DWORD user = 0;
    if (!ReadRegDword(HKEY_LOCAL_MACHINE, kProductKey, L"msitype", &machine, KEY_WOW64_32KEY)) machine = 0;
    if (!ReadRegDword(HKEY_CURRENT_USER, kProductKey, L"msitype", &user, 0)) user = 0;
    return IsMsiType(machine) || IsMsiType(user);
}
