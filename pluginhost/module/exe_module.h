// The server module: the lock count of a COM local server (live objects plus LockServer(TRUE) calls), the
// main thread that runs the message loop, and the shutdown monitor that ends that loop once the server
// has been idle for 5 seconds. Once the monitor has decided to stop, the module hands out nothing more:
// an activation that comes later is refused (CO_E_SERVER_STOPPING), so that no client is given an object
// of a server that is about to end.
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

    // Locks the module unless the server has decided to stop; false then. An activation holds such a
    // lock while it creates or finds its object, so the decision cannot fall in between.
    bool TryLock();
    bool IsStopping() const { return m_stopping.load(); }

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
    // True while an object is locked or an unlock happened since the monitor's last look.
    bool Active() const { return m_activity.load() || m_lockCount.load() != 0; }
    // Decides to stop when the server is still idle; the decision is final.
    bool DecideToStop();

    std::atomic<LONG> m_lockCount{0};
    std::atomic<bool> m_activity{false};
    std::atomic<bool> m_stopping{false};
    // Orders the stop decision against TryLock (a slim lock needs no clean-up).
    SRWLOCK m_decision = SRWLOCK_INIT;
    DWORD m_mainThreadId = 0;
    HINSTANCE m_instance = nullptr;
    GUID m_libid{};
    // Lives until the module ends: a late unlock may still signal it after the monitor has finished.
    tavo::ScopedHandle m_shutdownEvent;
};

// The process's one module object.
CExeModule& HostModule();
