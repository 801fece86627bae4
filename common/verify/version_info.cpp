// File versions and OriginalFilename from version resources, and the program's own version in the event
// log.
#include <cwchar>

#include "process/process.h"
#include "service/service_control.h"
#include "support/proc_address.h"
#include "support/scoped.h"
#include "verify/verify.h"
#include "verify/verify_detail.h"

namespace tavo::verify::detail {

namespace {

using GetFileVersionInfoSizeWFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using GetFileVersionInfoWFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using VerQueryValueWFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

}  // namespace

std::vector<BYTE> ReadVersionBlock(const wchar_t* filePath, DWORD spareBytes) {
    if (!filePath || !*filePath) return {};
    tavo::ScopedLibrary library(LoadSystemLibraryEx(L"version.dll"));
    auto getSize = tavo::ProcAddress<GetFileVersionInfoSizeWFn>(library.get(), "GetFileVersionInfoSizeW");
    auto getInfo = tavo::ProcAddress<GetFileVersionInfoWFn>(library.get(), "GetFileVersionInfoW");
    if (!getSize || !getInfo) return {};
    DWORD ignored = 0;
    const DWORD size = getSize(filePath, &ignored);
    if (size == 0 || size > 0x1000000) return {};
    std::vector<BYTE> block(static_cast<size_t>(size) + spareBytes, 0);
    if (!getInfo(filePath, 0, size, block.data())) return {};
    return block;
}

bool QueryVersionValue(const std::vector<BYTE>& block, const wchar_t* subBlock, void** value, UINT* length) {
    *value = nullptr;
    *length = 0;
    if (block.empty()) return false;
    tavo::ScopedLibrary library(LoadSystemLibraryEx(L"version.dll"));
    auto queryValue = tavo::ProcAddress<VerQueryValueWFn>(library.get(), "VerQueryValueW");
    if (!queryValue) return false;
    return queryValue(block.data(), subBlock, value, length) && *value;
}

bool FixedFileVersion(const std::vector<BYTE>& block, DWORD parts[4]) {
    void* value = nullptr;
    UINT length = 0;
    if (!QueryVersionValue(block, L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) return false;
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    parts[0] = HIWORD(fixed->dwFileVersionMS);
    parts[1] = LOWORD(fixed->dwFileVersionMS);
    parts[2] = HIWORD(fixed->dwFileVersionLS);
    parts[3] = LOWORD(fixed->dwFileVersionLS);
    return true;
}

bool SameIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

}  // namespace tavo::verify::detail

namespace {

// Reads up to four "%d"-style parts separated by dots; parts not read stay 0 and reading stops at the first
// part that is not a number. Each part is kept as the unsigned 32-bit value of its int.
void ParseVersion(const wchar_t* text, unsigned long parts[4]) {
    int values[4] = {};
    if (text) swscanf(text, L"%d.%d.%d.%d", &values[0], &values[1], &values[2], &values[3]);
    for (int i = 0; i < 4; ++i) parts[i] = static_cast<unsigned long>(static_cast<unsigned int>(values[i]));
}

}  // namespace

BOOL GetFileVersionNumbers(const wchar_t* filePath, int* major, int* minor, int* build, int* revision) {
    if (!major || !minor || !build || !revision) return FALSE;
    DWORD parts[4] = {};
    if (!tavo::verify::detail::FixedFileVersion(tavo::verify::detail::ReadVersionBlock(filePath), parts)) {
        return FALSE;
    }
    *major = static_cast<int>(parts[0]);
    *minor = static_cast<int>(parts[1]);
    *build = static_cast<int>(parts[2]);
    *revision = static_cast<int>(parts[3]);
    return TRUE;
}

BOOL GetFileVersionString(const wchar_t* filePath, std::wstring& version) {
    int parts[4] = {};
    if (!GetFileVersionNumbers(filePath, &parts[0], &parts[1], &parts[2], &parts[3])) return FALSE;
    wchar_t text[256] = {};
    swprintf(text, 256, L"%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
    version = text;
    return TRUE;
}

std::wstring GetFileVersionString(const wchar_t* filePath) {
    std::wstring version;
    if (!GetFileVersionString(filePath, version)) return std::wstring();
    return version;
}

int CompareVersion(const wchar_t* first, const wchar_t* second) {
    unsigned long a[4] = {};
    unsigned long b[4] = {};
    ParseVersion(first, a);
    ParseVersion(second, b);
    for (int i = 0; i < 4; ++i) {
        if (a[i] > b[i]) return 1;
        if (a[i] < b[i]) return -1;
    }
    return 0;
}

std::wstring GetOriginalFilename(const wchar_t* filePath) {
    const std::vector<BYTE> block = tavo::verify::detail::ReadVersionBlock(filePath, 10);
    void* value = nullptr;
    UINT length = 0;
    if (!tavo::verify::detail::QueryVersionValue(block, L"\\StringFileInfo\\040904b0\\OriginalFilename",
                                                 &value, &length)) {
        return std::wstring();
    }
    // The length counts characters; the block is zero-filled beyond its end, so a value without its
    // terminator still ends inside the buffer.
    const wchar_t* text = static_cast<const wchar_t*>(value);
    return std::wstring(text, wcsnlen(text, length));
}

BOOL HasOriginalFilename(const wchar_t* filePath, const wchar_t* expectedName) {
    if (!filePath || !expectedName) return FALSE;
    return tavo::verify::detail::SameIgnoringAsciiCase(GetOriginalFilename(filePath), expectedName);
}

void log_version() {
    DWORD parts[4] = {};
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    // A cut path would name another file.
    const bool read =
        length != 0 && length < MAX_PATH &&
        tavo::verify::detail::FixedFileVersion(tavo::verify::detail::ReadVersionBlock(path), parts);
    if (read) {
        ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, L"%s::%lu.%lu.%lu.%lu", L"log_version", parts[0],
                           parts[1], parts[2], parts[3]);
    } else {
        ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, L"%s::get version info failed", L"log_version");
    }
}
