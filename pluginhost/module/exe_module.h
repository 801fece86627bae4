// The server module: the lock count of a COM local server (live objects plus LockServer(TRUE) calls), the
// main thread that runs the message loop, and the shutdown monitor that ends that loop once the server
// has been idle for 5 seconds.
#pragma once

#include <windows.h>

#include <atomic>

#include "support/scoped.h"

class CExeModule {
  public:
    static constexpr DWORD kIdleTimeoutMs = 5000;

    // Remembers the instance and the type library, and the calling thread as the main thread.
    void Init(HINSTANCE instance, const GUID& libid);
    void Term();

    // Lock count changes; both give the new count. The unlock that reaches 0 marks activity and wakes
    // the monitor.
    LONG Lock();
    LONG Unlock();
    LONG GetLockCount() const { return m_lockCount.load(); }

    // Creates the shutdown event and starts the monitor thread; false when either fails (the server then
    // runs without automatic shutdown).
    bool StartMonitor();

    HINSTANCE GetModuleInstance() const { return m_instance; }
    DWORD GetMainThreadId() const { return m_mainThreadId; }
    const GUID& GetLibId() const { return m_libid; }

  private:
    static DWORD WINAPI MonitorThreadProc(void* module);
    void MonitorShutdown();
    bool MainThreadShowsWindow() const;

    std::atomic<LONG> m_lockCount{0};
    std::atomic<bool> m_activity{false};
    DWORD m_mainThreadId = 0;
    HINSTANCE m_instance = nullptr;
    GUID m_libid{};
    // Lives until the module ends: a late unlock may still signal it after the monitor has finished.
    tavo::ScopedHandle m_shutdownEvent;
};

// The process's one module object.
CExeModule& HostModule();
