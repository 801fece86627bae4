#include "module/exe_module.h"

CExeModule& HostModule() {
    static CExeModule module;
    return module;
}

void CExeModule::Init(HINSTANCE instance, const GUID& libid) {
    m_instance = instance;
    m_libid = libid;
    m_mainThreadId = GetCurrentThreadId();
}

void CExeModule::Term() { m_shutdownEvent.reset(); }

LONG CExeModule::Lock() { return ++m_lockCount; }

bool CExeModule::TryLock() {
    AcquireSRWLockExclusive(&m_decision);
    const bool locked = !m_stopping.load();
    if (locked) Lock();
    ReleaseSRWLockExclusive(&m_decision);
    return locked;
}

bool CExeModule::DecideToStop() {
    AcquireSRWLockExclusive(&m_decision);
    if (!Active()) m_stopping = true;
    const bool stopping = m_stopping.load();
    ReleaseSRWLockExclusive(&m_decision);
    return stopping;
}

LONG CExeModule::Unlock() {
    LONG count = --m_lockCount;
    if (count == 0) {
        m_activity = true;
        if (m_shutdownEvent) SetEvent(m_shutdownEvent.get());
    }
    return count;
}

bool CExeModule::StartMonitor() {
    m_shutdownEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_shutdownEvent) return false;
    DWORD threadId = 0;
    tavo::ScopedHandle thread(CreateThread(nullptr, 0, &CExeModule::MonitorThreadProc, this, 0, &threadId));
    return thread.valid();
}

DWORD WINAPI CExeModule::MonitorThreadProc(void* module) {
    static_cast<CExeModule*>(module)->MonitorShutdown();
    return 0;
}

void CExeModule::MonitorShutdown() {
    HANDLE event = m_shutdownEvent.get();
    for (;;) {
        WaitForSingleObject(event, INFINITE);
        DWORD wait;
        do {
            m_activity = false;
            wait = WaitForSingleObject(event, kIdleTimeoutMs);
        } while (wait == WAIT_OBJECT_0);
        if (Active()) continue;
        // A window the user can see (a dialog of the manager, say) keeps the server up until it is gone.
        // A client may come meanwhile: the server is idle only if it still is after the wait.
        while (!Active() && MainThreadShowsWindow()) Sleep(1000);
        if (DecideToStop()) break;
    }
    PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
}

namespace {

BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM found) {
    if (!IsWindowVisible(window)) return TRUE;
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
}

}  // namespace

bool CExeModule::MainThreadShowsWindow() const {
    bool visible = false;
    EnumThreadWindows(m_mainThreadId, &FindVisibleWindow, reinterpret_cast<LPARAM>(&visible));
    return visible;
}
