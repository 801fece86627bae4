// Runs a Windows program and records what it, and every process it starts, writes with
// OutputDebugString, in order, together with its standard output and its full 32-bit exit code.
//
// The lines are read as a system debug monitor reads them: through the shared "DBWIN_BUFFER" section and
// its two events, which OutputDebugString fills when no debugger is attached to the writer. One monitor
// may run per session (Run refuses to start a second one).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace tavo::capture {

struct DebugLine {
    DWORD pid;
    std::string text;  // as written (wide strings arrive converted to ANSI)
};

struct Options {
    std::wstring commandLine;
    std::wstring currentFolder;  // empty: the caller's
    bool captureOutput = true;   // false: the program writes to the caller's standard output
    DWORD timeoutMs = 120000;    // then the program is terminated
    // Called after the program ended, while lines may still arrive; return true to keep waiting (for
    // processes the program started). Polled every 100 ms until it returns false or the time-out.
    std::function<bool()> keepWaiting;
    std::function<void(const DebugLine&)> onDebugLine;  // called on the monitor thread, in order
};

struct Result {
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0;
    DWORD error = 0;  // GetLastError when it could not be started
    DWORD pid = 0;
    std::vector<DebugLine> debug;  // lines of every process but the caller
    std::string output;            // standard output and standard error, when captured

    std::vector<std::string> Texts() const;
    std::vector<std::string> TextsOf(DWORD pid) const;
};

Result Run(const Options& options);

// True while a process of that image name (file name only, any letter case) runs in the session.
bool IsImageRunning(const wchar_t* imageName);

// A debug-output monitor on its own: records every line written in the session (except the caller's)
// while it lives.
class Monitor {
  public:
    Monitor();
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    bool ok() const { return m_ok; }
    void SetCallback(std::function<void(const DebugLine&)> callback) { m_callback = std::move(callback); }
    // Waits until no line has arrived for `quietMs`, at most `maxMs`.
    void Settle(DWORD quietMs = 300, DWORD maxMs = 5000);
    std::vector<DebugLine> Take();

  private:
    static DWORD WINAPI ThreadMain(void* context);
    void Loop();

    bool m_ok = false;
    HANDLE m_mapping = nullptr;
    void* m_view = nullptr;
    HANDLE m_bufferReady = nullptr;
    HANDLE m_dataReady = nullptr;
    HANDLE m_stop = nullptr;
    HANDLE m_thread = nullptr;
    CRITICAL_SECTION m_lock;
    std::vector<DebugLine> m_lines;
    volatile DWORD m_lastLineTick = 0;
    std::function<void(const DebugLine&)> m_callback;
};

}  // namespace tavo::capture
