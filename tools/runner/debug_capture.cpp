#include "debug_capture.h"

#include <tlhelp32.h>

namespace tavo::capture {
namespace {

constexpr DWORD kBufferBytes = 4096;

class Handle {
  public:
    explicit Handle(HANDLE h = nullptr) : m_h(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_h; }
    HANDLE* put() {
        reset();
        return &m_h;
    }
    void reset() {
        if (m_h && m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
        m_h = nullptr;
    }

  private:
    HANDLE m_h;
};

// Reads what the pipe holds now, without blocking. False once the pipe is broken (every writer gone); what
// the writers left in it is read first (a peek may report the break while data is still buffered).
bool DrainPipe(HANDLE pipe, std::string& output) {
    char buffer[4096];
    DWORD read = 0;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            // No writer is left, so a read cannot block: take what remains.
            while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0)
                output.append(buffer, read);
            return false;
        }
        if (available == 0) return true;
        if (!ReadFile(pipe, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &read,
                      nullptr)) {
            return false;
        }
        output.append(buffer, read);
    }
}

}  // namespace

Monitor::Monitor() {
    InitializeCriticalSection(&m_lock);
    m_mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferBytes, L"DBWIN_BUFFER");
    if (!m_mapping || GetLastError() == ERROR_ALREADY_EXISTS) return;  // another monitor runs
    m_view = MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, kBufferBytes);
    m_bufferReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    m_dataReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_view || !m_bufferReady || !m_dataReady || !m_stop) return;
    m_thread = CreateThread(nullptr, 0, &Monitor::ThreadMain, this, 0, nullptr);
    m_ok = m_thread != nullptr;
}

Monitor::~Monitor() {
    if (m_thread) {
        SetEvent(m_stop);
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
    }
    if (m_view) UnmapViewOfFile(m_view);
    for (HANDLE h : {m_mapping, m_bufferReady, m_dataReady, m_stop}) {
        if (h) CloseHandle(h);
    }
    DeleteCriticalSection(&m_lock);
}

DWORD WINAPI Monitor::ThreadMain(void* context) {
    static_cast<Monitor*>(context)->Loop();
    return 0;
}

void Monitor::Loop() {
    const DWORD self = GetCurrentProcessId();
    HANDLE waits[] = {m_dataReady, m_stop};
    for (;;) {
        SetEvent(m_bufferReady);
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return;
        const auto* bytes = static_cast<const char*>(m_view);
        DebugLine line;
        memcpy(&line.pid, bytes, sizeof(DWORD));
        const char* text = bytes + sizeof(DWORD);
        line.text.assign(text, strnlen(text, kBufferBytes - sizeof(DWORD)));
        if (line.pid == self) continue;
        m_lastLineTick = GetTickCount();
        if (m_callback) m_callback(line);
        EnterCriticalSection(&m_lock);
        m_lines.push_back(std::move(line));
        LeaveCriticalSection(&m_lock);
    }
}

void Monitor::Settle(DWORD quietMs, DWORD maxMs) {
    const DWORD start = GetTickCount();
    m_lastLineTick = start;
    while (GetTickCount() - start < maxMs && GetTickCount() - m_lastLineTick < quietMs) Sleep(20);
}

std::vector<DebugLine> Monitor::Take() {
    EnterCriticalSection(&m_lock);
    std::vector<DebugLine> lines = std::move(m_lines);
    m_lines.clear();
    LeaveCriticalSection(&m_lock);
    return lines;
}

std::vector<std::string> Result::Texts() const {
    std::vector<std::string> texts;
    for (const auto& line : debug) texts.push_back(line.text);
    return texts;
}

std::vector<std::string> Result::TextsOf(DWORD processId) const {
    std::vector<std::string> texts;
    for (const auto& line : debug) {
        if (line.pid == processId) texts.push_back(line.text);
    }
    return texts;
}

bool IsImageRunning(const wchar_t* imageName) {
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.get() || snapshot.get() == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (lstrcmpiW(entry.szExeFile, imageName) == 0) return true;
    }
    return false;
}

Result Run(const Options& options) {
    Result result;
    Monitor monitor;
    if (!monitor.ok()) {
        result.error = ERROR_ALREADY_EXISTS;
        return result;
    }
    if (options.onDebugLine) monitor.SetCallback(options.onDebugLine);

    Handle readEnd, writeEnd;
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (options.captureOutput) {
        if (!CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0)) {
            result.error = GetLastError();
            return result;
        }
        SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = writeEnd.get();
        startup.hStdError = writeEnd.get();
    }

    std::wstring commandLine = options.commandLine;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, options.captureOutput, 0, nullptr,
                        options.currentFolder.empty() ? nullptr : options.currentFolder.c_str(), &startup,
                        &process)) {
        result.error = GetLastError();
        return result;
    }
    result.started = true;
    result.pid = process.dwProcessId;
    Handle processHandle(process.hProcess), threadHandle(process.hThread);
    writeEnd.reset();

    // The output is read without blocking while the program runs: a process it started may keep the
    // pipe open long after it ended.
    bool pipeOpen = options.captureOutput;
    const DWORD start = GetTickCount();
    for (;;) {
        if (pipeOpen) pipeOpen = DrainPipe(readEnd.get(), result.output);
        if (WaitForSingleObject(processHandle.get(), 20) == WAIT_OBJECT_0) break;
        if (GetTickCount() - start >= options.timeoutMs) {
            result.timedOut = true;
            TerminateProcess(processHandle.get(), 0xDEAD);
            WaitForSingleObject(processHandle.get(), 5000);
            break;
        }
    }
    GetExitCodeProcess(processHandle.get(), &result.exitCode);
    while (!result.timedOut && options.keepWaiting && options.keepWaiting()) {
        if (pipeOpen) pipeOpen = DrainPipe(readEnd.get(), result.output);
        if (GetTickCount() - start >= options.timeoutMs) {
            result.timedOut = true;
            break;
        }
        Sleep(100);
    }
    monitor.Settle();
    if (pipeOpen) DrainPipe(readEnd.get(), result.output);
    result.debug = monitor.Take();
    return result;
}

}  // namespace tavo::capture
