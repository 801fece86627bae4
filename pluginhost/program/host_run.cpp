#include "host_run.h"

#include <objbase.h>

#include "class_creators.h"
#include "com/com.h"
#include "module/module.h"
#include "registration/server_registration.h"
#include "seh/seh_guard.h"
#include "tavoservice.h"
#include "window/window.h"

namespace {

class CServerRun {
  public:
    explicit CServerRun(HINSTANCE instance) : m_instance(instance) {}

    // The server's run inside the exception guard; false when it could not start.
    bool Run();

  private:
    enum class Stage { kStarting, kLooping, kLoopEnded };

    bool StartUp();
    static void MessageLoop();
    void Drain();
    void GuardedRun();

    HINSTANCE m_instance;
    CTavoClassObjects m_classObjects;
    Stage m_stage = Stage::kStarting;
    bool m_started = false;
};

bool CServerRun::StartUp() {
    PrepareBrowserEmulationKeys();
    HWND window = g_helpTransferWnd.Create(m_instance);
    if (!window || SendMessageW(window, kMsgLoadManager, 0, kLoadForHostStartup) != 0) return false;
    HostModule().StartMonitor();
    m_classObjects.RegisterAll(&TavoClassCreator);
    return true;
}

void CServerRun::MessageLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void CServerRun::Drain() {
    m_classObjects.RevokeAll();
    Sleep(1000);
    g_helpTransferWnd.EndRun();
}

void CServerRun::GuardedRun() {
    try {
        if (!StartUp()) return;
        m_started = true;
        m_stage = Stage::kLooping;
        MessageLoop();
        m_stage = Stage::kLoopEnded;
        Drain();
    } catch (...) {
        // Nothing of the host throws; an escaped C++ exception is handled as a structured one.
        RaiseException(0xE0000001, 0, 0, nullptr);
    }
}

bool CServerRun::Run() {
    bool completed = tavo::SehTry([this] { GuardedRun(); },
                                  [](const EXCEPTION_RECORD&) { return tavo::SehVerdict::kHandle; });
    if (completed) {
        if (!m_started) g_helpTransferWnd.EndRun();
        return m_started;
    }
    OutputDebugStringW(L"TAVOSRV_EXCEPTION");
    switch (m_stage) {
        case Stage::kStarting:
            // Start-up did not complete: nothing may stay registered for clients of a server that
            // does not serve.
            m_classObjects.RevokeAll();
            g_helpTransferWnd.EndRun();
            return false;
        case Stage::kLooping:
            tavo::host::ForgetManagerCalls();
            MessageLoop();  // unguarded: a second fault ends in the crash handler
            Drain();
            return true;
        case Stage::kLoopEnded:
            return true;
    }
    return true;
}

}  // namespace

int RunHost(HINSTANCE instance, LPCWSTR commandLine) {
    CoInitialize(nullptr);
    CExeModule& module = HostModule();
    module.Init(instance, LIBID_TAVOSERVICELib);

    int exitCode = 0;
    bool runServer = true;
    switch (ScanHostCommandLine(commandLine)) {
        case HostCommand::kUnregister:
            exitCode = static_cast<int>(UnregisterHostServer());
            runServer = false;
            break;
        case HostCommand::kRegister:
            exitCode = static_cast<int>(RegisterHostServer());
            runServer = false;
            break;
        case HostCommand::kRunServer:
            break;
    }

    CCompanionLibrary companion;
    companion.Load();

    if (runServer) {
        CServerRun server(instance);
        if (!server.Run()) {
            companion.Free();
            return -1;
        }
    }

    module.Term();
    CoUninitialize();
    companion.Free();
    return exitCode;
}
