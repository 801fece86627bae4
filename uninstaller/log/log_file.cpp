// The log file: opened once per stage for appending only, judged through its handle, written a line at a
// time.
#include <windows.h>

#include <cwchar>
#include <new>
#include <string>

#include "log/log.h"
#include "log/log_detail.h"
#include "support/scoped.h"

namespace {

struct LogFile {
    tavo::ScopedHandle file;
    std::wstring path;
    ULONGLONG openedAt = 0;
    SRWLOCK lock = SRWLOCK_INIT;
};

LogFile& State() {
    static LogFile log;
    return log;
}

std::wstring FullPath(const wchar_t* path) {
    const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (needed == 0) return L"";
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path, needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return L"";
    full.resize(length);
    return full;
}

std::wstring FinalPath(HANDLE handle) {
    const DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
    if (needed == 0) return L"";
    std::wstring path(needed, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), needed, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= needed) return L"";
    path.resize(length);
    return path;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// True when the open file is the folder's own entry `full` names, not one a link at the final component
// led to: the file's final path is its folder's final path and the file's name. (Links further up the
// path were the administrator's choice and lead both opens alike.)
bool IsEntryOfItsFolder(HANDLE file, const std::wstring& full) {
    const size_t slash = full.find_last_of(L'\\');
    if (slash == std::wstring::npos) return false;
    std::wstring folderPath = full.substr(0, slash);
    if (folderPath.size() == 2) folderPath += L'\\';  // "C:" alone would be the drive's current folder
    const tavo::ScopedHandle folder(CreateFileW(folderPath.c_str(), FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) return false;
    std::wstring expected = FinalPath(folder.get());
    const std::wstring actual = FinalPath(file);
    if (expected.empty() || actual.empty()) return false;
    if (expected.back() != L'\\') expected += L'\\';
    // The name as the folder lists it: a short (8.3) name given on the command line is its long one.
    std::wstring name = full.substr(slash + 1);
    wchar_t longName[MAX_PATH] = {};
    const DWORD longLength = GetLongPathNameW(full.c_str(), longName, MAX_PATH);
    if (longLength > 0 && longLength < MAX_PATH) {
        const std::wstring longPath(longName);
        const size_t longSlash = longPath.find_last_of(L'\\');
        if (longSlash != std::wstring::npos) name = longPath.substr(longSlash + 1);
    }
    return SameText(actual, expected + name);
}

void Refused(std::wstring& message, const std::wstring& path, const wchar_t* why, DWORD error) {
    wchar_t line[128] = {};
    if (error != ERROR_SUCCESS) {
        swprintf(line, 128, L" (error %lu)", static_cast<unsigned long>(error));
    }
    message = L"Cannot write the log file " + path + L": " + why + line + L". Nothing was done.";
}

}  // namespace

namespace tavo::log {

bool Active() { return static_cast<bool>(State().file); }

ULONGLONG OpenedAt() { return State().openedAt; }

void WriteLine(const wchar_t* kind, const std::wstring& text) {
    LogFile& log = State();
    if (!log.file) return;
    try {
        SYSTEMTIME now = {};
        GetLocalTime(&now);
        wchar_t stamp[64] = {};
        swprintf(stamp, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", now.wYear, now.wMonth, now.wDay,
                 now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                 static_cast<unsigned long>(GetCurrentProcessId()));
        std::wstring line = stamp;
        line += kind;
        line += L": ";
        for (const wchar_t c : text) line += (c == L'\r' || c == L'\n') ? L' ' : c;
        line += L"\r\n";
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr,
                                              0, nullptr, nullptr);
        if (bytes <= 0) return;
        std::string utf8(static_cast<size_t>(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), utf8.data(), bytes,
                            nullptr, nullptr);
        // One write per line: the handle only appends, so the system puts each line whole at the end.
        AcquireSRWLockExclusive(&log.lock);
        DWORD written = 0;
        WriteFile(log.file.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
        ReleaseSRWLockExclusive(&log.lock);
    } catch (...) {  // out of memory: the line is lost, the run goes on
    }
}

}  // namespace tavo::log

bool OpenLog(const wchar_t* path, std::wstring& message) {
    message.clear();
    CloseLog();
    const std::wstring full = path && *path ? FullPath(path) : L"";
    if (full.empty()) {
        Refused(message, path ? path : L"", L"not a file name", GetLastError());
        return false;
    }
    // Appending only: no write can land anywhere but at the end, nothing is ever truncated, and the other
    // stage may append meanwhile. A link at the final component is opened itself, not followed.
    tavo::ScopedHandle file(CreateFileW(full.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        Refused(message, full, L"it cannot be opened", GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        info.nNumberOfLinks != 1 || !IsEntryOfItsFolder(file.get(), full)) {
        Refused(message, full, L"it is no plain file of its own (a folder, device, link or linked file)",
                ERROR_SUCCESS);
        return false;
    }
    LogFile& log = State();
    try {
        log.path = full;
    } catch (const std::bad_alloc&) {
        Refused(message, full, L"out of memory", ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    // A new file starts with the byte order mark, so that every editor reads it as UTF-8.
    if (info.nFileSizeHigh == 0 && info.nFileSizeLow == 0) {
        DWORD written = 0;
        WriteFile(file.get(), "\xEF\xBB\xBF", 3, &written, nullptr);
    }
    log.file = std::move(file);
    log.openedAt = GetTickCount64();
    tavo::log::WriteLine(L"start", GetCommandLineW());
    tavo::log::StartItems();
    tavo::log::StartDebugLines();
    return true;
}

void CloseLog() {
    tavo::log::StopDebugLines();
    tavo::log::StopItems();
    LogFile& log = State();
    log.file.reset();
    log.path.clear();
}

std::wstring LogPath() { return State().path; }

std::wstring LogOptionForCopy() {
    if (!tavo::log::Active()) return L"";
    // A file name holds no quotation mark: quoting keeps a path with blanks one argument.
    return L" /log \"" + State().path + L"\"";
}

LogStart StartLogFromCommandLine(int argc, wchar_t* argv[]) {
    LogStart start;
    for (int i = 2; i < argc; ++i) {
        if (!argv[i] || lstrcmpiW(argv[i], L"/log") != 0) continue;
        if (i + 1 >= argc || !argv[i + 1] || !*argv[i + 1]) {
            start.exitCode = kExitBadCommandLine;
            start.message = L"The option /log needs the name of a file. Nothing was done.";
            return start;
        }
        if (!OpenLog(argv[i + 1], start.message)) start.exitCode = kExitLogFailure;
        return start;
    }
    return start;
}
