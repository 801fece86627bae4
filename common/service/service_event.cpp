// Event-log lines of the service control.
#include <cstdarg>
#include <cwchar>

#include <windows.h>

#include "service/service_control.h"

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
