#include "window/help_transfer_wnd.h"

#include "module/module.h"
#include "support/proc_address.h"

TavoManagerBinding g_tavoBinding;
CHelpTransferWnd g_helpTransferWnd __attribute__((init_priority(102)));

HWND CHelpTransferWnd::Create(HINSTANCE instance) {
    static ATOM s_class = 0;
    if (!s_class) {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
        windowClass.lpfnWndProc = &CHelpTransferWnd::WindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(5));
        windowClass.lpszClassName = kHelpTransferWndClass;
        s_class = RegisterClassExW(&windowClass);
        if (!s_class) return nullptr;
    }
    m_window.reset(CreateWindowExW(0, kHelpTransferWndClass, kHelpTransferWndTitle, WS_CAPTION, 0, 0, 0, 0,
                                   nullptr, nullptr, instance, nullptr));
    return m_window.get();
}

LRESULT CHelpTransferWnd::LoadManager(LPARAM lParam) {
    TavoManagerBinding& binding = g_tavoBinding;
    if (binding.manager) return -1;

    std::wstring path = HostFolderFile(kTavoMgrFileName);
    if (path.empty()) return -1;
    HMODULE library = LoadLibraryW(path.c_str());
    if (!library) return -1;
    // After a create that gave no object the library is loaded again: keep one reference, not two.
    m_managerLibrary.reset(library);

    auto create = tavo::ProcAddress<PFN_CreateTavoMgr>(m_managerLibrary.get(), "CreateTavoMgr");
    if (!create) return -1;
    binding.manager = create(lParam == kLoadForHostStartup ? 1 : 0);
    if (!binding.manager) return 0;  // the host runs without a manager

    ITavoMgr* manager = binding.manager;
    tavo::host::ManagerCall inManager;
    if (binding.settingSink) manager->SetSettingSink(binding.settingSink);
    if (binding.meetingSink) manager->SetMeetingSink(binding.meetingSink);
    if (binding.updateSink) manager->SetUpdateSink(binding.updateSink);
    for (ITavoObjVerify* verifier : binding.verifiers) {
        if (verifier) manager->RegisterObjVerify(verifier);
    }
    return 0;
}

LRESULT CHelpTransferWnd::UnloadManager() {
    TavoManagerBinding& binding = g_tavoBinding;
    if (!m_managerLibrary || !binding.manager) return -1;
    // A call between the host and the manager is still under way (this message arrived while it waited):
    // the library's code is on the stack.
    if (tavo::host::ManagerCallsInProgress()) return -1;
    if (binding.manager->IsBusy() != 0) return -1;
    ITavoMgrObject* manager = binding.manager;
    binding.manager = nullptr;
    manager->Destroy();
    m_managerLibrary.reset();
    if (HWND updater = FindWindowW(kUpdaterWndClass, nullptr))
        PostMessageW(updater, kMsgManagerReleased, 0, 0);
    return 0;
}

void CHelpTransferWnd::EndRun() {
    m_window.reset();
    if (ITavoMgrObject* manager = g_tavoBinding.manager) {
        g_tavoBinding.manager = nullptr;
        manager->Destroy();
    }
}

LRESULT CALLBACK CHelpTransferWnd::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        switch (message) {
            case kMsgEndRun:
                PostQuitMessage(0);
                return 0;
            case kMsgUnloadManager:
                return g_helpTransferWnd.UnloadManager();
            case kMsgLoadManager:
                return g_helpTransferWnd.LoadManager(lParam);
            default:
                break;
        }
    } catch (...) {
        return -1;  // out of memory while building a path: the request failed
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
