// Event-log lines of the service control and the program's version line.
#include <cstdarg>
#include <cwchar>

#include <windows.h>
#include <winver.h>

#include "service/service_control.h"
#include "support/scoped.h"
#include "support/proc_address.h"

namespace {

// version.dll is no KnownDLL: it is loaded from the system folder by full path, never found on the search
// path, and its three functions are resolved at run time.
using GetFileVersionInfoSizeWFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using GetFileVersionInfoWFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using VerQueryValueWFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

tavo::ScopedLibrary LoadSystemVersionLibrary() {
    wchar_t path[MAX_PATH + 16] = {};
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return tavo::ScopedLibrary();
    wcscat(path, L"\\version.dll");
    return tavo::ScopedLibrary(LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

bool ReadOwnFileVersion(DWORD parts[4]) {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;  // a cut path names another file
    tavo::ScopedLibrary library = LoadSystemVersionLibrary();
    if (!library) return false;
    auto getSize = tavo::ProcAddress<GetFileVersionInfoSizeWFn>(library.get(), "GetFileVersionInfoSizeW");
    auto getInfo = tavo::ProcAddress<GetFileVersionInfoWFn>(library.get(), "GetFileVersionInfoW");
    auto queryValue = tavo::ProcAddress<VerQueryValueWFn>(library.get(), "VerQueryValueW");
    if (!getSize || !getInfo || !queryValue) return false;
    DWORD handle = 0;
    const DWORD size = getSize(path, &handle);
    if (size == 0) return false;
    const DWORD bytes = size * 2;
    tavo::ScopedLocalMemory block(LocalAlloc(LPTR, bytes));
    if (!block) return false;
    if (!getInfo(path, 0, bytes, block.get())) return false;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedLength = 0;
    if (!queryValue(block.get(), L"\\", reinterpret_cast<void**>(&fixed), &fixedLength)) return false;
    if (!fixed || fixedLength < sizeof(VS_FIXEDFILEINFO)) return false;
    parts[0] = HIWORD(fixed->dwFileVersionMS);
    parts[1] = LOWORD(fixed->dwFileVersionMS);
    parts[2] = HIWORD(fixed->dwFileVersionLS);
    parts[3] = LOWORD(fixed->dwFileVersionLS);
    return true;
}

}  // namespace

void FormatServiceEventV(wchar_t* buffer, const wchar_t* format, va_list args) {
    if (!buffer) return;
    buffer[0] = L'\0';
    if (!format) return;
    // Writes at most 511 characters; a longer text is cut there and terminated below.
    _vsnwprintf(buffer, tavo::service::kServiceEventChars - 1, format, args);
    buffer[tavo::service::kServiceEventChars - 1] = L'\0';
}

void ReportServiceEvent(WORD type, const wchar_t* format, ...) {
    if (!format) return;
    const DWORD savedError = GetLastError();
    wchar_t buffer[tavo::service::kServiceEventChars] = {};
    va_list args;
    va_start(args, format);
    FormatServiceEventV(buffer, format, args);
    va_end(args);

    HANDLE source = RegisterEventSourceW(nullptr, tavo::service::kEventSource);
    if (source) {
        const wchar_t* strings[1] = {buffer};
        ReportEventW(source, type, 0, 0, nullptr, 1, 0, strings, nullptr);
        DeregisterEventSource(source);
    }
    SetLastError(savedError);
}

void LogVersion() {
    DWORD parts[4] = {};
    if (ReadOwnFileVersion(parts)) {
        ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, L"%s::%lu.%lu.%lu.%lu", L"log_version", parts[0],
                           parts[1], parts[2], parts[3]);
    } else {
        ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, L"%s::get version info failed", L"log_version");
    }
}
